#pragma once

#include "net/IDownloader.h"

#include <QByteArray>
#include <QMap>

#include <memory>

// The downloader of a release check: hands every request to inner, at the folder address
// "at" instead of the one asked for when at is given (the document under its own file name),
// and keeps a copy of each document it fetched, so that the check can tell what the program's
// readers accepted and with which signature.
class CRecordingDownloader : public IDownloader {
public:
    CRecordingDownloader(std::shared_ptr<IDownloader> inner, QString at);

    CAtlString Download(const CAtlString& url, int32_t option1, int32_t option2) override;
    // The installer is fetched, not kept: it may be large.
    CAtlString DownloadInstaller(const CAtlString& url) override;
    DownloadFailure GetLastFailure() override { return m_inner->GetLastFailure(); }

    // Where a request for url goes.
    QString Relocated(const QString& url) const;
    // What a request for url brought; nothing when it failed or was never made.
    std::optional<QByteArray> Fetched(const QString& url) const;

private:
    std::shared_ptr<IDownloader> m_inner;
    QString m_at;
    QMap<QString, QByteArray> m_fetched;
};

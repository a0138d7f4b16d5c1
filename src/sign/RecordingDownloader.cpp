#include "sign/RecordingDownloader.h"

#include "catalogue/WebPage.h"
#include "net/ConnectionInfo.h"
#include "platform/FilePath.h"

#include <QFile>
#include <QUrl>

CRecordingDownloader::CRecordingDownloader(std::shared_ptr<IDownloader> inner, QString at)
    : m_inner(std::move(inner)), m_at(std::move(at)) {
    if (!m_at.isEmpty() && !m_at.endsWith(u'/'))
        m_at += u'/';
}

QString CRecordingDownloader::Relocated(const QString& url) const {
    return m_at.isEmpty() ? url : JoinUrl(m_at, QUrl(url).fileName());
}

CAtlString CRecordingDownloader::Download(const CAtlString& url, int32_t option1, int32_t option2) {
    m_fetched.remove(url);
    const CAtlString path = m_inner->Download(Relocated(url), option1, option2);
    if (!path.isEmpty()) {
        QFile copy(FilePath(path).LocalPath());
        if (copy.open(QIODevice::ReadOnly))
            m_fetched.insert(url, copy.read(kDocumentLimits.maxBytes));
    }
    return path;
}

CAtlString CRecordingDownloader::DownloadInstaller(const CAtlString& url) {
    return m_inner->DownloadInstaller(Relocated(url));
}

std::optional<QByteArray> CRecordingDownloader::Fetched(const QString& url) const {
    const auto found = m_fetched.constFind(url);
    return found == m_fetched.constEnd() ? std::nullopt : std::optional(*found);
}

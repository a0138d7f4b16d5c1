#pragma once

#include "net/Downloader.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <ostream>
#include <utility>
#include <vector>

// Readable strings in test failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// What reached a downloader's report hooks during the test.
struct Reports {
    QStringList failures;
    int canceled = 0;
    std::vector<std::pair<int, int>> progress;
};

// Records failures and progress; wraps (keeps) a cancel hook that a proxy handler bound.
inline void Observe(Downloader& downloader, Reports& reports) {
    downloader.onConnectionFailed = [&reports](const CAtlString& error) {
        reports.failures << error;
    };
    downloader.onDataReadProgress = [&reports](int done, int total) {
        reports.progress.emplace_back(done, total);
    };
    auto inner = downloader.onProxyAuthCanceled;
    downloader.onProxyAuthCanceled = [&reports, inner] {
        ++reports.canceled;
        if (inner)
            inner();
    };
}

// The content of a file named by a path in the program's form.
QByteArray ReadDownloaded(const CAtlString& path);
// Names of the download files in the temporary folder.
QStringList LeftoverDownloads();
void RemoveLeftoverDownloads();

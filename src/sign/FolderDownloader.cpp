#include "sign/FolderDownloader.h"

#include "net/ConnectionInfo.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QUrl>

CAtlString CFolderDownloader::Download(const CAtlString& url, int32_t, int32_t) {
    const QUrl address(url);
    const QString path = address.isLocalFile() ? address.toLocalFile() : QString();
    m_lastFailure = {};
    // A missing file reads as the server's "not found", which is what the published folder
    // without it would answer.
    if (path.isEmpty() || !QFileInfo(path).isFile()) {
        m_lastFailure = {
            DownloadFailure::Status, address.host(), QStringLiteral("404 Not Found"), {}, {}};
        return {};
    }
    QFile source(path);
    QTemporaryFile copy;
    copy.setAutoRemove(false);
    if (!source.open(QIODevice::ReadOnly) || !copy.open() ||
        copy.write(source.read(kDocumentLimits.maxBytes + 1)) < 0 || !copy.flush()) {
        copy.remove();
        m_lastFailure = {DownloadFailure::Failed, {}, {}, {}, {}};
        return {};
    }
    return copy.fileName();
}

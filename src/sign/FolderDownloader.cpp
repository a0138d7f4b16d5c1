#include "sign/FolderDownloader.h"

#include "net/ConnectionInfo.h"
#include "platform/FilePath.h"
#include "platform/Locations.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QUrl>

CAtlString CFolderDownloader::Download(const CAtlString& url, int32_t, int32_t) {
    return Copy(url, kDocumentLimits.maxBytes);
}

CAtlString CFolderDownloader::DownloadInstaller(const CAtlString& url) {
    return Copy(url, kInstallerLimits.maxBytes);
}

CAtlString CFolderDownloader::Copy(const CAtlString& url, int64_t limit) {
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
    if (QFileInfo(path).size() > limit) {
        m_lastFailure = {DownloadFailure::TooLarge, {}, QString::number(limit), {}, {}};
        return {};
    }
    // Where the program's own downloads go: a folder only this user can change, which the
    // self-update requires of an installer before it trusts its bytes.
    const FilePath folder = TempFolder();
    QFile source(path);
    QTemporaryFile copy(folder.LocalPath() + QStringLiteral("/orvex-sign-XXXXXX"));
    copy.setAutoRemove(false);
    bool copied = !folder.IsEmpty() && source.open(QIODevice::ReadOnly) && copy.open();
    while (copied && !source.atEnd()) {
        const QByteArray piece = source.read(64 * 1024);
        copied = !piece.isEmpty() && copy.write(piece) == piece.size();
    }
    if (!copied || !copy.flush()) {
        copy.remove();
        m_lastFailure = {DownloadFailure::Failed, {}, {}, {}, {}};
        return {};
    }
    return copy.fileName();
}

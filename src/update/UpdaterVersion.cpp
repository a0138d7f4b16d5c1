#include "update/UpdaterVersion.h"

#include "catalogue/WebPage.h"
#include "net/IDownloader.h"
#include "platform/FilePath.h"

#include <QCryptographicHash>
#include <QFile>

bool FileHasSha256(const CAtlString& path, const CAtlString& expected) {
    if (expected.size() != 64)
        return false;
    QFile file(FilePath(path).LocalPath());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return false;
    return hash.result().toHex() == expected.toLower().toLatin1();
}

CAtlString CUpdaterVersion::FetchRemote() {
    if (!m_downloader)
        return {};
    const CAtlString path = m_downloader->Download(JoinUrl(RemoteUrl(), RemoteFile()), 1, 0);
    if (path.isEmpty())
        SetRemoteFailure(m_downloader->GetLastFailure());
    return path;
}

bool CUpdaterVersion::DownloadInstaller() {
    if (!m_downloader)
        return false;
    m_installerPath =
        m_downloader->DownloadInstaller(JoinUrl(GetUpdateInstallURL(), GetUpdateInstallFile()));
    const CAtlString& digest = GetUpdateInstallSHA256();
    if (!m_installerPath.isEmpty() && !digest.isEmpty() &&
        !FileHasSha256(m_installerPath, digest)) {
        // Bytes other than the published ones are never started, whoever sent them.
        FilePath(m_installerPath).DeleteFile();
        m_installerPath.clear();
    }
    return !m_installerPath.isEmpty();
}

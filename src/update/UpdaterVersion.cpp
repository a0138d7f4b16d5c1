#include "update/UpdaterVersion.h"

#include "catalogue/WebPage.h"
#include "net/IDownloader.h"
#include "platform/FilePath.h"
#include "platform/Locations.h"
#include "platform/Shell.h"
#include "signing/SignatureCheck.h"
#include "signing/SignatureReport.h"
#include "signing/SignatureSequence.h"
#include "update/ProgramKeys.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("CUpdaterVersion", text);
}

// The SHA-256 of the file open at fd, read from its start.
QByteArray Sha256(int fd) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    char buffer[64 * 1024];
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return {};
        if (got == 0)
            return hash.result().toHex();
        hash.addData(QByteArrayView(buffer, got));
        offset += got;
    }
}
} // namespace

bool CUpdaterVersion::ParseLocal(const QByteArray& text) {
    const bool read = CUpdateXmlReader::ParseLocal(text);
    SetPublicKeys(ProgramPublicKeys(PublicKeys()));
    return read;
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
    m_refusal.clear();
    if (!m_downloader)
        return false;
    const CAtlString url = JoinUrl(GetUpdateInstallURL(), GetUpdateInstallFile());
    m_installerPath = m_downloader->DownloadInstaller(url);
    if (m_installerPath.isEmpty())
        return false;
    const FilePath installer(m_installerPath);
    // Opened once, without following a link; everything below is read through this
    // descriptor and the program is started from it, so a file put in its place after the
    // check is never the one that runs.
    const int fd = ::open(QFile::encodeName(installer.LocalPath()).constData(),
                          O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    FdGuard guard(fd);
    m_refusal = fd < 0 ? Tr("The downloaded file could not be opened.")
                       : CheckInstaller(fd, url + QStringLiteral(".minisig"));
    if (!m_refusal.isEmpty()) {
        ReportRefusal(url, m_refusal);
        // Bytes other than the published ones are never started, whoever sent them.
        installer.DeleteFile();
        m_installerPath.clear();
        return false;
    }
    m_installer.emplace(guard.Release());
    return true;
}

QString CUpdaterVersion::CheckInstaller(int fd, const CAtlString& signatureUrl) {
    struct stat info {};
    // The folder was private when the file was made in it; the file itself must be this
    // user's alone and the only name of its bytes, or someone else could still change them.
    const FilePath folder = TempFolder();
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 022) != 0 || info.st_nlink != 1 || folder.IsEmpty() ||
        FilePath(m_installerPath).Folder().Text() != folder.Text())
        return Tr("The downloaded file is not in a folder that only this user can change.");
    const bool signedOffer = PublicKeys().RequiresSignature();
    if (signedOffer && !IsUpdateInstallSHA256Given())
        return DescribeFailure(RefuseRemote());
    if (IsUpdateInstallSHA256Given()) {
        const CAtlString& expected = GetUpdateInstallSHA256();
        if (expected.size() != 64 || Sha256(fd) != expected.toLower().toLatin1())
            return Tr("The downloaded file is not the published one: its SHA-256 differs.");
    }
    if (signedOffer) {
        // The digest binds the installer already; a signature of its own, where a maker
        // still publishes one, must not contradict it. Remembered apart from the update
        // information's own: an older installer, correctly signed, would otherwise take the
        // program back to a version with known faults.
        const std::optional<QByteArray> signature =
            ReadSignatureFile(m_downloader->Download(signatureUrl, 1, 0));
        const SignatureCheck check =
            signature ? AcceptSequence(VerifyFileSignature(fd, signature, PublicKeys(),
                                                           kInstallerItem, TodayUtc()))
                      : SignatureCheck{};
        // A refusal is reported with the others by DownloadInstaller.
        if (check.Accepted())
            ReportSignature(signatureUrl.chopped(8), check);
        else
            return SignatureFailureText(check);
    }
    return {};
}

CheckFailure CUpdaterVersion::RefuseRemote() const {
    if (PublicKeys().RequiresSignature() && !IsUpdateInstallSHA256Given())
        return {CheckFailure::NoInstallDigest};
    return {};
}

bool CUpdaterVersion::StartInstaller() {
    const int fd = m_installer ? m_installer->Get() : -1;
    // A download carries no execute permission here; the installer is this user's to run
    // and nobody else's.
    return fd >= 0 && ::fchmod(fd, 0700) == 0 &&
           GetShell()->StartDetachedFile(fd, FilePath(m_installerPath).LocalPath(),
                                         {GetUpdateArgument()});
}

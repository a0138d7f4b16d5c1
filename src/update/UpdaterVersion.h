#pragma once

#include "catalogue/UpdateXmlReader.h"
#include "catalogue/WebPage.h"
#include "platform/FdGuard.h"

#include <QString>

#include <memory>
#include <optional>

class IDownloader;

// What the signatures of the program's own files vouch for (see AcceptSequence): its
// installer, its update information, and the product list fetched from the network.
inline const SignedItem kInstallerItem{SignedKind::Installer, kProgramIdentity};
inline const SignedItem kUpdateInformationItem{SignedKind::ProgramInformation, kProgramIdentity};
inline const SignedItem kProductListItem{SignedKind::ProductList, kProductListIdentity};

// The program's own version file ("OrvexProductUpdate.xml") and the update information it
// points to, with the download, the check and the start of the new installer.
class CUpdaterVersion : public CUpdateXmlReader {
public:
    explicit CUpdaterVersion(const CAtlString& path) : m_path(path) {
        SetSignedFor(kUpdateInformationItem);
    }

    CAtlString GetPath() override { return m_path; }
    // Reads the version file and takes as keys those of ProgramPublicKeys: the built-in and
    // the administrator's keys count even when the file names none or cannot be read.
    bool ParseLocal(const QByteArray& text) override;
    CAtlString FetchRemote() override;
    CAtlString RemoteAddress() const override { return JoinUrl(RemoteUrl(), RemoteFile()); }
    IDownloader* RemoteDownloader() const override { return m_downloader.get(); }
    void SetDownloader(std::shared_ptr<IDownloader> downloader) {
        m_downloader = std::move(downloader);
    }
    // Downloads the installer of the entry offered to this version into the private
    // temporary folder and checks it through the descriptor it keeps open for
    // StartInstaller: a file of this user's that nobody else can write, with the published
    // SHA-256 when the entry names one (an empty one is a wrong one). When the program's own
    // version file names a key the digest is required (the signed update information binds
    // the installer through it), and a signature beside the installer ("URL.minisig"), when
    // one is published, must verify as well. A file that fails is deleted and counts as
    // failed, with InstallerRefusal saying why.
    bool DownloadInstaller();
    // Starts the checked installer from its descriptor, with the entry's one argument, made
    // executable for its owner only; false when it could not be started.
    bool StartInstaller();
    // The downloaded installer; empty before DownloadInstaller succeeded.
    const CAtlString& InstallerPath() const { return m_installerPath; }
    // Why a downloaded installer was refused, in the run's language; empty when the download
    // itself failed or nothing was refused.
    const QString& InstallerRefusal() const { return m_refusal; }

protected:
    // With a key named, the signature vouches for the installer only through its digest: an
    // offer without UpdateInstallSHA256 is refused (NoInstallDigest).
    CheckFailure RefuseRemote() const override;

private:
    // The check of DownloadInstaller once the file is open; the refusal, empty when it passes.
    QString CheckInstaller(int fd, const CAtlString& signatureUrl);

    CAtlString m_installerPath;
    CAtlString m_path;
    std::shared_ptr<IDownloader> m_downloader;
    std::optional<FdGuard> m_installer;
    QString m_refusal;
};

#pragma once

#include "catalogue/UpdateXmlReader.h"

#include <memory>

class IDownloader;

// The program's own version file ("OrvexProductUpdate.xml") and the update information it
// points to, with the download of the new installer.
class CUpdaterVersion : public CUpdateXmlReader {
public:
    explicit CUpdaterVersion(const CAtlString& path) : m_path(path) {}

    CAtlString GetPath() override { return m_path; }
    CAtlString FetchRemote() override;
    void SetDownloader(std::shared_ptr<IDownloader> downloader) {
        m_downloader = std::move(downloader);
    }
    // Downloads the installer of the entry offered to this version into the private
    // temporary folder. When the entry publishes a SHA-256, a download of other bytes is
    // deleted and counts as failed.
    bool DownloadInstaller();
    // The downloaded installer; empty before DownloadInstaller succeeded.
    const CAtlString& InstallerPath() const { return m_installerPath; }

private:
    CAtlString m_installerPath;
    CAtlString m_path;
    std::shared_ptr<IDownloader> m_downloader;
};

// Whether the file's SHA-256 is expected (64 hexadecimal digits, either case).
bool FileHasSha256(const CAtlString& path, const CAtlString& expected);

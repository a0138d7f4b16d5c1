#pragma once

#include "net/IDownloader.h"

// A downloader over a folder of the maker's disk, for checking a release before it is
// published: "file:" addresses are copied to a new file in the program's temporary folder,
// as a download would leave them, since the program's readers delete what they were handed.
// Anything else fails.
class CFolderDownloader : public IDownloader {
public:
    CAtlString Download(const CAtlString& url, int32_t option1, int32_t option2) override;
    CAtlString DownloadInstaller(const CAtlString& url) override;
    DownloadFailure GetLastFailure() override { return m_lastFailure; }

private:
    // The copy of the file url names, refused (TooLarge) above limit bytes.
    CAtlString Copy(const CAtlString& url, int64_t limit);

    DownloadFailure m_lastFailure;
};

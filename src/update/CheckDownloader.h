#pragma once

#include "net/IDownloader.h"

#include <memory>

// The downloader a check hands its list refresh and its products: it passes every call on
// to the run's downloader until the check is cancelled, and from then on every download
// fails at once as cancelled, without a request, until Reopen. A product asks for several
// documents in a row (its information, then the signature beside it), and a closed window
// must end them all, not only the one under way. Interface thread only, as the check.
class CCheckDownloader : public IDownloader {
public:
    explicit CCheckDownloader(std::shared_ptr<IDownloader> downloader);

    // The next check may download again.
    void Reopen() { m_cancelled = false; }

    void Prepare() override { m_downloader->Prepare(); }
    CAtlString Download(const CAtlString& url, int32_t option1, int32_t option2) override;
    CAtlString DownloadInstaller(const CAtlString& url) override;
    void Prefetch(const QStringList& urls) override;
    void EndPrefetch() override { m_downloader->EndPrefetch(); }
    void Cancel() override;
    void StartSharedLimit(std::chrono::milliseconds total) override {
        m_downloader->StartSharedLimit(total);
    }
    void EndSharedLimit() override { m_downloader->EndSharedLimit(); }
    bool SharedLimitReached() const override { return m_downloader->SharedLimitReached(); }
    void SetProgressHook(ProgressHook hook) override {
        m_downloader->SetProgressHook(std::move(hook));
    }
    DownloadFailure GetLastFailure() override;

private:
    std::shared_ptr<IDownloader> m_downloader;
    bool m_cancelled = false;
    // The last download was refused here, not tried.
    bool m_refused = false;
};

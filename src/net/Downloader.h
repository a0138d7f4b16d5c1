#pragma once

#include "net/ConnectionInfo.h"
#include "net/HttpClient.h"
#include "net/IDownloader.h"

#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

// The program's downloader: each Download runs a fresh engine on a worker thread while the
// calling thread keeps processing its Qt events. It is also the download's ConnectionInfo;
// the settings are copied from the proxy handler at the start of every download.
// Creates no Qt object outside Download, so it may be made before the application object.
class Downloader : public IDownloader, public ConnectionInfo {
public:
    ~Downloader() override;

    // Binds the handler's credential request and cancel notification as the hooks; an
    // empty handler unbinds them.
    void SetProxyHandler(std::shared_ptr<ProxyHandlerBase> handler) override;
    // Loads libcurl, which takes a check some tens of milliseconds on a cold start.
    void Prepare() override;
    // Blocks until the download ends. On failure the output file is removed and the result
    // is empty; on success the caller owns the file and deletes it when done. A call made
    // while this downloader's own download is still running (from an event handled during
    // the wait) is refused with an empty result and changes nothing.
    CAtlString Download(const CAtlString& url, int32_t option1, int32_t option2) override;
    CAtlString DownloadInstaller(const CAtlString& url) override;
    // Through the libcurl client only: a client of makeClient sees every request itself.
    void Prefetch(const QStringList& urls) override;
    void EndPrefetch() override;
    void Cancel() override;
    void StartSharedLimit(std::chrono::milliseconds total) override;
    void EndSharedLimit() override { m_sharedDeadline.reset(); }
    bool SharedLimitReached() const override { return m_sharedLimitReached; }
    void SetProgressHook(ProgressHook hook) override;
    DownloadFailure GetLastFailure() override { return m_lastFailure; }

    // Makes the HTTP client of each download's engine; unset, the libcurl one. For tests that
    // need to see what the engine asks of the client in a real download.
    std::function<std::unique_ptr<IHttpClient>()> makeClient;
    // The limits of documents and of the installer; tests lower them.
    DownloadLimits documentLimits = kDocumentLimits;
    DownloadLimits installerLimits = kInstallerLimits;
    // The clock the shared limit is kept by; unset, the steady clock. Tests set one that
    // stands where they want it.
    std::function<std::chrono::steady_clock::time_point()> clock;
    // Told, after each download, the address and the routes it took in order ("direct",
    // "proxy HOST:PORT (SETTING)"), on the calling thread; -verbose prints them.
    std::function<void(const CAtlString& url, const QStringList& routes)> routeLog;

private:
    // Copies the proxy handler's settings of this moment into this ConnectionInfo.
    void TakeSettings();
    CAtlString DownloadWithin(const CAtlString& url, const DownloadLimits& within);
    std::chrono::steady_clock::time_point Now() const;

    std::atomic<bool> m_cancelRequested{false}; // read by the worker
    bool m_running = false;
    std::shared_ptr<ProxyHandlerBase> m_proxyHandler;
    DownloadFailure m_lastFailure;
    CAtlString m_url; // of the download under way
    std::thread m_preparing;
    std::optional<std::chrono::steady_clock::time_point> m_sharedDeadline;
    bool m_sharedLimitReached = false;
};

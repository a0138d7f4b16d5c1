#include "net/Downloader.h"

#include "net/CurlHttpClient.h"
#include "net/CurlLibrary.h"
#include "net/DownloadEngine.h"
#include "net/ProxyHandlerBase.h"
#include "platform/FilePath.h"
#include "platform/Locations.h"

#include <QScopeGuard>
#include <QUrl>

#include <algorithm>
#include <memory>
#include <vector>

namespace {
// The extension of the URL's last path segment, dot included, so that the temporary file is
// named like what it holds ("list.xml" gives ".xml"). The query and fragment name no file,
// and letting them in would put arbitrary text into a local file name.
CAtlString UrlExtension(const CAtlString& url) {
    CAtlString path = url.left(url.indexOf(u'?'));
    path = path.left(path.indexOf(u'#'));
    return FilePath(path).Extension();
}
} // namespace

Downloader::~Downloader() {
    if (m_preparing.joinable())
        m_preparing.join();
}

void Downloader::Prepare() {
    if (makeClient || m_preparing.joinable())
        return;
    // The library's loader runs once per process; a download that needs it sooner waits
    // for this thread's load to finish.
    m_preparing = std::thread([] { (void)LoadCurlLibrary(); });
}

void Downloader::SetProxyHandler(std::shared_ptr<ProxyHandlerBase> handler) {
    if (!handler) {
        onProxyAuthCanceled = nullptr;
        onProxyAuthRequired = nullptr;
    }
    m_proxyHandler = std::move(handler);
    if (m_proxyHandler) {
        ProxyHandlerBase* target = m_proxyHandler.get();
        onProxyAuthCanceled = [target] { target->OnProxyAuthCanceled(); };
        // The hook runs on this object's thread while Download waits, so m_url is the
        // address of the download that asks.
        onProxyAuthRequired = [this, target](const CAtlString& host, int port, CAtlString& user,
                                             CAtlString& pass) {
            return target->OnProxyAuthRequired(host, port, user, pass, m_url);
        };
    }
}

void Downloader::TakeSettings() {
    if (m_proxyHandler) {
        m_proxyHandler->GetProxySettings(proxyHost, proxyPort, userName, password);
        connectionMode = proxyHost.isEmpty() ? m_proxyHandler->StartMode() : ModeExplicitProxy;
        proxySetting = m_proxyHandler->ProxySetting();
        systemProxy = m_proxyHandler->SystemProxy();
    }
}

void Downloader::Prefetch(const QStringList& urls) {
    if (makeClient || m_running || urls.isEmpty())
        return;
    TakeSettings();
    // Copies that share nothing with this thread's texts: the downloads that follow rewrite
    // this object's settings while the plan may still be made on the batch's thread.
    const auto own = [](const QString& text) { return QString(text.constData(), text.size()); };
    ConnectionInfo settings;
    settings.userName = own(userName);
    settings.password = own(password);
    settings.proxyHost = own(proxyHost);
    settings.proxyPort = proxyPort;
    settings.proxySetting = own(proxySetting);
    settings.connectionMode = connectionMode;
    settings.systemProxy = systemProxy;
    std::vector<QString> addresses;
    for (const CAtlString& url : urls)
        addresses.push_back(own(url));
    CurlHttpClient::StartPrefetch(
        [addresses = std::move(addresses), settings = std::move(settings)] {
            std::vector<PrefetchRequest> plan;
            for (const CAtlString& url : addresses)
                if (std::optional<PrefetchRequest> first = CDownloader::FirstRequest(url, settings))
                    plan.push_back(std::move(*first));
            return plan;
        },
        documentLimits.maxBytes, documentLimits.deadline);
}

void Downloader::EndPrefetch() {
    if (!makeClient)
        CurlHttpClient::EndPrefetch();
}

void Downloader::Cancel() {
    m_cancelRequested.store(true);
    EndPrefetch();
}

void Downloader::StartSharedLimit(std::chrono::milliseconds total) {
    m_sharedDeadline = Now() + total;
    m_sharedLimitReached = false;
}

void Downloader::SetProgressHook(ProgressHook hook) {
    if (!hook) {
        onDataReadProgress = nullptr;
        return;
    }
    onDataReadProgress = [hook = std::move(hook)](int done, int total) { hook(done, total); };
}

std::chrono::steady_clock::time_point Downloader::Now() const {
    return clock ? clock() : std::chrono::steady_clock::now();
}

CAtlString Downloader::Download(const CAtlString& url, int32_t, int32_t) {
    return DownloadWithin(url, documentLimits);
}

CAtlString Downloader::DownloadInstaller(const CAtlString& url) {
    return DownloadWithin(url, installerLimits);
}

CAtlString Downloader::DownloadWithin(const CAtlString& url, const DownloadLimits& within) {
    // The caller's events keep flowing while a download waits, so a handler may call in
    // again. The running engine reads this object's settings until it ends: a second download
    // would rewrite them under it, so it is refused.
    if (m_running) {
        m_lastFailure = {DownloadFailure::Failed, {}, {}, {}, {}};
        return {};
    }
    DownloadLimits bounded = within;
    bool sharedBound = false;
    if (m_sharedDeadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*m_sharedDeadline - Now());
        if (left <= std::chrono::milliseconds::zero()) {
            m_sharedLimitReached = true;
            m_lastFailure = {DownloadFailure::TooSlow, QUrl(url).host(), {}, {}, {}};
            return {};
        }
        sharedBound = left < bounded.deadline;
        bounded.deadline = std::min(bounded.deadline, left);
    }
    m_running = true;
    const auto running = qScopeGuard([this] { m_running = false; });

    const FilePath file = UniqueTempFile(UrlExtension(url), QStringLiteral("FLVTemp"));
    CAtlString result;
    m_cancelRequested.store(false);
    cancelled = &m_cancelRequested;
    limits = bounded;

    TakeSettings();

    auto engine =
        makeClient ? std::make_unique<CDownloader>(makeClient()) : std::make_unique<CDownloader>();
    m_url = url;
    // An answer fetched ahead that has arrived whole is only taken: the engine runs here
    // rather than on a thread of its own, whose start and hand-overs cost a check of a
    // thousand products more than its downloads.
    const std::optional<PrefetchRequest> first = makeClient || !CurlHttpClient::Prefetching()
                                                     ? std::nullopt
                                                     : CDownloader::FirstRequest(url, *this);
    const bool here = first && CurlHttpClient::FetchedAheadSucceeded(*first);
    const bool done = (here ? engine->RunDownloadHere(url, file.Text(), this)
                            : engine->RunDownload(url, file.Text(), this)) == S_OK;
    if (routeLog)
        routeLog(url, engine->Routes());
    // Only a download without a proxy of the run's own chose between direct and the system's
    // proxy; an explicit one says nothing about that choice.
    if (m_proxyHandler && proxyHost.isEmpty())
        m_proxyHandler->RememberReachedMode(engine->ReachedMode());
    m_lastFailure = done ? DownloadFailure() : engine->Failure();
    if (sharedBound && m_lastFailure.kind == DownloadFailure::TooSlow)
        m_sharedLimitReached = true;
    if (done)
        result = file.Text();
    else
        // Whatever a failed download left behind is of no use to anyone; removing it keeps
        // the temporary folder from filling with FLVTemp files.
        file.DeleteFile();
    return result;
}

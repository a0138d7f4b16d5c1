#pragma once

#include "net/DownloadFailure.h"
#include "platform/AtlString.h"

#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class ProxyHandlerBase;

// The one blocking call through which every file is fetched. Held shared by the workflow,
// the controller and each product while it is checked.
class IDownloader {
public:
    virtual ~IDownloader() = default;
    virtual void SetProxyHandler(std::shared_ptr<ProxyHandlerBase> handler) { (void)handler; }
    // Starts readying what the first download needs on another thread and returns at once,
    // so that a run about to fetch does its other start-up work meanwhile.
    virtual void Prepare() {}
    // Downloads url to a new temporary file and returns its path, or empty on failure.
    // Every caller passes 1 and 0 for the two options, which the engine does not use.
    // A document: at most 16 MiB, in at most 10 minutes.
    virtual CAtlString Download(const CAtlString& url, int32_t option1, int32_t option2) = 0;
    // The same for the program's installer: at most 1 GiB, in at most an hour.
    virtual CAtlString DownloadInstaller(const CAtlString& url) { return Download(url, 1, 0); }
    // Fetches these documents all at once, ahead of the Download calls that will ask for
    // them, which then take what arrived (or wait for it) with the same result, failure and
    // reports as if they had fetched it themselves. Returns at once. Whatever nobody asks
    // for is dropped by EndPrefetch, the next Prefetch or Cancel.
    virtual void Prefetch(const QStringList& urls) { (void)urls; }
    virtual void EndPrefetch() {}
    // Ends the download under way soon, as failed; one started later runs as usual. Called
    // on the thread that waits in Download (from an event handled during the wait).
    virtual void Cancel() {}
    // Holds the downloads from now on to one time limit shared between them, total from now:
    // each ends at its own limit or when the shared one runs out, whichever comes first, and
    // one started after that fails at once as too slow, asking no server. EndSharedLimit
    // lifts it. For what a run fetches while nobody can see it or close it.
    virtual void StartSharedLimit(std::chrono::milliseconds total) { (void)total; }
    virtual void EndSharedLimit() {}
    // Whether a download since StartSharedLimit failed because the shared limit ran out.
    virtual bool SharedLimitReached() const { return false; }
    // Called on the waiting thread while a body arrives: the bytes so far and the size the
    // server announced, 0 or less when it announced none. Empty: no reports.
    using ProgressHook = std::function<void(int64_t done, int64_t total)>;
    virtual void SetProgressHook(ProgressHook hook) { (void)hook; }
    // Why the last Download failed; kind None after a success, Failed from downloaders that
    // cannot tell. Worded only where it is shown (DescribeFailure).
    virtual DownloadFailure GetLastFailure() { return {DownloadFailure::Failed, {}, {}, {}, {}}; }
};

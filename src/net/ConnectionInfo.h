#pragma once

#include "platform/AtlString.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class ISystemProxy;

// How the engine reaches the server; it moves on to the next mode when a proxy demands
// credentials that nobody may be asked for, and from a direct route that reaches no server to
// the proxy that the system's configuration names for the address.
enum ConnectionMode : int32_t {
    ModeDirect = 0,        // no proxy at all, whatever the environment says
    ModeSystemProxy = 1,   // the system's proxy configuration (systemProxy)
    ModeExplicitProxy = 2, // proxyHost and proxyPort
    ModeExhausted = 3,     // nothing left to try: the download fails
};

// How much one download may bring and how long it may take in all, so that no server can fill
// the temporary folder (which lives in memory under $XDG_RUNTIME_DIR) or hold a check for ever
// by sending a byte now and then, which the stall limit alone lets through.
struct DownloadLimits {
    int64_t maxBytes;
    std::chrono::milliseconds deadline;
};
// Update information, product lists, gallery and notice files: no reader takes more than
// 16 MiB, so more is never fetched.
inline constexpr DownloadLimits kDocumentLimits{16 * 1024 * 1024, std::chrono::minutes(10)};
// The program's own installer.
inline constexpr DownloadLimits kInstallerLimits{int64_t{1024} * 1024 * 1024,
                                                 std::chrono::minutes(60)};

// The settings of one download and the four hooks through which it reports. The owner fills
// it on its own thread before the download starts and leaves it alone until it ends; the
// worker only reads it. The hooks run on the owner's thread.
class ConnectionInfo {
public:
    using ConnectionFailedHook = std::function<void(const CAtlString& error)>;
    using ProxyAuthCanceledHook = std::function<void()>;
    // userName and password come in as the login a proxy has just refused (empty when none
    // was); the hook may fill them and answers whether credentials were supplied.
    using ProxyAuthRequiredHook = std::function<bool(const CAtlString& host, int port,
                                                     CAtlString& userName, CAtlString& password)>;
    using DataReadProgressHook = std::function<void(int done, int total)>;

    virtual ~ConnectionInfo() = default;

    // Each calls its hook when one is set; without one, ProxyAuthRequired declines.
    virtual void ConnectionFailed(const CAtlString& error);
    virtual void ProxyAuthCanceled();
    virtual bool ProxyAuthRequired(const CAtlString& host, int port, CAtlString& userName,
                                   CAtlString& password);
    virtual void DataReadProgress(int done, int total);

    CAtlString userName; // stored proxy credentials, sent with the first request
    CAtlString password;
    CAtlString proxyHost; // explicit proxy; empty means none
    int32_t proxyPort = 0;
    // Where the explicit proxy was set ("command line", "Connection Options", "administrator"),
    // for -verbose.
    CAtlString proxySetting;
    int32_t connectionMode = ModeDirect;
    bool promptAllowed = true; // a 401/407 without stored credentials may ask for them
    // The desktop's proxy configuration, asked on the worker thread. Without one the
    // system-configured mode leaves the choice to the HTTP client, and a direct route that
    // reaches no server is not followed by a proxy.
    std::shared_ptr<ISystemProxy> systemProxy;
    DownloadLimits limits = kDocumentLimits;
    // Turns true when the owner wants the download ended at once; null: it cannot be.
    const std::atomic<bool>* cancelled = nullptr;

    ConnectionFailedHook onConnectionFailed;
    ProxyAuthCanceledHook onProxyAuthCanceled;
    ProxyAuthRequiredHook onProxyAuthRequired;
    DataReadProgressHook onDataReadProgress;
};

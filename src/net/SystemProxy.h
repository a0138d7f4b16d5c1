#pragma once

#include "platform/AtlString.h"

#include <cstdint>

// Where the desktop's proxy configuration sends one address: an HTTP proxy, possibly with the
// login the configuration holds for it, or nowhere (an empty host: go direct). It also says
// which setting decided, so that -verbose can name the route and a row's reason the script
// that could not be used.
struct SystemProxyAddress {
    // The setting that named the proxy (or sent the address direct).
    enum Source { Nothing, Desktop, ProxyScript, Environment };

    CAtlString host; // bracketed when it is an IPv6 address
    int32_t port = 0;
    CAtlString userName; // the login of the setting itself; empty when it holds none
    CAtlString password;
    Source source = Nothing;
    CAtlString setting; // the setting as a person finds it: "GNOME", "http_proxy", a script
    // A proxy script that was configured and could not be fetched or run: its address. The
    // address then goes direct, and a failure says why.
    CAtlString scriptFailed;

    bool IsDirect() const { return host.isEmpty(); }
};

// The desktop's proxy configuration (the desktop's own settings, a proxy script, the
// environment's http_proxy, https_proxy, all_proxy and no_proxy), asked per address.
// Implementations are called on download worker threads, one at a time or several at once,
// and must be safe for that.
class ISystemProxy {
public:
    virtual ~ISystemProxy() = default;
    // The proxy for url. May block while a PAC file is fetched or run, so it is asked from the
    // worker thread of a download, never from the interface thread.
    virtual SystemProxyAddress ProxyFor(const CAtlString& url) = 0;
};

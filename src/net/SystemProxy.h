#pragma once

#include "platform/AtlString.h"

#include <cstdint>

// Where the desktop's proxy configuration sends one address: an HTTP proxy, possibly with the
// login the configuration holds for it, or nowhere (an empty host: go direct).
struct SystemProxyAddress {
    CAtlString host; // bracketed when it is an IPv6 address
    int32_t port = 0;
    CAtlString userName; // empty when the configuration holds no login
    CAtlString password;

    bool IsDirect() const { return host.isEmpty(); }
};

// The desktop's proxy configuration (the environment's http_proxy, https_proxy and no_proxy,
// the desktop's own settings, a PAC file), asked per address. Implementations are called on
// download worker threads, one at a time or several at once, and must be safe for that.
class ISystemProxy {
public:
    virtual ~ISystemProxy() = default;
    // The proxy for url. May block while a PAC file is fetched or run, so it is asked from the
    // worker thread of a download, never from the interface thread.
    virtual SystemProxyAddress ProxyFor(const CAtlString& url) = 0;
};

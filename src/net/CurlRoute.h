#pragma once

// The way a request of the libcurl client goes (direct, through a proxy of the session's list,
// or as the environment says) and the proxy login it carries.

#include "net/CurlTransfer.h"

#include <string>
#include <string_view>

namespace CurlClient {
// Sets the request's proxy, its bypass, and its proxy login with the scheme to answer in.
void SetRoute(Request& request);

// The proxy that libcurl takes from the environment in a system-configured session, in its own
// order of variables (plain HTTP reads only the lower-case one).
std::string EnvironmentProxy(bool secure);

// The libcurl bit for the scheme a Proxy-Authenticate value names; none for a scheme that
// libcurl cannot answer.
unsigned long SchemeBit(std::string_view challenge);
// One scheme out of those a proxy named, so that libcurl uses it at once rather than probing.
unsigned long PickScheme(unsigned long offered);
// Kept for the run: later requests through proxy answer in scheme from their first request.
void RememberProxyScheme(const std::string& proxy, unsigned long scheme);
} // namespace CurlClient

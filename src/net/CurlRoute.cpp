#include "net/CurlRoute.h"

#include <QStringList>

#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

using namespace WinInet;

namespace CurlClient {
namespace {
// The authentication scheme each proxy named when it first demanded a login, kept for the
// whole run as the Windows library keeps its own: later requests through that proxy send the
// login with their first request instead of meeting the demand again.
std::mutex g_proxySchemesLock;
std::map<std::string, unsigned long> g_proxySchemes;

unsigned long KnownProxyScheme(const std::string& proxy) {
    std::lock_guard lock(g_proxySchemesLock);
    const auto found = g_proxySchemes.find(proxy);
    return found == g_proxySchemes.end() ? CURLAUTH_NONE : found->second;
}

// "http=http://h:p https=http://h:p" names a proxy per scheme; an entry without "=" serves
// every scheme. Empty when the list has none for scheme (the request then goes direct).
std::string ProxyForScheme(const CAtlString& list, const CAtlString& scheme) {
    CAtlString fallback;
    for (const CAtlString& entry : list.split(u' ', Qt::SkipEmptyParts)) {
        const qsizetype equals = entry.indexOf(u'=');
        if (equals < 0) {
            fallback = entry;
        } else if (entry.left(equals).compare(scheme, Qt::CaseInsensitive) == 0) {
            return entry.mid(equals + 1).toStdString();
        }
    }
    return fallback.toStdString();
}
} // namespace

void RememberProxyScheme(const std::string& proxy, unsigned long scheme) {
    std::lock_guard lock(g_proxySchemesLock);
    g_proxySchemes[proxy] = scheme;
}

// The libcurl bit for the scheme a Proxy-Authenticate value names; none for a scheme that
// libcurl cannot answer (Negotiate only where libcurl was built with it).
unsigned long SchemeBit(std::string_view challenge) {
    const curl_version_info_data* info = Curl().version_info(CURLVERSION_NOW);
    const std::string_view scheme = challenge.substr(0, challenge.find_first_of(" \t,"));
    const auto is = [&](std::string_view name) {
        return scheme.size() == name.size() && StartsWithNoCase(scheme, name);
    };
    if (is("Basic"))
        return CURLAUTH_BASIC;
    if (is("Digest"))
        return CURLAUTH_DIGEST;
    if (is("NTLM") && (info->features & CURL_VERSION_NTLM))
        return CURLAUTH_NTLM;
    if (is("Negotiate") && (info->features & CURL_VERSION_SPNEGO))
        return CURLAUTH_NEGOTIATE;
    return CURLAUTH_NONE;
}

// One scheme out of those a proxy named, so that libcurl uses it at once rather than probing:
// the strongest that answers with a user name and password, Negotiate (which uses the
// system's Kerberos ticket, not the login) only when nothing else is offered.
unsigned long PickScheme(unsigned long offered) {
    for (const unsigned long scheme : {CURLAUTH_NTLM, CURLAUTH_DIGEST, CURLAUTH_BASIC})
        if (offered & scheme)
            return scheme;
    return offered & CURLAUTH_NEGOTIATE;
}

// The proxy that libcurl takes from the environment in a system-configured session, in its own
// order of variables (plain HTTP reads only the lower-case one).
std::string EnvironmentProxy(bool secure) {
    const std::vector<const char*> names =
        secure ? std::vector<const char*>{"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}
               : std::vector<const char*>{"http_proxy", "all_proxy", "ALL_PROXY"};
    for (const char* name : names)
        if (const char* value = std::getenv(name); value && *value)
            return value;
    return {};
}

void SetRoute(Request& request) {
    const ConnectionState& connection = *request.connection;
    const SessionState& session = *connection.session;
    const bool secure = (request.flags & INTERNET_FLAG_SECURE) != 0;
    const CAtlString scheme = secure ? QStringLiteral("https") : QStringLiteral("http");
    CURL* easy = request.easy;
    if (session.accessType == INTERNET_OPEN_TYPE_DIRECT) {
        // An empty proxy switches off libcurl's own reading of the proxy environment.
        Curl().easy_setopt(easy, CURLOPT_PROXY, "");
    } else if (session.accessType == INTERNET_OPEN_TYPE_PROXY) {
        request.proxy = ProxyForScheme(session.proxyList, scheme);
        request.proxyKey = request.proxy;
        Curl().easy_setopt(easy, CURLOPT_PROXY, request.proxy.c_str());
        // An explicit proxy has no bypass list; no_proxy from the environment must not apply.
        Curl().easy_setopt(easy, CURLOPT_NOPROXY, "");
    } else {
        request.proxyKey = EnvironmentProxy(secure);
    }
    if (!connection.proxyUserName.isEmpty()) {
        request.proxyUserName = connection.proxyUserName.toStdString();
        request.proxyPassword = connection.proxyPassword.toStdString();
        Curl().easy_setopt(easy, CURLOPT_PROXYUSERNAME, request.proxyUserName.c_str());
        Curl().easy_setopt(easy, CURLOPT_PROXYPASSWORD, request.proxyPassword.c_str());
        // With several schemes allowed libcurl first sends a bare request to learn which one
        // the proxy wants; with the one it named earlier the login goes with the first.
        // libcurl answers in the strongest scheme the proxy offers, so Basic goes out only
        // where it is all that the proxy offers; where nobody named the proxy, never.
        const unsigned long allowed =
            connection.proxyNoBasic ? (CURLAUTH_ANY & ~CURLAUTH_BASIC) : CURLAUTH_ANY;
        const unsigned long known = KnownProxyScheme(request.proxyKey) & allowed;
        Curl().easy_setopt(easy, CURLOPT_PROXYAUTH, known != CURLAUTH_NONE ? known : allowed);
    }
}
} // namespace CurlClient

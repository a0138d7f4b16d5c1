#include "net/CurlHttpClient.h"

#include "net/CurlLibrary.h"

#include <QDate>
#include <QScopeGuard>
#include <QUrl>

#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace WinInet;
using Clock = std::chrono::steady_clock;

namespace {
// Loaded by the time any client exists (Create makes sure of it).
const CurlLibrary& Curl() {
    return *LoadCurlLibrary();
}

std::atomic<int64_t> g_stallTimeoutMs{60000};

// The time a new connection may take beyond its TCP handshake: name lookup, a proxy's CONNECT
// and the TLS handshake, each of which a slow corporate proxy can stretch well past the
// 2 s that the TCP handshake is allowed.
constexpr long kSetupTimeoutMs = 30000;

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

void RememberProxyScheme(const std::string& proxy, unsigned long scheme) {
    std::lock_guard lock(g_proxySchemesLock);
    g_proxySchemes[proxy] = scheme;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

// True when line is the header name; value is then what follows the colon.
bool HeaderValue(std::string_view line, std::string_view name, std::string_view& value) {
    if (!StartsWithNoCase(line, name) || line.substr(name.size(), 1) != ":")
        return false;
    value = line.substr(name.size() + 1);
    value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
    return true;
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

// Open connections, name lookups and TLS sessions kept between downloads, so that the second
// and later downloads from a server go out on the connection the first one opened instead of
// paying for new TCP and TLS handshakes. Consecutive downloads run on different worker
// threads, hence the locks.
class SharedCaches {
public:
    SharedCaches() : m_share(Curl().share_init()) {
        Curl().share_setopt(m_share, CURLSHOPT_LOCKFUNC, Lock);
        Curl().share_setopt(m_share, CURLSHOPT_UNLOCKFUNC, Unlock);
        Curl().share_setopt(m_share, CURLSHOPT_USERDATA, this);
        for (const curl_lock_data data :
             {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION})
            Curl().share_setopt(m_share, CURLSHOPT_SHARE, data);
    }
    CURLSH* Handle() const { return m_share; }

private:
    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
        static_cast<SharedCaches*>(user)->m_locks.at(data).lock();
    }
    static void Unlock(CURL*, curl_lock_data data, void* user) {
        static_cast<SharedCaches*>(user)->m_locks.at(data).unlock();
    }

    CURLSH* m_share;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> m_locks;
};

// One set for the process. libcurl hands out a cached connection only for the same server by
// the same route: through the same proxy with the same proxy login, or direct. Never freed:
// closing the connections at exit would only race the TLS library's own clean-up, and the
// system closes their sockets anyway.
CURLSH* SharedCachesHandle() {
    static auto* caches = new SharedCaches;
    return caches->Handle();
}

struct SessionState {
    uint32_t accessType = INTERNET_OPEN_TYPE_PRECONFIG;
    CAtlString proxyList;
    CAtlString agent;
    // Drives the session's transfers; the connections they use live in the shared caches.
    // Made for the first transfer sent: a request that takes what was fetched ahead drives
    // none, and a check's requests mostly do.
    CURLM* multi = nullptr;
    CURLM* Multi() {
        if (!multi) {
            multi = Curl().multi_init();
            // Unless told otherwise libcurl keeps four idle connections per transfer of the
            // multi handle, here one; a run that talks to its update server, a gallery server
            // and a proxy or two must not lose the connections it comes back to.
            if (multi)
                Curl().multi_setopt(multi, CURLMOPT_MAXCONNECTS, 16L);
        }
        return multi;
    }
    ~SessionState() {
        if (multi)
            Curl().multi_cleanup(multi);
    }
};

struct ConnectionState {
    std::shared_ptr<SessionState> session;
    CAtlString server;
    uint16_t port = 0;
    long connectTimeoutMs = 0;
    int64_t transferTimeoutMs = 0; // 0: none
    CAtlString proxyUserName;
    CAtlString proxyPassword;
};

class Session : public InternetObject {
public:
    std::shared_ptr<SessionState> state = std::make_shared<SessionState>();
};

class Connection : public InternetObject {
public:
    std::shared_ptr<ConnectionState> state = std::make_shared<ConnectionState>();
};

class Request : public InternetObject {
public:
    ~Request() override {
        if (easy) {
            // A fetched-ahead transfer has left its multi handle by the time anyone holds it.
            if (connection->session->multi && !fetchedAhead)
                Curl().multi_remove_handle(connection->session->multi, easy);
            Curl().easy_cleanup(easy);
        }
    }

    bool HasPending() const { return pendingPos < pending.size(); }

    std::shared_ptr<ConnectionState> connection;
    CAtlString object;
    uint32_t flags = 0;
    CURL* easy = nullptr;
    std::vector<char> pending; // the chunk received and not yet read
    size_t pendingPos = 0;
    bool paused = false;
    bool done = false;
    CURLcode result = CURLE_OK;
    long connectStatus = 0; // a proxy's refusal of CONNECT, standing in for the status
    Clock::time_point lastActivity;
    std::optional<Clock::time_point> deadline; // of the whole transfer, when it has one
    const std::atomic<bool>* cancel = nullptr; // ends the transfer when it turns true
    // The exchange as it goes: libcurl may send several requests for one transfer (a tunnel,
    // an authentication round, redirects), and only an answer to the last one sent counts.
    bool lastSentIsConnect = false;
    bool lastSentAnswered = false;
    long headStatus = 0;              // of the response head being received
    bool headMultiplexed = false;     // it came over HTTP/2 or later
    int localPort = 0;                // of the connection the request was sent on
    std::string headPhrase;           // its reason phrase
    std::string connectStatusPhrase;  // the reason phrase that came with connectStatus
    int connectErrno = 0;             // why the last TCP handshake failed
    std::string headProxyError;       // the proxy's own error named by that head
    std::string connectProxyError;    // the same for the refused tunnel of connectStatus
    int certificateError = 0;         // the first verification error of the peer's chain
    std::string certificateExpiry;    // with an expired certificate, its last day
    unsigned long offeredSchemes = 0; // named by that head's Proxy-Authenticate lines
    bool headEncoded = false;         // that head names a Content-Encoding
    bool encoded = false;             // the body is decoded, so its length is not the header's
    std::string proxyKey;             // the proxy in use; empty when there is none
    std::string url;
    std::string proxy;
    std::string proxyUserName;
    std::string proxyPassword;
    std::string caFile;
    long tcpTimeoutMs = 0;
    // Fetched ahead (StartPrefetch): the whole body is kept, within bodyLimit bytes and what
    // is left of the batch's budget, and the TCP handshake is watched from the batch's loop.
    bool fetchedAhead = false;
    int64_t bodyLimit = 0;
    std::atomic<int64_t>* budget = nullptr;
    std::vector<curl_socket_t> sockets;          // opened for the handshake
    std::optional<Clock::time_point> tcpStarted; // when the first one was opened
    bool underWay = false;                       // connected, or the request is being sent
    bool outOfTime = false;                      // the batch's own deadline ended it
};

// libcurl's connect limit covers the whole way to a usable connection, TLS and a proxy's
// CONNECT included, while the 2 s limit that callers set is meant for the TCP handshake with
// the server or proxy alone. So the socket is connected here, within that limit, and libcurl
// (told that it is connected) bounds only the rest with its own limit. A worker thread runs
// one download, so blocking it for the handshake holds up nothing else.
curl_socket_t OpenConnectedSocket(void* user, curlsocktype purpose, curl_sockaddr* address) {
    if (purpose != CURLSOCKTYPE_IPCXN)
        return CURL_SOCKET_BAD;
    const int fd = ::socket(address->family, address->socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            address->protocol);
    if (fd < 0)
        return CURL_SOCKET_BAD;
    if (::connect(fd, &address->addr, address->addrlen) == 0)
        return fd;
    const long limitMs = static_cast<Request*>(user)->tcpTimeoutMs;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    int error = errno;
    while (error == EINPROGRESS || error == EINTR) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            error = ETIMEDOUT;
            break;
        }
        pollfd writable{fd, POLLOUT, 0};
        const int ready = ::poll(&writable, 1, static_cast<int>(left.count()));
        if (ready < 0) {
            error = errno;
        } else if (ready > 0) {
            socklen_t length = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
    }
    if (error == 0)
        return fd;
    static_cast<Request*>(user)->connectErrno = error;
    ::close(fd);
    return CURL_SOCKET_BAD;
}

int KeepConnected(void*, curl_socket_t, curlsocktype) {
    return CURL_SOCKOPT_ALREADY_CONNECTED;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* request = static_cast<Request*>(user);
    request->lastActivity = Clock::now();
    const size_t length = size * count;
    if (request->fetchedAhead) {
        // Nobody reads while the batch runs, so the body is kept whole; past its limits the
        // transfer ends and the request is sent again on its own, which holds it to them.
        const auto bytes = static_cast<int64_t>(length);
        if (static_cast<int64_t>(request->pending.size()) + bytes > request->bodyLimit ||
            request->budget->fetch_sub(bytes) < bytes)
            return 0;
        request->pending.insert(request->pending.end(), data, data + length);
        return length;
    }
    // Hold back everything after one chunk until the reader has taken it: this is what
    // bounds memory, since libcurl keeps a paused chunk and stops reading the socket.
    if (request->HasPending()) {
        request->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    request->pending.assign(data, data + length);
    request->pendingPos = 0;
    return length;
}

// The phrase HTTP/1.1 servers send with a status, for answers of protocols that carry none
// (HTTP/2 and later), so that a reason reads alike whichever protocol the server speaks.
std::string StandardPhrase(long status) {
    static const std::map<long, const char*> phrases = {
        {200, "OK"},
        {201, "Created"},
        {202, "Accepted"},
        {203, "Non-Authoritative Information"},
        {204, "No Content"},
        {206, "Partial Content"},
        {300, "Multiple Choices"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "See Other"},
        {304, "Not Modified"},
        {307, "Temporary Redirect"},
        {308, "Permanent Redirect"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {406, "Not Acceptable"},
        {407, "Proxy Authentication Required"},
        {408, "Request Timeout"},
        {409, "Conflict"},
        {410, "Gone"},
        {411, "Length Required"},
        {412, "Precondition Failed"},
        {413, "Content Too Large"},
        {414, "URI Too Long"},
        {415, "Unsupported Media Type"},
        {416, "Range Not Satisfiable"},
        {421, "Misdirected Request"},
        {429, "Too Many Requests"},
        {451, "Unavailable For Legal Reasons"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
        {505, "HTTP Version Not Supported"},
    };
    const auto found = phrases.find(status);
    return found == phrases.end() ? std::string() : found->second;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* request = static_cast<Request*>(user);
    request->lastActivity = Clock::now();
    const size_t length = size * count;
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    if (StartsWithNoCase(line, "HTTP/")) {
        const size_t blank = line.find(' ');
        request->headStatus =
            blank == std::string_view::npos
                ? 0
                : std::strtol(std::string(line.substr(blank + 1, 3)).c_str(), nullptr, 10);
        // "HTTP/1.1 404 Not Found": the phrase follows the three digits and a blank.
        request->headPhrase = blank == std::string_view::npos || line.size() <= blank + 5
                                  ? std::string()
                                  : std::string(line.substr(blank + 5));
        request->headMultiplexed = !StartsWithNoCase(line, "HTTP/1.");
        if (request->headPhrase.empty() && request->headMultiplexed)
            request->headPhrase = StandardPhrase(request->headStatus);
        request->offeredSchemes = 0;
        request->headEncoded = false;
        request->headProxyError.clear();
    } else if (line.empty()) {
        request->lastSentAnswered = true;
        if (!request->lastSentIsConnect)
            request->encoded = request->headEncoded;
        if (request->headStatus == 407 && !request->proxyKey.empty())
            if (const unsigned long scheme = PickScheme(request->offeredSchemes))
                RememberProxyScheme(request->proxyKey, scheme);
    } else if (std::string_view value; HeaderValue(line, "Proxy-Authenticate", value)) {
        request->offeredSchemes |= SchemeBit(value);
    } else if (HeaderValue(line, "Content-Encoding", value)) {
        request->headEncoded = !value.empty() && !StartsWithNoCase(value, "identity");
    } else if (HeaderValue(line, "X-Squid-Error", value)) {
        // "ERR_CONNECT_FAIL 111": the error's name, without the system's error number.
        request->headProxyError = std::string(value.substr(0, value.find(' ')));
    } else if (HeaderValue(line, "Proxy-Status", value)) {
        // "proxy; error=dns_timeout; details=...": a proxy names an error only for an answer
        // of its own making.
        if (const size_t at = value.find("error="); at != std::string_view::npos) {
            const std::string_view error = value.substr(at + 6);
            request->headProxyError = std::string(error.substr(0, error.find_first_of(";, ")));
        }
    }
    return length;
}

// Sees every request head that libcurl sends, the CONNECT of a tunnel included.
int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    if (type == CURLINFO_HEADER_OUT) {
        auto* request = static_cast<Request*>(user);
        request->lastSentIsConnect = StartsWithNoCase(std::string_view(data, size), "CONNECT ");
        request->lastSentAnswered = false;
    }
    return 0;
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

// The TLS library checks the server's certificate and tells libcurl only that the check
// failed and the error's number; what a person needs besides (the day an expired certificate
// ran out) is taken by a verification callback that watches and leaves the library's own
// verdict unchanged. libcurl brought the library in, so its functions are found in the copy
// already loaded; with another TLS library than OpenSSL nothing is watched.
struct OpenSsl {
    int (*getVerifyMode)(const void* context);
    void (*setVerify)(void* context, int mode, int (*callback)(int, void*));
    int (*getError)(const void* storeContext);
    void* (*currentCertificate)(const void* storeContext);
    const void* (*notAfter)(const void* certificate);
    int (*timeToTm)(const void* time, std::tm* out);
};

// OpenSSL's X509_V_ERR_ numbers that the engine tells apart.
constexpr long kUnspecified = 1;
constexpr long kCertificateExpired = 10;
constexpr long kHostnameMismatch = 62;
constexpr long kIpAddressMismatch = 64;
constexpr std::array<long, 5> kIssuerUnknown = {2, 18, 19, 20, 21};

template <typename Function> bool FindIn(void* library, const char* name, Function& function) {
    function = library ? reinterpret_cast<Function>(::dlsym(library, name)) : nullptr;
    return function != nullptr;
}

const OpenSsl* LoadOpenSsl() {
    static const std::unique_ptr<OpenSsl> calls = []() -> std::unique_ptr<OpenSsl> {
        const curl_version_info_data* info = Curl().version_info(CURLVERSION_NOW);
        const std::string_view version = info && info->ssl_version ? info->ssl_version : "";
        const std::string suffix = StartsWithNoCase(version, "OpenSSL/3")     ? ".so.3"
                                   : StartsWithNoCase(version, "OpenSSL/1.1") ? ".so.1.1"
                                                                              : "";
        if (suffix.empty())
            return nullptr;
        // Only ever the copy libcurl uses: a library not loaded yet is not loaded here.
        void* ssl = ::dlopen(("libssl" + suffix).c_str(), RTLD_NOW | RTLD_NOLOAD);
        void* crypto = ::dlopen(("libcrypto" + suffix).c_str(), RTLD_NOW | RTLD_NOLOAD);
        auto openSsl = std::make_unique<OpenSsl>();
        const bool complete =
            FindIn(ssl, "SSL_CTX_get_verify_mode", openSsl->getVerifyMode) &&
            FindIn(ssl, "SSL_CTX_set_verify", openSsl->setVerify) &&
            FindIn(crypto, "X509_STORE_CTX_get_error", openSsl->getError) &&
            FindIn(crypto, "X509_STORE_CTX_get_current_cert", openSsl->currentCertificate) &&
            FindIn(crypto, "X509_get0_notAfter", openSsl->notAfter) &&
            FindIn(crypto, "ASN1_TIME_to_tm", openSsl->timeToTm);
        return complete ? std::move(openSsl) : nullptr;
    }();
    return calls.get();
}

// The request whose transfer the thread drives: the verification callback has no pointer of
// its own to it.
thread_local Request* t_driven = nullptr;

int WatchVerification(int verified, void* storeContext) {
    Request* request = t_driven;
    if (verified || !request || request->certificateError != 0)
        return verified;
    const OpenSsl& openSsl = *LoadOpenSsl();
    request->certificateError = openSsl.getError(storeContext);
    const void* certificate = openSsl.currentCertificate(storeContext);
    std::tm last{};
    if (request->certificateError == kCertificateExpired && certificate &&
        openSsl.timeToTm(openSsl.notAfter(certificate), &last) == 1)
        request->certificateExpiry = QDate(last.tm_year + 1900, last.tm_mon + 1, last.tm_mday)
                                         .toString(Qt::ISODate)
                                         .toStdString();
    return verified;
}

// Called by libcurl with each new TLS context, after it set its own verification mode.
CURLcode WatchTls(CURL*, void* context, void*) {
    const OpenSsl& openSsl = *LoadOpenSsl();
    openSsl.setVerify(context, openSsl.getVerifyMode(context), WatchVerification);
    return CURLE_OK;
}

void Finish(Request& request, CURLcode result) {
    request.done = true;
    request.result = result;
}

// Runs the transfer until a body chunk is waiting or the transfer has ended.
void Drive(Request& request) {
    CURLM* multi = request.connection->session->multi;
    request.lastActivity = Clock::now();
    t_driven = &request;
    const auto undrive = qScopeGuard([] { t_driven = nullptr; });
    while (!request.done && !request.HasPending()) {
        if (request.paused) {
            request.paused = false;
            // Delivers the held-back chunk to OnBody before it returns.
            Curl().easy_pause(request.easy, CURLPAUSE_CONT);
            if (request.HasPending())
                break;
        }
        int running = 0;
        if (Curl().multi_perform(multi, &running) != CURLM_OK) {
            Finish(request, CURLE_FAILED_INIT);
            break;
        }
        int queued = 0;
        while (CURLMsg* message = Curl().multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == request.easy)
                Finish(request, message->data.result);
        }
        if (request.done || request.HasPending())
            break;
        const auto limit = std::chrono::milliseconds(g_stallTimeoutMs.load());
        const auto now = Clock::now();
        const auto idle = now - request.lastActivity;
        // A byte now and then keeps the stall limit away; the deadline ends that too.
        if (idle >= limit || (request.deadline && now >= *request.deadline)) {
            Finish(request, CURLE_OPERATION_TIMEDOUT);
            break;
        }
        if (request.cancel && request.cancel->load()) {
            Finish(request, CURLE_ABORTED_BY_CALLBACK);
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - idle);
        if (request.deadline)
            left = std::min(left,
                            std::chrono::ceil<std::chrono::milliseconds>(*request.deadline - now));
        // A transfer that can be cancelled looks at its flag ten times a second.
        Curl().multi_poll(
            multi, nullptr, 0,
            static_cast<int>(std::min<int64_t>(left.count(), request.cancel ? 100 : 1000)),
            nullptr);
    }
}

template <typename T> T* As(HINTERNET handle) {
    return dynamic_cast<T*>(handle);
}

CAtlString HostForUrl(const CAtlString& host) {
    return host.contains(u':') && !host.startsWith(u'[') ? u'[' + host + u']' : host;
}
} // namespace

std::unique_ptr<CurlHttpClient> CurlHttpClient::Create() {
    if (!LoadCurlLibrary())
        return nullptr;
    return std::unique_ptr<CurlHttpClient>(new CurlHttpClient);
}

void CurlHttpClient::SetStallTimeout(std::chrono::milliseconds limit) {
    g_stallTimeoutMs.store(limit.count());
}

std::chrono::milliseconds CurlHttpClient::StallTimeout() {
    return std::chrono::milliseconds(g_stallTimeoutMs.load());
}

HINTERNET CurlHttpClient::InternetOpenW(const CAtlString& agent, uint32_t accessType,
                                        const CAtlString& proxyList, const CAtlString&, uint32_t) {
    if (accessType != INTERNET_OPEN_TYPE_PRECONFIG && accessType != INTERNET_OPEN_TYPE_DIRECT &&
        accessType != INTERNET_OPEN_TYPE_PROXY)
        return nullptr;
    auto session = std::make_unique<Session>();
    session->state->accessType = accessType;
    session->state->proxyList = proxyList;
    session->state->agent = agent;
    return session.release();
}

HINTERNET CurlHttpClient::InternetConnectW(HINTERNET sessionHandle, const CAtlString& server,
                                           uint16_t port, uint32_t service) {
    auto* session = As<Session>(sessionHandle);
    if (!session || service != INTERNET_SERVICE_HTTP || server.isEmpty())
        return nullptr;
    auto connection = std::make_unique<Connection>();
    connection->state->session = session->state;
    connection->state->server = server;
    connection->state->port = port;
    return connection.release();
}

bool CurlHttpClient::InternetSetOptionW(HINTERNET handle, uint32_t option, uint32_t value) {
    auto* connection = As<Connection>(handle);
    if (!connection)
        return false;
    if (option == INTERNET_OPTION_CONNECT_TIMEOUT)
        connection->state->connectTimeoutMs = static_cast<long>(value);
    else if (option == kOptionTransferTimeout)
        connection->state->transferTimeoutMs = value;
    else
        return false;
    return true;
}

bool CurlHttpClient::InternetSetOptionW(HINTERNET handle, uint32_t option, const CAtlString& text) {
    auto* connection = As<Connection>(handle);
    if (!connection)
        return false;
    if (option == INTERNET_OPTION_PROXY_USERNAME)
        connection->state->proxyUserName = text;
    else if (option == INTERNET_OPTION_PROXY_PASSWORD)
        connection->state->proxyPassword = text;
    else
        return false;
    return true;
}

HINTERNET CurlHttpClient::HttpOpenRequestW(HINTERNET connectionHandle, const CAtlString& verb,
                                           const CAtlString& object, const CAtlString&,
                                           uint32_t flags) {
    auto* connection = As<Connection>(connectionHandle);
    if (!connection || verb != u"GET")
        return nullptr;
    auto request = std::make_unique<Request>();
    request->connection = connection->state;
    request->object = object.startsWith(u'/') ? object : u'/' + object;
    request->flags = flags;
    request->cancel = m_cancel;
    return request.release();
}

namespace {
std::string RequestUrl(const Request& request) {
    const ConnectionState& connection = *request.connection;
    const bool secure = (request.flags & INTERNET_FLAG_SECURE) != 0;
    return (QLatin1String(secure ? "https://" : "http://") + HostForUrl(connection.server) + u':' +
            QString::number(connection.port) + request.object)
        .toStdString();
}

// Two requests with the same key would be sent alike: same route, login, agent and address.
std::string RequestKey(const Request& request) {
    const ConnectionState& connection = *request.connection;
    const SessionState& session = *connection.session;
    return QStringList{QString::number(session.accessType),
                       session.proxyList,
                       session.agent,
                       QString::fromStdString(RequestUrl(request)),
                       connection.proxyUserName,
                       connection.proxyPassword}
        .join(QChar(0))
        .toStdString();
}

// The same key without the path: requests that share a connection and a proxy's verdict.
std::string RouteKey(const Request& request) {
    Request route;
    route.connection = request.connection;
    route.flags = request.flags;
    return RequestKey(route);
}

// A transfer fetched ahead opens its socket without waiting for the handshake, since one
// thread drives all of them; the batch's loop holds the handshake to the caller's limit.
curl_socket_t OpenWatchedSocket(void* user, curlsocktype purpose, curl_sockaddr* address) {
    if (purpose != CURLSOCKTYPE_IPCXN)
        return CURL_SOCKET_BAD;
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0)
        return CURL_SOCKET_BAD;
    auto* request = static_cast<Request*>(user);
    request->sockets.push_back(fd);
    if (!request->tcpStarted)
        request->tcpStarted = Clock::now();
    return fd;
}

// Called when the transfer has its connection and is about to send: from here on the stall
// limit counts, as it does for a request sent on its own.
int OnConnected(void* user, char*, char*, int, int localPort) {
    auto* request = static_cast<Request*>(user);
    request->underWay = true;
    request->localPort = localPort;
    request->lastActivity = Clock::now();
    return CURL_PREREQFUNC_OK;
}

// Everything of the request's transfer but starting it.
bool MakeTransfer(Request& request) {
    const ConnectionState& connection = *request.connection;
    const SessionState& session = *connection.session;
    const bool secure = (request.flags & INTERNET_FLAG_SECURE) != 0;
    const CAtlString scheme = secure ? QStringLiteral("https") : QStringLiteral("http");
    request.url = RequestUrl(request);
    request.easy = Curl().easy_init();
    if (!request.easy)
        return false;
    if (connection.transferTimeoutMs > 0)
        request.deadline = Clock::now() + std::chrono::milliseconds(connection.transferTimeoutMs);
    CURL* easy = request.easy;
    Curl().easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    Curl().easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    Curl().easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    Curl().easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    Curl().easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    // Once on TLS, a redirect must not hand the rest of the exchange to plain text.
    Curl().easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    // HTTP/2 where the server offers it in the TLS handshake: many requests then share one
    // connection at once. Plain HTTP stays on HTTP/1.1.
    Curl().easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    // Larger chunks mean fewer pause-and-resume rounds per megabyte; one chunk is all that is
    // ever held, so memory stays small.
    Curl().easy_setopt(easy, CURLOPT_BUFFERSIZE, 64L * 1024);
    Curl().easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kSetupTimeoutMs);
    request.tcpTimeoutMs = connection.connectTimeoutMs > 0
                               ? std::min(connection.connectTimeoutMs, kSetupTimeoutMs)
                               : kSetupTimeoutMs;
    if (request.fetchedAhead) {
        Curl().easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, OpenWatchedSocket);
        Curl().easy_setopt(easy, CURLOPT_PREREQFUNCTION, OnConnected);
        Curl().easy_setopt(easy, CURLOPT_PREREQDATA, &request);
        // Waits for a connection that can carry it beside others rather than opening one;
        // over TLS the handshake tells at once. Plain HTTP would learn it only from the first
        // answer, which a server that hangs never gives.
        Curl().easy_setopt(easy, CURLOPT_PIPEWAIT, secure ? 1L : 0L);
        Curl().easy_setopt(easy, CURLOPT_PRIVATE, &request);
    } else {
        Curl().easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, OpenConnectedSocket);
        Curl().easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, KeepConnected);
    }
    Curl().easy_setopt(easy, CURLOPT_OPENSOCKETDATA, &request);
    if (!session.agent.isEmpty())
        Curl().easy_setopt(easy, CURLOPT_USERAGENT, session.agent.toStdString().c_str());
    Curl().easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
    Curl().easy_setopt(easy, CURLOPT_WRITEDATA, &request);
    Curl().easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader);
    Curl().easy_setopt(easy, CURLOPT_HEADERDATA, &request);
    // The debug callback is the one place that tells when libcurl sends another request within
    // the transfer; it runs only in verbose mode, and takes all that mode would print.
    Curl().easy_setopt(easy, CURLOPT_DEBUGFUNCTION, OnDebug);
    Curl().easy_setopt(easy, CURLOPT_DEBUGDATA, &request);
    Curl().easy_setopt(easy, CURLOPT_VERBOSE, 1L);
    // Servers set to hand out precompressed files send them compressed even to a client that
    // did not ask; what is saved must be the document, so every encoding libcurl can decode
    // is accepted and decoded.
    Curl().easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");

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
        const unsigned long known = KnownProxyScheme(request.proxyKey);
        Curl().easy_setopt(easy, CURLOPT_PROXYAUTH, known != CURLAUTH_NONE ? known : CURLAUTH_ANY);
    }
    // Corporate proxies that inspect TLS, and the tests, bring their own trust anchors.
    if (const char* caFile = std::getenv("SSL_CERT_FILE"); caFile && *caFile) {
        request.caFile = caFile;
        Curl().easy_setopt(easy, CURLOPT_CAINFO, request.caFile.c_str());
        Curl().easy_setopt(easy, CURLOPT_PROXY_CAINFO, request.caFile.c_str());
    }

    Curl().easy_setopt(easy, CURLOPT_SHARE, SharedCachesHandle());
    if (LoadOpenSsl())
        Curl().easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, WatchTls);
    return true;
}

// What HttpSendRequestW answers once the transfer has its response head or has ended.
bool SendOutcome(Request& request) {
    if (request.done && request.result != CURLE_OK) {
        // libcurl goes on reporting the status of an earlier answer within the transfer (the
        // proxy's demand for a login, before the retry that then timed out), so a failed
        // transfer has a status only when its last request was answered.
        if (!request.lastSentAnswered)
            return false;
        // A proxy that refuses to open the tunnel for HTTPS fails the transfer; its answer
        // is what the caller must see as the status, as with a plain HTTP request.
        if (request.lastSentIsConnect) {
            if (request.headStatus < 300)
                return false;
            request.connectStatus = request.headStatus;
            request.connectStatusPhrase = request.headPhrase;
            request.connectProxyError =
                request.headProxyError.empty() ? "CONNECT" : request.headProxyError;
            return true;
        }
        // A response that arrived and then broke off was sent all right; reading its body
        // is what fails.
        return request.headStatus != 0;
    }
    return true;
}

// A request as the engine would open it for planned: its session, connection and login.
std::unique_ptr<Request> PlannedRequest(const PrefetchRequest& planned) {
    auto session = std::make_shared<SessionState>();
    session->accessType = planned.accessType;
    session->proxyList = planned.proxyList;
    auto connection = std::make_shared<ConnectionState>();
    connection->session = std::move(session);
    connection->server = planned.server;
    connection->port = planned.port;
    connection->connectTimeoutMs = static_cast<long>(planned.connectTimeoutMs);
    connection->proxyUserName = planned.proxyUserName;
    connection->proxyPassword = planned.proxyPassword;
    auto request = std::make_unique<Request>();
    request->connection = std::move(connection);
    request->object = planned.object.startsWith(u'/') ? planned.object : u'/' + planned.object;
    request->flags = planned.flags;
    return request;
}

// The documents of one StartPrefetch. Its own thread runs the plan and then every transfer
// on one multi handle; the engines' threads take the outcomes (Take). An entry's request
// belongs to the batch's thread while it runs and to whoever takes it once it is done; the
// state that tells which is kept under the lock.
class Batch {
public:
    static constexpr int kConnectionsPerHost = 6;

    Batch(std::function<std::vector<PrefetchRequest>()> plan, int64_t maxBytes,
          std::chrono::milliseconds deadline)
        : m_maxBytes(maxBytes), m_deadline(Clock::now() + deadline),
          m_thread([this, plan = std::move(plan)] { Run(plan); }) {}

    ~Batch() {
        {
            std::lock_guard lock(m_lock);
            m_stop = true;
            if (m_multi)
                Curl().multi_wakeup(m_multi);
        }
        m_thread.join();
    }

    // The outcome of a fetched-ahead request with this key, waited for while it runs; null
    // when there is none to hand out (then the request is sent on its own) or when cancel
    // turns true while waiting.
    std::unique_ptr<Request> Take(const std::string& key, const std::atomic<bool>* cancel) {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [this] { return m_planned; });
        for (Entry& entry : m_entries) {
            if (entry.state == State::Gone || entry.key != key)
                continue;
            // Not started and never to be (a login was asked for): from now on it is the
            // caller's to send. One that only waits for its turn is waited for.
            if (entry.state == State::Waiting && !WillStart(entry)) {
                entry.state = State::Gone;
                return nullptr;
            }
            while (entry.state == State::Running ||
                   (entry.state == State::Waiting && WillStart(entry))) {
                if (cancel && cancel->load())
                    return nullptr;
                m_changed.wait_for(lock, std::chrono::milliseconds(100));
            }
            if (entry.state != State::Done)
                return nullptr;
            entry.state = State::Gone;
            const Request& fetched = *entry.request;
            // A certificate's complaint is watched only on a thread that drives one request.
            const bool usable = !fetched.outOfTime && fetched.result != CURLE_ABORTED_BY_CALLBACK &&
                                fetched.result != CURLE_WRITE_ERROR &&
                                fetched.result != CURLE_PEER_FAILED_VERIFICATION &&
                                fetched.result != CURLE_FAILED_INIT &&
                                fetched.result != CURLE_OUT_OF_MEMORY;
            return usable ? std::move(entry.request) : nullptr;
        }
        return nullptr;
    }

private:
    enum class State { Waiting, Running, Done, Gone };
    struct Entry {
        std::unique_ptr<Request> request;
        std::string key;
        std::string route;
        State state = State::Waiting;
        bool first = false;    // the first of its route, which goes alone
        bool released = false; // a first whose route may follow
    };

    void Plan(const std::vector<PrefetchRequest>& plan) {
        std::vector<std::string> routes;
        for (const PrefetchRequest& planned : plan) {
            Entry entry;
            entry.request = PlannedRequest(planned);
            entry.request->fetchedAhead = true;
            entry.request->bodyLimit = m_maxBytes;
            entry.request->budget = &m_budget;
            entry.key = RequestKey(*entry.request);
            entry.route = RouteKey(*entry.request);
            // Through a proxy the first request to each server goes alone: its answer settles
            // the proxy's scheme, and whether a login must be asked for before anything else
            // is sent. Direct ones only wait for the first connection to tell whether it takes
            // them all at once (PIPEWAIT).
            const bool secure = (planned.flags & INTERNET_FLAG_SECURE) != 0;
            const bool proxied = planned.accessType == INTERNET_OPEN_TYPE_PROXY ||
                                 (planned.accessType == INTERNET_OPEN_TYPE_PRECONFIG &&
                                  !EnvironmentProxy(secure).empty());
            entry.first =
                !proxied || std::find(routes.begin(), routes.end(), entry.route) == routes.end();
            if (entry.first)
                routes.push_back(entry.route);
            m_entries.push_back(std::move(entry));
        }
    }

    // Batch thread, under the lock.
    void Start(Entry& entry) {
        Request& request = *entry.request;
        if (MakeTransfer(request) && Curl().multi_add_handle(m_multi, request.easy) == CURLM_OK) {
            request.lastActivity = Clock::now();
            entry.state = State::Running;
            ++m_routes[entry.route].running;
            return;
        }
        entry.state = State::Gone;
    }

    // Under the lock: whether a waiting entry is started once its turn comes.
    bool WillStart(const Entry& entry) {
        return !m_stop && m_multi && (entry.first || (m_routes[entry.route].open && !m_halted));
    }

    // Batch thread, under the lock: starts the waiting entries whose turn has come, in the
    // order of the plan. Over HTTP/1.1 a route has at most as many transfers under way as it
    // has connections, so that its answers come in that order too: the products are checked
    // in it, and one answer left for last would hold up every product after it. A route whose
    // answers come over a protocol that multiplexes takes all of them at once.
    void Admit() {
        for (Entry& entry : m_entries) {
            if (entry.state != State::Waiting || !WillStart(entry))
                continue;
            const Route& route = m_routes[entry.route];
            if (route.multiplexed || route.running < kConnectionsPerHost)
                Start(entry);
        }
    }

    // Batch thread, under the lock: the rest of a first's route follow it.
    void Release(Entry& first) {
        first.released = true;
        m_routes[first.route].open = true;
        Admit();
    }

    // Batch thread: whether the rest of a running first's route may follow. They may once
    // its answer has come and asks for no login: the connection, its protocol and the proxy's
    // scheme are known then, even when the body is slow to follow.
    static bool Settled(const Request& request) {
        const long status = request.headStatus;
        return request.lastSentAnswered && !request.lastSentIsConnect && status >= 200 &&
               status != 401 && status != 407;
    }

    // Batch thread: the transfer has ended with result.
    void End(Entry& entry, CURLcode result) {
        Curl().multi_remove_handle(m_multi, entry.request->easy);
        entry.request->done = true;
        entry.request->result = result;
        std::lock_guard lock(m_lock);
        entry.state = State::Done;
        --m_routes[entry.route].running;
        if (entry.first && !entry.released) {
            const long status = entry.request->headStatus;
            // A login asked for is answered one request at a time, as the person sees it.
            if (status == 401 || status == 407)
                m_halted = true;
            Release(entry);
        }
        Admit();
        m_changed.notify_all();
    }

    // Batch thread: the limits a request sent on its own keeps in Drive and in its socket's
    // handshake.
    void Watch(Entry& entry, Clock::time_point now) {
        Request& request = *entry.request;
        if (!request.underWay && !request.sockets.empty()) {
            for (const curl_socket_t fd : request.sockets) {
                sockaddr_storage peer{};
                socklen_t length = sizeof peer;
                if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
                    request.underWay = true;
            }
            if (request.underWay) {
                request.lastActivity = now;
            } else if (now - *request.tcpStarted >=
                       std::chrono::milliseconds(request.tcpTimeoutMs)) {
                request.connectErrno = ETIMEDOUT;
                End(entry, CURLE_COULDNT_CONNECT);
                return;
            }
        }
        if (now >= m_deadline) {
            request.outOfTime = true;
            End(entry, CURLE_OPERATION_TIMEDOUT);
        } else if (request.underWay && now - request.lastActivity >=
                                           std::chrono::milliseconds(g_stallTimeoutMs.load())) {
            End(entry, CURLE_OPERATION_TIMEDOUT);
        }
    }

    void Run(const std::function<std::vector<PrefetchRequest>()>& plan) {
        const std::vector<PrefetchRequest> planned = plan();
        CURLM* multi = Curl().multi_init();
        {
            std::lock_guard lock(m_lock);
            Plan(planned);
            m_planned = true;
            m_multi = multi;
            if (m_multi && !m_stop) {
                // Six connections per server, as browsers keep, when it does not take many
                // requests on one.
                Curl().multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                                    static_cast<long>(kConnectionsPerHost));
                Curl().multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, 16L);
                Admit();
            }
            m_changed.notify_all();
        }
        if (!multi)
            return;
        for (;;) {
            int running = 0;
            if (Curl().multi_perform(multi, &running) != CURLM_OK)
                break;
            int queued = 0;
            while (CURLMsg* message = Curl().multi_info_read(multi, &queued)) {
                Request* request = nullptr;
                Curl().easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &request);
                if (message->msg == CURLMSG_DONE && request)
                    End(EntryOf(*request), message->data.result);
            }
            const Clock::time_point now = Clock::now();
            // Two transfers under way on one connection: it carries them side by side.
            std::map<int, const std::string*> routeOfPort;
            for (Entry& entry : m_entries) {
                if (StateOf(entry) != State::Running)
                    continue;
                Watch(entry, now);
                // One that ended is the taker's from now on; one under way only this thread's.
                if (StateOf(entry) != State::Running)
                    continue;
                const Request& request = *entry.request;
                bool shared = false;
                if (request.localPort != 0) {
                    const auto [known, added] =
                        routeOfPort.try_emplace(request.localPort, &entry.route);
                    shared = !added && *known->second == entry.route;
                }
                if (request.headMultiplexed || shared) {
                    std::lock_guard lock(m_lock);
                    if (!m_routes[entry.route].multiplexed) {
                        m_routes[entry.route].multiplexed = true;
                        Admit();
                    }
                }
                if (entry.first && !entry.released && Settled(request)) {
                    std::lock_guard lock(m_lock);
                    Release(entry);
                }
            }
            {
                // Counted after the walk: a transfer started during it may stand before the
                // entry that started it.
                std::lock_guard lock(m_lock);
                const bool any =
                    std::any_of(m_entries.begin(), m_entries.end(),
                                [](const Entry& e) { return e.state == State::Running; });
                if (m_stop || !any)
                    break;
            }
            Curl().multi_poll(multi, nullptr, 0, 100, nullptr);
        }
        std::lock_guard lock(m_lock);
        for (Entry& entry : m_entries) {
            if (entry.state == State::Running) {
                Curl().multi_remove_handle(multi, entry.request->easy);
                entry.state = State::Gone;
            }
        }
        m_multi = nullptr;
        Curl().multi_cleanup(multi);
        m_changed.notify_all();
    }

    Entry& EntryOf(const Request& request) {
        std::lock_guard lock(m_lock); // Take may be moving another entry's request out
        for (Entry& entry : m_entries)
            if (entry.request.get() == &request)
                return entry;
        std::abort(); // every transfer of the multi handle is an entry's
    }

    State StateOf(const Entry& entry) {
        std::lock_guard lock(m_lock);
        return entry.state;
    }

    const int64_t m_maxBytes;
    const Clock::time_point m_deadline;
    std::atomic<int64_t> m_budget{32 * 1024 * 1024};
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Entry> m_entries;
    bool m_planned = false;
    // Also atomic, beside its lock: the destructor's store is the one hand-over to the batch's
    // thread that a race detector has been seen to miss through the lock alone.
    std::atomic<bool> m_stop{false};
    bool m_halted = false;
    // What is known of each route, under the lock.
    struct Route {
        int running = 0;          // transfers under way
        bool open = false;        // its first has been released
        bool multiplexed = false; // its answers come over HTTP/2 or later
    };
    std::map<std::string, Route> m_routes;
    CURLM* m_multi = nullptr;
    std::thread m_thread; // last: it starts once everything else is in place
};

std::mutex g_batchLock;
std::shared_ptr<Batch> g_batch;

std::shared_ptr<Batch> CurrentBatch() {
    std::lock_guard lock(g_batchLock);
    return g_batch;
}

// Gives request the outcome of the same request fetched ahead, when there is one.
bool TakeFetchedAhead(Request& request) {
    const std::shared_ptr<Batch> batch = CurrentBatch();
    if (!batch)
        return false;
    std::unique_ptr<Request> fetched = batch->Take(RequestKey(request), request.cancel);
    if (!fetched)
        return false;
    Request& from = *fetched;
    request.url = from.url;
    std::swap(request.easy, from.easy);
    request.fetchedAhead = true;
    request.pending = std::move(from.pending);
    request.pendingPos = 0;
    request.done = true;
    request.result = from.result;
    request.lastSentIsConnect = from.lastSentIsConnect;
    request.lastSentAnswered = from.lastSentAnswered;
    request.headStatus = from.headStatus;
    request.headPhrase = std::move(from.headPhrase);
    request.connectErrno = from.connectErrno;
    request.headProxyError = std::move(from.headProxyError);
    request.offeredSchemes = from.offeredSchemes;
    request.headEncoded = from.headEncoded;
    request.encoded = from.encoded;
    request.proxyKey = std::move(from.proxyKey);
    request.proxy = std::move(from.proxy);
    request.proxyUserName = std::move(from.proxyUserName);
    request.proxyPassword = std::move(from.proxyPassword);
    request.caFile = std::move(from.caFile);
    // The handle's strings and callbacks must not point into the object about to go.
    Curl().easy_setopt(request.easy, CURLOPT_WRITEDATA, &request);
    Curl().easy_setopt(request.easy, CURLOPT_HEADERDATA, &request);
    Curl().easy_setopt(request.easy, CURLOPT_DEBUGDATA, &request);
    Curl().easy_setopt(request.easy, CURLOPT_OPENSOCKETDATA, &request);
    Curl().easy_setopt(request.easy, CURLOPT_PREREQDATA, &request);
    Curl().easy_setopt(request.easy, CURLOPT_PRIVATE, &request);
    return true;
}
} // namespace

void CurlHttpClient::StartPrefetch(std::function<std::vector<PrefetchRequest>()> plan,
                                   int64_t maxBytes, std::chrono::milliseconds deadline) {
    EndPrefetch();
    auto batch = std::make_shared<Batch>(std::move(plan), maxBytes, deadline);
    std::lock_guard lock(g_batchLock);
    g_batch = std::move(batch);
}

void CurlHttpClient::EndPrefetch() {
    std::shared_ptr<Batch> batch;
    {
        std::lock_guard lock(g_batchLock);
        batch.swap(g_batch);
    }
}

bool CurlHttpClient::HttpSendRequestW(HINTERNET handle) {
    auto* request = As<Request>(handle);
    if (!request || request->easy)
        return false;
    if (TakeFetchedAhead(*request))
        return SendOutcome(*request);
    if (!MakeTransfer(*request))
        return false;
    CURLM* multi = request->connection->session->Multi();
    if (!multi || Curl().multi_add_handle(multi, request->easy) != CURLM_OK) {
        Curl().easy_cleanup(request->easy);
        request->easy = nullptr;
        return false;
    }
    Drive(*request);
    return SendOutcome(*request);
}

bool CurlHttpClient::HttpQueryInfoW(HINTERNET handle, uint32_t infoLevel, int64_t& number) {
    auto* request = As<Request>(handle);
    if (!request || !request->easy || (infoLevel & HTTP_QUERY_FLAG_NUMBER) == 0)
        return false;
    switch (infoLevel & ~HTTP_QUERY_FLAG_NUMBER) {
    case HTTP_QUERY_STATUS_CODE: {
        if (request->connectStatus != 0) {
            number = request->connectStatus;
            return true;
        }
        long status = 0;
        if (Curl().easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
            status == 0)
            return false;
        number = status;
        return true;
    }
    case HTTP_QUERY_CONTENT_LENGTH: {
        curl_off_t length = -1;
        // The header counts the encoded bytes; the reader gets them decoded.
        if (request->connectStatus != 0 || request->encoded ||
            Curl().easy_getinfo(request->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) !=
                CURLE_OK ||
            length < 0)
            return false;
        number = length;
        return true;
    }
    default:
        return false;
    }
}

bool CurlHttpClient::InternetReadFile(HINTERNET handle, char* buffer, uint32_t size,
                                      uint32_t& count) {
    count = 0;
    auto* request = As<Request>(handle);
    if (!request || !request->easy || request->connectStatus != 0)
        return false;
    if (!request->HasPending() && !request->done)
        Drive(*request);
    if (request->HasPending()) {
        const size_t available = request->pending.size() - request->pendingPos;
        count = static_cast<uint32_t>(std::min<size_t>(available, size));
        std::memcpy(buffer, request->pending.data() + request->pendingPos, count);
        request->pendingPos += count;
        return true;
    }
    return request->result == CURLE_OK;
}

bool CurlHttpClient::InternetQueryOptionW(HINTERNET, uint32_t option,
                                          InternetVersionInfo& version) {
    const curl_version_info_data* info = Curl().version_info(CURLVERSION_NOW);
    if (option != INTERNET_OPTION_VERSION || !info)
        return false;
    version.major = (info->version_num >> 16) & 0xff;
    version.minor = (info->version_num >> 8) & 0xff;
    return true;
}

bool CurlHttpClient::InternetQueryOptionW(HINTERNET, uint32_t option, uint32_t subOption,
                                          CAtlString& text) {
    if (option != INTERNET_OPTION_PER_CONNECTION_OPTION ||
        subOption != INTERNET_PER_CONN_PROXY_SERVER)
        return false;
    text.clear();
    // The variables libcurl itself reads for a system-configured session, in its order of
    // preference for plain HTTP, then for HTTPS, then for every scheme.
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        const char* value = std::getenv(name);
        if (!value || !*value)
            continue;
        CAtlString address = QString::fromLocal8Bit(value).trimmed();
        if (!address.contains(QStringLiteral("://")))
            address.prepend(QStringLiteral("http://"));
        const QUrl url(address);
        if (url.host().isEmpty())
            continue;
        // Scheme and credentials are dropped: only where the proxy is matters to the caller.
        // A proxy named without a port is reached on libcurl's default proxy port.
        text = HostForUrl(url.host()) + u':' + QString::number(url.port(1080));
        break;
    }
    return true;
}

bool CurlHttpClient::InternetCloseHandle(HINTERNET handle) {
    if (!handle)
        return false;
    delete handle;
    return true;
}

bool CurlHttpClient::HttpQueryInfoW(HINTERNET handle, uint32_t infoLevel, CAtlString& text) {
    auto* request = As<Request>(handle);
    if (!request || !request->easy)
        return false;
    if (infoLevel == kQueryProxyError) {
        // An error page that a server sends on a direct request is the server's own (a site
        // behind a caching squid sends them too).
        const bool proxied = !request->proxy.empty() || !request->proxyKey.empty();
        text = QString::fromLatin1(request->connectStatus != 0 ? request->connectProxyError
                                   : proxied                   ? request->headProxyError
                                                               : std::string());
        return true;
    }
    if (infoLevel == kQueryCertificateExpiry) {
        text = QString::fromLatin1(request->certificateExpiry);
        return !text.isEmpty();
    }
    if (infoLevel != HTTP_QUERY_STATUS_TEXT)
        return false;
    // A redirect's phrase stays with its own head: what counts is the last answer's.
    text = QString::fromLatin1(request->connectStatus != 0 ? request->connectStatusPhrase
                                                           : request->headPhrase);
    return true;
}

uint32_t CurlHttpClient::GetLastRequestError(HINTERNET handle) {
    const auto* request = As<Request>(handle);
    if (!request || !request->done)
        return 0;
    switch (request->result) {
    case CURLE_OK:
        return 0;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
        // The handshake is made in OpenConnectedSocket, within the caller's limit; one that
        // ran out there is a time-out, not a refusal.
        return request->connectErrno == ETIMEDOUT ? kErrorConnectTimeout
                                                  : ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
        return ERROR_INTERNET_TIMEOUT;
    case CURLE_ABORTED_BY_CALLBACK:
        return ERROR_INTERNET_OPERATION_CANCELLED;
    case CURLE_PEER_FAILED_VERIFICATION: {
        // The library's first complaint about the chain. None means the chain was good and
        // libcurl's own check of the name failed, which leaves the library's result at 0 or at
        // 1, "unspecified".
        long error = request->certificateError;
        if (error == 0 &&
            Curl().easy_getinfo(request->easy, CURLINFO_SSL_VERIFYRESULT, &error) != CURLE_OK)
            error = -1;
        if (error == kCertificateExpired)
            return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
        if (error == 0 || error == kUnspecified || error == kHostnameMismatch ||
            error == kIpAddressMismatch)
            return ERROR_INTERNET_SEC_CERT_CN_INVALID;
        if (std::find(kIssuerUnknown.begin(), kIssuerUnknown.end(), error) != kIssuerUnknown.end())
            return ERROR_INTERNET_INVALID_CA;
        return ERROR_INTERNET_SEC_INVALID_CERT;
    }
    case CURLE_SSL_CONNECT_ERROR:
        return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        return ERROR_INTERNET_CONNECTION_ABORTED;
    default:
        return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

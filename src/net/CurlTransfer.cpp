#include "net/CurlTransfer.h"

#include "net/CurlCertificate.h"
#include "net/CurlPrefetch.h"
#include "net/CurlRoute.h"

#include <QStringList>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>

using namespace WinInet;

namespace CurlClient {
std::atomic<int64_t> g_stallTimeoutMs{60000};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

CAtlString HostForUrl(const CAtlString& host) {
    return host.contains(u':') && !host.startsWith(u'[') ? u'[' + host + u']' : host;
}

namespace {
// The time a new connection may take beyond its TCP handshake: name lookup, a proxy's CONNECT
// and the TLS handshake, each of which a slow corporate proxy can stretch well past the
// 2 s that the TCP handshake is allowed.
constexpr long kSetupTimeoutMs = 30000;

// True when line is the header name; value is then what follows the colon.
bool HeaderValue(std::string_view line, std::string_view name, std::string_view& value) {
    if (!StartsWithNoCase(line, name) || line.substr(name.size(), 1) != ":")
        return false;
    value = line.substr(name.size() + 1);
    value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
    return true;
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

void Finish(Request& request, CURLcode result) {
    request.done = true;
    request.result = result;
}
} // namespace

void Drive(Request& request) {
    CURLM* multi = request.connection->session->multi;
    request.lastActivity = Clock::now();
    const CertificateWatch watch(request);
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

std::string RequestUrl(const Request& request) {
    const ConnectionState& connection = *request.connection;
    const bool secure = (request.flags & INTERNET_FLAG_SECURE) != 0;
    return (QLatin1String(secure ? "https://" : "http://") + HostForUrl(connection.server) + u':' +
            QString::number(connection.port) + request.object)
        .toStdString();
}

std::string RequestKey(const Request& request) {
    const ConnectionState& connection = *request.connection;
    const SessionState& session = *connection.session;
    return QStringList{QString::number(session.accessType),
                       session.proxyList,
                       session.agent,
                       QString::fromStdString(RequestUrl(request)),
                       connection.proxyUserName,
                       connection.proxyPassword,
                       QString::number(connection.proxyNoBasic)}
        .join(QChar(0))
        .toStdString();
}

std::string RouteKey(const Request& request) {
    Request route;
    route.connection = request.connection;
    route.flags = request.flags;
    return RequestKey(route);
}

bool MakeTransfer(Request& request) {
    const ConnectionState& connection = *request.connection;
    const SessionState& session = *connection.session;
    const bool secure = (request.flags & INTERNET_FLAG_SECURE) != 0;
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
        WatchFetchedAhead(request);
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

    SetRoute(request);
    // Corporate proxies that inspect TLS, and the tests, bring their own trust anchors.
    if (const char* caFile = std::getenv("SSL_CERT_FILE"); caFile && *caFile) {
        request.caFile = caFile;
        Curl().easy_setopt(easy, CURLOPT_CAINFO, request.caFile.c_str());
        Curl().easy_setopt(easy, CURLOPT_PROXY_CAINFO, request.caFile.c_str());
    }

    Curl().easy_setopt(easy, CURLOPT_SHARE, SharedCachesHandle());
    WatchCertificates(easy);
    return true;
}

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
} // namespace CurlClient

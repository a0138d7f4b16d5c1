#pragma once

// The inside of the libcurl client, shared by its files and by nothing else: the state behind
// each handle, and the transfer of one request (made, driven, and its outcome read). The
// handle calls are in CurlHttpClient.cpp, the proxy route and login in CurlRoute.cpp, the
// fetch-ahead batch in CurlPrefetch.cpp and the certificate watch in CurlCertificate.cpp.

#include "net/CurlLibrary.h"
#include "net/HttpClient.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CurlClient {
using Clock = std::chrono::steady_clock;

// Loaded by the time any client exists (Create makes sure of it).
inline const CurlLibrary& Curl() {
    return *LoadCurlLibrary();
}

// The stall limit of every transfer (CurlHttpClient::SetStallTimeout), in milliseconds.
extern std::atomic<int64_t> g_stallTimeoutMs;

bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// A host as it stands in an address: an IPv6 literal in brackets.
CAtlString HostForUrl(const CAtlString& host);

struct SessionState {
    uint32_t accessType = WinInet::INTERNET_OPEN_TYPE_PRECONFIG;
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
    bool proxyNoBasic = false; // kOptionProxyNoBasic
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

std::string RequestUrl(const Request& request);
// Two requests with the same key would be sent alike: same route, login, agent and address.
std::string RequestKey(const Request& request);
// The same key without the path: requests that share a connection and a proxy's verdict.
std::string RouteKey(const Request& request);

// Everything of the request's transfer but starting it.
bool MakeTransfer(Request& request);
// Runs the transfer until a body chunk is waiting or the transfer has ended.
void Drive(Request& request);
// What HttpSendRequestW answers once the transfer has its response head or has ended.
bool SendOutcome(Request& request);
} // namespace CurlClient

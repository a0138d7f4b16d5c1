#pragma once

#include "net/HttpClient.h"

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

// The first request that a download will send, as the engine opens it: the session's access
// type and proxy list, the server, the path, the flags and the proxy login.
struct PrefetchRequest {
    uint32_t accessType = WinInet::INTERNET_OPEN_TYPE_PRECONFIG;
    CAtlString proxyList;
    CAtlString server;
    uint16_t port = 0;
    CAtlString object;
    uint32_t flags = 0;
    CAtlString proxyUserName;
    CAtlString proxyPassword;
    bool proxyNoBasic = false;     // kOptionProxyNoBasic
    uint32_t connectTimeoutMs = 0; // INTERNET_OPTION_CONNECT_TIMEOUT; 0: the client's own
};

// The HTTP client on libcurl. Each request streams its body: libcurl's transfer is paused
// while a received chunk waits to be read, so memory stays bounded whatever the body size.
// Direct sessions ignore the proxy environment; system-configured ones follow http_proxy,
// https_proxy and no_proxy; proxy lists send HTTPS through CONNECT. Peers are verified against
// the system certificate store, or the bundle named by SSL_CERT_FILE. Redirects are followed
// (at most 10) but never from HTTPS to plain HTTP. Connections stay open after a request and
// serve the next one to the same server by the same route and proxy login, in any client of
// the process; the connect time-out bounds the TCP handshake with the server or proxy, and
// name lookup, a proxy tunnel and the TLS handshake have 30 s more.
class CurlHttpClient : public IHttpClient {
public:
    // Loads libcurl on first use; null when it cannot be loaded.
    static std::unique_ptr<CurlHttpClient> Create();

    HINTERNET InternetOpenW(const CAtlString& agent, uint32_t accessType,
                            const CAtlString& proxyList, const CAtlString& bypassList,
                            uint32_t flags) override;
    HINTERNET InternetConnectW(HINTERNET session, const CAtlString& server, uint16_t port,
                               uint32_t service) override;
    bool InternetSetOptionW(HINTERNET handle, uint32_t option, uint32_t value) override;
    bool InternetSetOptionW(HINTERNET handle, uint32_t option, const CAtlString& text) override;
    HINTERNET HttpOpenRequestW(HINTERNET connection, const CAtlString& verb,
                               const CAtlString& object, const CAtlString& version,
                               uint32_t flags) override;
    bool HttpSendRequestW(HINTERNET request) override;
    bool HttpQueryInfoW(HINTERNET request, uint32_t infoLevel, int64_t& number) override;
    bool InternetReadFile(HINTERNET request, char* buffer, uint32_t size, uint32_t& count) override;
    bool InternetQueryOptionW(HINTERNET handle, uint32_t option,
                              InternetVersionInfo& version) override;
    bool InternetQueryOptionW(HINTERNET handle, uint32_t option, uint32_t subOption,
                              CAtlString& text) override;
    bool InternetCloseHandle(HINTERNET handle) override;
    bool HttpQueryInfoW(HINTERNET request, uint32_t infoLevel, CAtlString& text) override;
    uint32_t GetLastRequestError(HINTERNET request) override;
    void SetCancelFlag(const std::atomic<bool>* flag) override { m_cancel = flag; }

    // A transfer that receives no byte for this long fails, so that a server that stops
    // sending cannot hold a download forever. 60 s unless lowered (tests do); applies to
    // every client in the process from the next wait on.
    static void SetStallTimeout(std::chrono::milliseconds limit);
    static std::chrono::milliseconds StallTimeout();

    // Fetches the requests that plan returns all at once, on one thread of its own with one
    // multi handle: HTTP/2 streams over one connection where the server offers it, otherwise
    // at most 8 connections per server. plan runs first on that thread (it may ask the
    // desktop's proxy configuration). Through a proxy, the first request to each server goes
    // alone, so that the proxy's scheme and its verdict on the login are known before the
    // rest follow; when its answer asks for a login (401 or 407), nothing more is started.
    // Each outcome waits, its body in memory (within maxBytes, and 32 MiB for the whole
    // batch), for an HttpSendRequestW of this process with the same session, server, path,
    // flags and login, which takes it as its own answer instead of sending; one that has not
    // arrived yet is waited for. Outcomes whose wording needs what only a request sent on its
    // own can see (a refused certificate), or that ran out of the batch's own time or memory,
    // are not handed out: the request is sent as usual. Replaces an earlier batch.
    static void StartPrefetch(std::function<std::vector<PrefetchRequest>()> plan, int64_t maxBytes,
                              std::chrono::milliseconds deadline);
    // Ends the batch: transfers under way stop, and outcomes nobody took are dropped. Any
    // thread; returns at once when there is none.
    static void EndPrefetch();
    // Whether the outcome of planned, fetched ahead, has arrived as a success (2xx) that
    // HttpSendRequestW would hand out: a download whose first request it is then sends
    // nothing and waits for nothing. Any thread.
    static bool FetchedAheadSucceeded(const PrefetchRequest& planned);
    // Whether a batch started by StartPrefetch lives. Any thread.
    static bool Prefetching();
    // The longest the batch's thread sleeps on its sockets when its last round moved nothing;
    // libcurl's own timers and the batch's limits wake it sooner. 100 ms unless changed
    // (tests raise it, so that a batch that sleeps through answers already read is caught).
    static void SetPrefetchIdleWait(std::chrono::milliseconds wait);
    static std::chrono::milliseconds PrefetchIdleWait();

protected:
    // For a derived client: it must call Create once first, which loads libcurl.
    CurlHttpClient() = default;

private:
    const std::atomic<bool>* m_cancel = nullptr;
};

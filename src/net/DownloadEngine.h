#pragma once

#include "net/CurlHttpClient.h"
#include "net/DownloadFailure.h"
#include "net/HttpClient.h"
#include "net/QtDownloaderBase.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

#include <QStringList>

struct EngineRoute;
class SystemProxyAnswer;

// COM-style result codes of DoDownload.
constexpr int32_t S_OK = 0;
constexpr int32_t E_FAIL = static_cast<int32_t>(0x80004005u);

// Fetches one URL with a GET request and writes the body to a file. One object serves one
// DoDownload, which runs on the worker thread of its QtDownloaderBase; failures, a declined
// credentials request and progress are reported through the base class's signals.
class CDownloader : public QtDownloaderBase {
public:
    // Uses the libcurl client; without libcurl every download fails as the Windows library's
    // absence would.
    CDownloader();
    // Uses the given client (for tests that need to see what the engine asks of it).
    explicit CDownloader(std::unique_ptr<IHttpClient> client);
    ~CDownloader() override;

    int32_t DoDownload(const CAtlString& url, const CAtlString& file) override;

    // The first request that a download of url with info's settings sends, for fetching it
    // ahead (CurlHttpClient::StartPrefetch); none when the settings leave nothing to try.
    // Asks info's system proxy configuration when the mode needs it. Any thread.
    static std::optional<PrefetchRequest> FirstRequest(const CAtlString& url,
                                                       const ConnectionInfo& info);

    // The steps of DoDownload; public so that each can be checked on its own.
    // OpenRequest tries the routes in their order (RouteOf in the source: the run's own
    // proxy; else direct, then the desktop's, a script's or the environment's proxy) until
    // one answers, and answers a proxy's demand for a login on the way.
    bool OpenRequest(const CAtlString& url);
    bool OpenSession(const CAtlString& server, uint16_t port, bool direct,
                     const CAtlString& proxyHost, int32_t proxyPort, HINTERNET& session,
                     HINTERNET& connection, CAtlString& error);
    bool CheckWinInet(CAtlString& error);
    bool QueryProxy(CAtlString& host, int32_t& port);
    void CloseHandles();

    // Why the last DoDownload failed; None after a success. Read it once DoDownload has
    // returned (after RunDownload, on the calling thread).
    const DownloadFailure& Failure() const { return m_failure; }
    // The connection mode in which the last DoDownload had an answer from its server or the
    // proxy on the way (whatever the status); -1 when no mode did. Read it as Failure.
    int32_t ReachedMode() const { return m_reachedMode; }
    // The routes the last DoDownload took, in order, as -verbose names them: "direct", or
    // "proxy HOST:PORT (SETTING)" with the setting that named it. Read it as Failure.
    const QStringList& Routes() const { return m_routes; }

private:
    // What became of one route: its answer came, it failed for good, the next mode gets its
    // chance, or the request goes again on it with a new login.
    enum class RouteOutcome { Answered, Failed, MoveOn, Retry };
    // The steps of OpenRequest.
    bool BeginRequest(const CAtlString& url);
    RouteOutcome TryRoute(int32_t mode, const EngineRoute& route,
                          SystemProxyAnswer& systemProxyFor);
    void NameProxy(int32_t mode, const EngineRoute& route);
    void SetProxyLogin(const CAtlString& user, const CAtlString& password);
    RouteOutcome SendFailed(int32_t mode, const EngineRoute& route,
                            SystemProxyAnswer& systemProxyFor);
    RouteOutcome AnswerLoginDemand(int32_t mode, int64_t status);

    void Fail(DownloadFailure::Kind kind, const CAtlString& host = {},
              const CAtlString& status = {});
    // The failure the client reports for the request: the way to the server or proxy.
    void FailRequest(DownloadFailure::Kind fallback);
    // A status of 300 or above with the reason phrase of the request under way; an answer
    // that the proxy made itself is the proxy's failure, not the server's.
    DownloadFailure StatusFailure(int64_t status);
    // The proxy under way as "host:port" (the host alone when no port is known); empty when
    // the request goes direct.
    CAtlString ProxyName() const;

    std::unique_ptr<IHttpClient> m_client;
    HINTERNET m_session = nullptr;
    HINTERNET m_connection = nullptr;
    HINTERNET m_request = nullptr;
    FILE* m_file = nullptr;
    DownloadFailure m_failure;
    CAtlString m_server; // of the request under way
    uint16_t m_port = 0;
    CAtlString m_object;
    uint32_t m_flags = 0;
    CAtlString m_sentUser; // the proxy login on the connection under way
    CAtlString m_sentPassword;
    bool m_serverAsked = false; // a server's own 401 has been answered with a login
    DownloadFailure m_movedOn;  // why an earlier mode was left
    QStringList m_routes;
    CAtlString m_proxy; // the proxy it goes through; empty when direct or unknown
    int32_t m_proxyPort = 0;
    int32_t m_reachedMode = -1;
    std::chrono::steady_clock::time_point m_deadline; // of the download under way
};

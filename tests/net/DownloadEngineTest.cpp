#include "NetTestSupport.h"
#include "TestServers.h"

#include "net/ConnectionInfo.h"
#include "net/DownloadEngine.h"
#include "net/Downloader.h"
#include "net/ProxyHandlerBase.h"

#include <gtest/gtest.h>

namespace {
// A client that only records how the engine opens sessions and answers the version and proxy
// queries as told; it cannot connect, which no test below needs.
class RecordingClient : public IHttpClient {
public:
    struct Script {
        bool versionOk = true;
        InternetVersionInfo version{7, 88};
        bool proxyQueryOk = true;
        CAtlString proxyText;
    };
    RecordingClient(Script script, QStringList& sessions)
        : m_script(script), m_sessions(sessions) {}

    HINTERNET InternetOpenW(const CAtlString&, uint32_t accessType, const CAtlString& proxyList,
                            const CAtlString& bypassList, uint32_t) override {
        m_sessions << QStringLiteral("%1|%2|%3").arg(accessType).arg(proxyList, bypassList);
        return nullptr;
    }
    HINTERNET InternetConnectW(HINTERNET, const CAtlString&, uint16_t, uint32_t) override {
        return nullptr;
    }
    bool InternetSetOptionW(HINTERNET, uint32_t, uint32_t) override { return false; }
    bool InternetSetOptionW(HINTERNET, uint32_t, const CAtlString&) override { return false; }
    HINTERNET HttpOpenRequestW(HINTERNET, const CAtlString&, const CAtlString&, const CAtlString&,
                               uint32_t) override {
        return nullptr;
    }
    bool HttpSendRequestW(HINTERNET) override { return false; }
    bool HttpQueryInfoW(HINTERNET, uint32_t, int64_t&) override { return false; }
    bool InternetReadFile(HINTERNET, char*, uint32_t, uint32_t&) override { return false; }
    bool InternetQueryOptionW(HINTERNET, uint32_t, InternetVersionInfo& version) override {
        version = m_script.version;
        return m_script.versionOk;
    }
    bool InternetQueryOptionW(HINTERNET, uint32_t, uint32_t, CAtlString& text) override {
        text = m_script.proxyText;
        return m_script.proxyQueryOk;
    }
    bool InternetCloseHandle(HINTERNET) override { return true; }

private:
    Script m_script;
    QStringList& m_sessions;
};

TEST(CDownloader, OpensSessionsWithTheProxyListForBothSchemes) {
    struct Case {
        const char* name;
        QString proxyHost;
        int32_t proxyPort;
        bool direct;
        QString expected;
    };
    const Case cases[] = {
        {"direct", {}, 0, true, "1||"},
        {"system configuration", {}, 0, false, "0||"},
        {"explicit proxy", "proxy", 8080, false,
         "3|http=http://proxy:8080 https=http://proxy:8080|"},
        // A host from the command line may carry the port; no ":0" may follow it.
        {"explicit proxy with port in host", "proxy:8080", 0, false,
         "3|http=http://proxy:8080 https=http://proxy:8080|"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList sessions;
        CDownloader engine(std::make_unique<RecordingClient>(RecordingClient::Script{}, sessions));
        HINTERNET session = nullptr;
        HINTERNET connection = nullptr;
        CAtlString error;
        EXPECT_FALSE(engine.OpenSession(QStringLiteral("server"), 80, c.direct, c.proxyHost,
                                        c.proxyPort, session, connection, error));
        EXPECT_EQ(error, QStringLiteral("Failed to initialize WinInet"));
        EXPECT_EQ(sessions, QStringList{c.expected});
    }
}

TEST(CDownloader, ReadsSystemProxyTextAsHostAndPort) {
    struct Case {
        const char* name;
        bool queryOk;
        QString text;
        QString host;
        int32_t port;
    };
    // Host and port start as "old":99 so that untouched values show.
    const Case cases[] = {
        {"host and port", true, "proxy:3128", "proxy", 3128},
        {"port only", true, "3128", "", 3128},
        {"name only", true, "proxy", "", 0},
        {"no proxy", true, "", "", 99},
        {"bracketed IPv6", true, "[::1]:8080", "[::1]", 8080},
        {"query failed", false, "proxy:1", "old", 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList sessions;
        RecordingClient::Script script;
        script.proxyQueryOk = c.queryOk;
        script.proxyText = c.text;
        CDownloader engine(std::make_unique<RecordingClient>(script, sessions));
        CAtlString host = QStringLiteral("old");
        int32_t port = 99;
        EXPECT_EQ(engine.QueryProxy(host, port), c.queryOk);
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
    }
}

TEST(CDownloader, RejectsUnusableHttpClient) {
    const std::pair<RecordingClient::Script, bool> cases[] = {
        {RecordingClient::Script{}, true},
        {RecordingClient::Script{true, {1, 0}, true, {}}, false},
        {RecordingClient::Script{false, {7, 0}, true, {}}, false},
    };
    for (const auto& [script, usable] : cases) {
        QStringList sessions;
        CDownloader engine(std::make_unique<RecordingClient>(script, sessions));
        CAtlString error;
        EXPECT_EQ(engine.CheckWinInet(error), usable);
        EXPECT_EQ(error, usable
                             ? QString()
                             : QStringLiteral("Minimum Internet Explorer version required is 4.0"));
    }
}

// A proxy that refuses every credential must not keep the download going: stored credentials
// are re-sent a bounded number of times, then treated as absent.
TEST(CDownloader, StopsResendingStoredCredentialsThatKeepBeingRefused) {
    TestHttpServer refusingProxy(TestHttpServer::Mode::Proxy407);
    ASSERT_TRUE(refusingProxy.IsRunning());
    auto handler = std::make_shared<ProxyHandlerBase>();
    handler->SetOverrideProxy(QStringLiteral("127.0.0.1:%1").arg(refusingProxy.Port()));
    handler->userName = QStringLiteral("alice");
    handler->password = QStringLiteral("wrong");
    Downloader downloader;
    downloader.SetProxyHandler(handler);
    Reports reports;
    Observe(downloader, reports);

    for (const char* url : {"http://127.0.0.1:9/a.xml", "https://127.0.0.1:9/a.xml"}) {
        SCOPED_TRACE(url);
        const int before = refusingProxy.Requests().filter(QStringLiteral("auth=1")).size();
        EXPECT_TRUE(downloader.Download(QString::fromLatin1(url), 1, 0).isEmpty());
        const int sent = refusingProxy.Requests().filter(QStringLiteral("auth=1")).size() - before;
        // The engine's own attempts, then the handler's single hand-out of the same
        // credentials; after that the (silent) handler declines.
        EXPECT_EQ(sent, CDownloader::kStoredCredentialAttempts + (before == 0 ? 1 : 0));
        EXPECT_TRUE(reports.failures.isEmpty());
    }
    EXPECT_EQ(reports.canceled, 2);
}
} // namespace

#include "NetTestSupport.h"
#include "TestServers.h"

#include "net/DownloadEngine.h"
#include "net/ProxyHandlerBase.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {
// The credentials dialog shows the system proxy as the engine reads it: host and port only.
TEST(CDownloader, ReadsSystemProxyFromEnvironmentAsHostAndPort) {
    struct Case {
        const char* variable;
        const char* value;
        QString host;
        int32_t port; // starts as 99, which shows when the port is left alone
    };
    const Case cases[] = {
        {"http_proxy", "http://user:pw@proxy.corp:3128/", "proxy.corp", 3128},
        {"https_proxy", "proxy.corp:8080", "proxy.corp", 8080},
        {"http_proxy", "proxy.corp", "proxy.corp", 1080}, // libcurl's default proxy port
        {"http_proxy", "http://[::1]:8080", "[::1]", 8080},
        {"http_proxy", "", "", 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ClearProxyEnvironment();
        ::setenv(c.variable, c.value, 1);
        CDownloader engine;
        CAtlString host = QStringLiteral("old");
        int32_t port = 99;
        EXPECT_TRUE(engine.QueryProxy(host, port));
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
    }
    ClearProxyEnvironment();
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

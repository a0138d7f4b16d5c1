#include "NetTestSupport.h"
#include "TestServers.h"

#include "net/CurlHttpClient.h"
#include "net/Downloader.h"
#include "net/ProxyHandlerBase.h"

#include "platform/FilePath.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

using namespace std::chrono_literals;

namespace {
class DownloaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.IsRunning()) << "python3 could not start the test HTTP server";
        RemoveLeftoverDownloads();
        downloader.SetProxyHandler(handler);
        Observe(downloader, reports);
    }
    void TearDown() override {
        CurlHttpClient::SetStallTimeout(60s);
        ClearProxyEnvironment();
    }

    CAtlString Fetch(const QString& path) { return downloader.Download(server.Url(path), 1, 0); }

    TestHttpServer server;
    std::shared_ptr<ProxyHandlerBase> handler = std::make_shared<ProxyHandlerBase>();
    Downloader downloader;
    Reports reports;
};

TEST_F(DownloaderTest, ReportsProgressAfterEveryChunkOfAtMost1024Bytes) {
    const QByteArray content = server.AddFile(QStringLiteral("info.xml"), 2500);
    const CAtlString path = Fetch(QStringLiteral("/info.xml"));
    ASSERT_FALSE(path.isEmpty());
    EXPECT_EQ(ReadDownloaded(path), content);
    const std::vector<std::pair<int, int>> expected{{1024, 2500}, {2048, 2500}, {2500, 2500}};
    EXPECT_EQ(reports.progress, expected);
    EXPECT_TRUE(reports.failures.isEmpty());
}

TEST_F(DownloaderTest, StreamsLargeBodiesIntact) {
    // Large enough to pass through many paused and resumed transfer chunks.
    const QByteArray content = server.AddFile(QStringLiteral("big.bin"), 3 * 1024 * 1024 + 17);
    const CAtlString path = Fetch(QStringLiteral("/big.bin"));
    ASSERT_FALSE(path.isEmpty());
    EXPECT_EQ(ReadDownloaded(path), content);
    ASSERT_FALSE(reports.progress.empty());
    EXPECT_EQ(reports.progress.back().first, content.size());
}

TEST_F(DownloaderTest, BodyWithoutLengthEndsWhenServerCloses) {
    const CAtlString path = Fetch(QStringLiteral("/__nolength"));
    ASSERT_FALSE(path.isEmpty());
    EXPECT_EQ(ReadDownloaded(path), QByteArray(3000, 'n'));
}

// Every way a download can fail: empty result, the reports a caller may see, and no file
// left behind in the temporary folder.
TEST_F(DownloaderTest, FailuresReturnNothingAndLeaveNoFile) {
    server.AddFile(QStringLiteral("empty.xml"), 0);
    const int refusedPort = FreePort();
    struct Case {
        const char* name;
        QString url;
        QStringList failures;
    };
    const Case cases[] = {
        {"not found", server.Url(QStringLiteral("/missing.xml")), {}},
        {"empty body", server.Url(QStringLiteral("/empty.xml")), {}},
        {"body shorter than its length", server.Url(QStringLiteral("/__truncated")), {}},
        {"connection refused",
         QStringLiteral("http://127.0.0.1:%1/a.xml").arg(refusedPort),
         {QStringLiteral("Send request failed")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reports = {};
        EXPECT_TRUE(downloader.Download(c.url, 1, 0).isEmpty());
        EXPECT_EQ(reports.failures, c.failures);
        EXPECT_EQ(reports.canceled, 0);
        EXPECT_EQ(LeftoverDownloads(), QStringList());
    }
}

TEST_F(DownloaderTest, ServerThatStopsSendingFailsAfterStallTimeout) {
    CurlHttpClient::SetStallTimeout(1s);
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(Fetch(QStringLiteral("/__stall")).isEmpty());
    // The server holds the connection for a minute; ending well before shows the limit hit.
    EXPECT_LT(clock.elapsed(), 30000);
    EXPECT_EQ(LeftoverDownloads(), QStringList());
}

TEST_F(DownloaderTest, TemporaryFileIsNamedAfterUrlExtension) {
    server.AddFile(QStringLiteral("b.xml"), 10);
    server.AddFile(QStringLiteral("noext"), 10);
    const CAtlString first = Fetch(QStringLiteral("/b.xml"));
    const CAtlString second = Fetch(QStringLiteral("/b.xml?x=1"));
    const CAtlString bare = Fetch(QStringLiteral("/noext"));
    const QString temp = FilePath(QDir::tempPath()).Text();
    EXPECT_EQ(first, temp + QStringLiteral("\\FLVTemp.xml"));
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral(R"(\\FLVTemp\(\d+\)\.xml$)")).match(second).hasMatch())
        << second.toStdString();
    EXPECT_EQ(bare, temp + QStringLiteral("\\FLVTemp"));
}

TEST_F(DownloaderTest, DirectConnectionIgnoresProxyEnvironment) {
    const QByteArray content = server.AddFile(QStringLiteral("a.xml"), 100);
    const QByteArray deadProxy = "http://127.0.0.1:" + QByteArray::number(FreePort());
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy"})
        ::setenv(name, deadProxy.constData(), 1);
    const CAtlString path = Fetch(QStringLiteral("/a.xml"));
    ASSERT_FALSE(path.isEmpty());
    EXPECT_EQ(ReadDownloaded(path), content);
}

TEST_F(DownloaderTest, SystemProxyModeUsesEnvironmentAndNamesThatProxyWhenAsking) {
    TinyProxy proxy(QStringLiteral("alice"), QStringLiteral("s3cret"));
    ASSERT_TRUE(proxy.IsRunning()) << "tinyproxy could not be started";
    server.AddFile(QStringLiteral("a.xml"), 100);
    downloader.SetProxyHandler(nullptr);
    downloader.connectionMode = ModeSystemProxy;
    ::setenv("http_proxy",
             QStringLiteral("http://127.0.0.1:%1/").arg(proxy.Port()).toUtf8().constData(), 1);
    CAtlString askedHost;
    int askedPort = 0;
    downloader.onProxyAuthRequired = [&](const CAtlString& host, int port, CAtlString& user,
                                         CAtlString& pass) {
        askedHost = host;
        askedPort = port;
        user = QStringLiteral("alice");
        pass = QStringLiteral("s3cret");
        return true;
    };
    EXPECT_FALSE(Fetch(QStringLiteral("/a.xml")).isEmpty());
    EXPECT_EQ(askedHost, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(askedPort, proxy.Port());
    EXPECT_TRUE(proxy.Log().contains(QStringLiteral("GET %1").arg(server.Url("/a.xml"))));
}

class HttpsDownloaderTest : public DownloaderTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(certificates.IsValid()) << "openssl could not make the test certificates";
        ASSERT_TRUE(tls->IsRunning());
        DownloaderTest::SetUp();
    }
    void TrustTestCa() {
        ::setenv("SSL_CERT_FILE", QFile::encodeName(certificates.CaFile()).constData(), 1);
    }

    TestCertificates certificates;
    std::unique_ptr<TestHttpServer> tls = std::make_unique<TestHttpServer>(
        TestHttpServer::Mode::Files, certificates.CertificateFile(), certificates.KeyFile());
};

TEST_F(HttpsDownloaderTest, VerifiesServerAgainstTheTrustedCertificates) {
    const QByteArray content = tls->AddFile(QStringLiteral("a.xml"), 3000);
    // Not trusted yet: the system store knows nothing of the test CA.
    EXPECT_TRUE(downloader.Download(tls->Url(QStringLiteral("/a.xml")), 1, 0).isEmpty());
    EXPECT_EQ(reports.failures, QStringList{QStringLiteral("Send request failed")});

    TrustTestCa();
    const CAtlString path = downloader.Download(tls->Url(QStringLiteral("/a.xml")), 1, 0);
    ASSERT_FALSE(path.isEmpty());
    EXPECT_EQ(ReadDownloaded(path), content);
}

TEST_F(HttpsDownloaderTest, RedirectsAreFollowedExceptFromHttpsToHttp) {
    TrustTestCa();
    server.AddFile(QStringLiteral("plain.xml"), 10);
    tls->AddFile(QStringLiteral("secure.xml"), 20);
    struct Case {
        const char* name;
        QString url;
        int expectedSize; // -1: the download must fail
    };
    const auto redirect = [](const TestHttpServer& from, const QString& to) {
        return from.Url(QStringLiteral("/__redirect?to=") + QUrl::toPercentEncoding(to));
    };
    const Case cases[] = {
        {"http to http", redirect(server, server.Url(QStringLiteral("/plain.xml"))), 10},
        {"http to https", redirect(server, tls->Url(QStringLiteral("/secure.xml"))), 20},
        {"https to https", redirect(*tls, tls->Url(QStringLiteral("/secure.xml"))), 20},
        {"https to http", redirect(*tls, server.Url(QStringLiteral("/plain.xml"))), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CAtlString path = downloader.Download(c.url, 1, 0);
        if (c.expectedSize < 0) {
            EXPECT_TRUE(path.isEmpty());
        } else {
            ASSERT_FALSE(path.isEmpty());
            EXPECT_EQ(ReadDownloaded(path).size(), c.expectedSize);
        }
    }
    // The refused redirect never reached the plain server.
    EXPECT_EQ(server.Requests().filter(QStringLiteral("/plain.xml")).size(), 1);
}
} // namespace

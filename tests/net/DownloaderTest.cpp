#include "TestServers.h"

#include "net/CurlHttpClient.h"
#include "net/DownloadEngine.h"
#include "net/ProxyHandlerBase.h"
#include "net/QtDownloaderBase.h"

#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>

using namespace std::chrono_literals;

namespace {
class DownloaderTest : public NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        for (const QString& name : LeftoverDownloads())
            QDir::temp().remove(name);
        SetHandler(std::make_shared<ProxyHandlerBase>());
    }
    void TearDown() override {
        CurlHttpClient::SetStallTimeout(60s);
        NetTest::TearDown();
    }
};

// Whole bodies in files named after the URL's extension, progress after every chunk of at
// most 1024 bytes, no proxy of the environment in a direct connection, and https verified
// against the test CA, also after a redirect.
TEST_F(DownloaderTest, DirectDownloadsArriveWholeWithProgress) {
    ::unsetenv("SSL_CERT_FILE"); // the test CA not yet trusted
    EXPECT_TRUE(downloader.Download(tls.Url("/info.xml"), 1, 0).isEmpty());
    EXPECT_EQ(reports.failures, QStringList{"Send request failed"});
    tls.TrustCa();
    // Large enough to pass through many paused and resumed transfer chunks.
    const int bigSize = 3 * 1024 * 1024 + 17;
    const QByteArray big = server.AddFile("big.bin", bigSize);
    const QByteArray deadProxy = "http://127.0.0.1:" + QByteArray::number(FreePort());
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy"})
        ::setenv(name, deadProxy.constData(), 1);
    const Progress smallProgress{{1024, 2500}, {2048, 2500}, {2500, 2500}};
    // URL, content, the pattern of the name after "FLVTemp" in the temporary folder, and the
    // progress reports (when only one is given, only the last is certain: the rest are paced or
    // follow a redirect).
    const std::tuple<QString, QByteArray, const char*, Progress> cases[] = {
        {server.Url("/info.xml"), content, R"(\.xml)", smallProgress},
        // The query names no file; the name is taken, so the new file gets a number.
        {server.Url("/info.xml?x=1"), content, R"(\(\d+\)\.xml)", smallProgress},
        {tls.Url("/info.xml"), content, R"(\(\d+\)\.xml)", smallProgress},
        {server.Url("/big.bin"), big, R"(\.bin)", {{bigSize, bigSize}}},
        // Compressed though nobody asked: saved as the document, its length unknown.
        {server.Url("/__gzip/info.xml"), content, R"(\(\d+\)\.xml)", {{2500, 0}}},
        // No length: the body ends when the server closes.
        {server.Url("/__nolength"), QByteArray(3000, 'n'), "", {{1024, 0}, {2048, 0}, {3000, 0}}},
        // "__redirect" has no extension either.
        {server.RedirectTo(tls.Url("/info.xml")), content, R"(\(\d+\))", {{2500, 2500}}},
        {tls.RedirectTo(tls.Url("/info.xml")), content, R"(\(\d+\))", {{2500, 2500}}},
    };
    const QString temp = QRegularExpression::escape(FilePath(QDir::tempPath()).Text() + u'\\');
    for (const auto& [url, content, file, progress] : cases) {
        SCOPED_TRACE(url.toStdString());
        reports = {};
        const CAtlString path = downloader.Download(url, 1, 0);
        const QRegularExpression name(QRegularExpression::anchoredPattern(temp + "FLVTemp" + file));
        EXPECT_TRUE(name.match(path).hasMatch()) << path.toStdString();
        EXPECT_EQ(ReadDownloaded(path), content);
        EXPECT_TRUE(reports.failures.isEmpty());
        const Progress& shown = reports.progress;
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(progress.size() == 1 ? Progress{shown.back()} : shown, progress);
    }
}

// Every way a direct download can fail: empty result, the reports a caller may see, and no
// file left behind in the temporary folder.
TEST_F(DownloaderTest, FailuresReturnNothingAndLeaveNoFile) {
    server.AddFile("empty.xml", 0);
    server.AddFile("plain.xml", 10);
    CurlHttpClient::SetStallTimeout(1s);
    const std::tuple<const char*, QString, QStringList> cases[] = {
        {"not found", server.Url("/missing.xml"), {}},
        {"empty body", server.Url("/empty.xml"), {}},
        {"body shorter than its length", server.Url("/__truncated"), {}},
        // The server holds the connection until the client leaves; without the stall limit
        // the download would hang until the test's time limit fails it.
        {"server stops sending", server.Url("/__stall"), {}},
        {"redirect from https to http", tls.RedirectTo(server.Url("/plain.xml")), {}},
        {"connection refused",
         QStringLiteral("http://127.0.0.1:%1/a.xml").arg(FreePort()),
         {"Send request failed"}},
    };
    for (const auto& [name, url, failures] : cases) {
        SCOPED_TRACE(name);
        reports = {};
        EXPECT_TRUE(downloader.Download(url, 1, 0).isEmpty());
        EXPECT_EQ(reports.failures, failures);
        EXPECT_EQ(reports.canceled, 0);
        EXPECT_EQ(LeftoverDownloads(), QStringList());
    }
    // The refused redirect never reached the plain server.
    EXPECT_EQ(server.Requests().filter("/plain.xml"), QStringList());
}

// Events flow while a download waits, so a window action may call in again: that call is
// refused, and the proxy settings of the running download stay what they were at its start.
TEST_F(DownloaderTest, RefusesADownloadAskedForWhileItsOwnRuns) {
    auto handler = std::make_shared<ProxyHandlerBase>();
    SetHandler(handler);
    std::optional<CAtlString> nested;
    downloader.onDataReadProgress = [&](int, int) {
        if (nested)
            return;
        handler->SetOverrideProxy(QStringLiteral("127.0.0.1:%1").arg(FreePort()));
        nested = downloader.Download(server.Url("/info.xml?nested"), 1, 0);
        EXPECT_TRUE(downloader.proxyHost.isEmpty()) << "the running download's settings changed";
    };
    const CAtlString path = downloader.Download(server.Url("/info.xml"), 1, 0);
    EXPECT_EQ(ReadDownloaded(path), content);
    ASSERT_TRUE(nested.has_value());
    EXPECT_TRUE(nested->isEmpty());
    EXPECT_EQ(server.Requests().filter("nested"), QStringList());
    // Once it has ended, the next download starts with the settings of its own time.
    downloader.Download(server.Url("/info.xml"), 1, 0);
    EXPECT_FALSE(downloader.proxyHost.isEmpty());
}

// Engine behaviour behind squid: a server's own 401 is asked about as a proxy's 407 would be,
// and a 407 from the server itself, with nobody to ask, moves the download on to the system's
// proxy (here the environment's), which it then passes with the stored login.
class CDownloaderTest : public SquidTest {};

TEST_F(CDownloaderTest, ChallengeInDirectDownloadAsksOrMovesOnToSystemProxy) {
    ::setenv("http_proxy",
             QStringLiteral("http://127.0.0.1:%1").arg(squid.Port()).toUtf8().constData(), 1);
    // Path, whether prompting is allowed, and what follows: requests for credentials, declined
    // requests, the download's success.
    const std::tuple<const char*, bool, int, int, bool> cases[] = {
        {"/__401", true, 1, 1, false},
        {"/__viaproxy/info.xml", false, 0, 0, true},
    };
    for (const auto& [path, promptAllowed, asks, canceled, succeeds] : cases) {
        SCOPED_TRACE(path);
        Downloader direct;
        direct.userName = kProxyUser;
        direct.password = kProxyPassword;
        direct.promptAllowed = promptAllowed;
        int asked = 0;
        int declined = 0;
        direct.onProxyAuthRequired = [&](const CAtlString&, int, CAtlString&, CAtlString&) {
            ++asked;
            return false;
        };
        direct.onProxyAuthCanceled = [&] { ++declined; };
        const CAtlString file = direct.Download(server.Url(path), 1, 0);
        EXPECT_EQ(asked, asks);
        EXPECT_EQ(declined, canceled);
        EXPECT_EQ(!file.isEmpty() && ReadDownloaded(file) == content, succeeds);
    }
    EXPECT_EQ(ProxyAnswers(server).filter("200 alice").size(), 1);
}

// The credentials dialog shows the system proxy as the engine reads it: host and port only.
TEST(CDownloader, ReadsSystemProxyFromEnvironmentAsHostAndPort) {
    const std::tuple<const char*, const char*, QString, int32_t> cases[] = {
        {"http_proxy", "http://user:pw@proxy.corp:3128/", "proxy.corp", 3128},
        {"https_proxy", "proxy.corp:8080", "proxy.corp", 8080},
        {"http_proxy", "proxy.corp", "proxy.corp", 1080}, // libcurl's default proxy port
        {"http_proxy", "http://[::1]:8080", "[::1]", 8080},
        {"http_proxy", "", "", 99}, // the port is left alone
    };
    for (const auto& [variable, value, expectedHost, expectedPort] : cases) {
        SCOPED_TRACE(value);
        ClearProxyEnvironment();
        ::setenv(variable, value, 1);
        CAtlString host = QStringLiteral("old");
        int32_t port = 99;
        EXPECT_TRUE(CDownloader().QueryProxy(host, port));
        EXPECT_EQ(host, expectedHost);
        EXPECT_EQ(port, expectedPort);
    }
    ClearProxyEnvironment();
}

// An engine whose download is a script: it reports, asks for credentials once and ends with
// a code that tells the test what the worker received.
class ScriptedEngine : public QtDownloaderBase {
public:
    int32_t DoDownload(const CAtlString& url, const CAtlString& file) override {
        workerIsOtherThread = QThread::currentThread() != thread();
        emit DataReadProgressSignal(1, 2);
        const auto asked = std::chrono::steady_clock::now();
        const bool ok = RequestProxyAuth(url, 3128, received[0], received[1]);
        waited = std::chrono::steady_clock::now() - asked;
        emit ConnectionFailedSignal(file);
        emit ProxyAuthCanceledSignal();
        return ok ? 7 : 9;
    }

    std::atomic<bool> workerIsOtherThread{false};
    std::chrono::steady_clock::duration waited{};
    CAtlString received[2]; // user name and password
};

TEST(QtDownloaderBase, CarriesCredentialAnswersToWorkerAndReportsBack) {
    ConnectionInfo info;
    QStringList events;
    // The hooks run on the thread that started the download.
    const auto note = [&](const QString& event) {
        events << event + (QThread::currentThread() == qApp->thread() ? "" : " on the worker");
    };
    info.onDataReadProgress = [&](int done, int total) {
        note(QStringLiteral("progress %1/%2").arg(done).arg(total));
    };
    info.onProxyAuthRequired = [&](const CAtlString& host, int port, CAtlString& user,
                                   CAtlString& password) {
        note(QStringLiteral("asked %1:%2").arg(host).arg(port));
        user = QStringLiteral("alice");
        password = QStringLiteral("p@ss word");
        // Long enough for the worker to be waiting, so that only a wake-up ends its wait early.
        QThread::msleep(50);
        return true;
    };
    info.onConnectionFailed = [&](const CAtlString& error) { note("failed " + error); };
    info.onProxyAuthCanceled = [&] { note("canceled"); };

    ScriptedEngine engine;
    EXPECT_EQ(engine.RunDownload("proxy", "file", &info), 7);
    EXPECT_TRUE(engine.workerIsOtherThread);
    EXPECT_EQ(engine.received[0], "alice");
    EXPECT_EQ(engine.received[1], "p@ss word");
    // The answer wakes the worker; without that its wait would last until its 500 ms tick.
    EXPECT_LT(engine.waited, 400ms);
    // Every report has arrived, in order, by the time RunDownload returns.
    EXPECT_EQ(events, (QStringList{"progress 1/2", "asked proxy:3128", "failed file", "canceled"}));
    // Without a hook the request is declined.
    ConnectionInfo bare;
    EXPECT_EQ(ScriptedEngine().RunDownload("proxy", "file", &bare), 9);
}
} // namespace

#include "TestServers.h"

#include <chrono>

using namespace std::chrono_literals;

namespace {
// Whole bodies in files named after the URL's extension, progress after every chunk of at
// most 1024 bytes, no proxy of the environment in a direct connection, and https verified
// against the test CA, also after a redirect. (An untrusted certificate, a refused connection
// and a missing file are the window's and the program's tests.)
TEST_F(DownloaderTest, DirectDownloadsArriveWholeWithProgress) {
    // Large enough to pass through many paused and resumed transfer chunks.
    const int bigSize = 3 * 1024 * 1024 + 17;
    const QByteArray big = server.AddFile("big.bin", bigSize);
    const QByteArray deadProxy = "http://127.0.0.1:" + QByteArray::number(FreePort());
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy"})
        ::setenv(name, deadProxy.constData(), 1);
    // URL, content, the pattern of the name after "FLVTemp" in the temporary folder, and the
    // progress reports (when only one is given, only the last is certain: the rest are paced or
    // follow a redirect).
    const std::tuple<QString, QByteArray, const char*, Progress> cases[] = {
        {server.Url("/info.xml"), content, R"(\.xml)", {{1024, 2500}, {2048, 2500}, {2500, 2500}}},
        // The query names no file; the name is taken, so the new file gets a number.
        {server.Url("/info.xml?x=1"), content, R"(\(\d+\)\.xml)", {{2500, 2500}}},
        {server.Url("/big.bin"), big, R"(\.bin)", {{bigSize, bigSize}}},
        // Compressed though nobody asked: saved as the document, its length unknown.
        {server.Url("/__gzip/info.xml"), content, R"(\(\d+\)\.xml)", {{2500, 0}}},
        // No length: the body ends when the server closes.
        {server.Url("/__nolength"), QByteArray(3000, 'n'), "", {{1024, 0}, {2048, 0}, {3000, 0}}},
        // "__redirect" has no extension either.
        {server.RedirectTo(tls.Url("/info.xml")), content, R"(\(\d+\))", {{2500, 2500}}},
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
        ASSERT_FALSE(reports.progress.empty());
        EXPECT_EQ(progress.size() == 1 ? Progress{reports.progress.back()} : reports.progress,
                  progress);
    }
}

// Ways a direct download can fail that no reason of the window tells apart: empty result, no
// report, and no file left behind in the temporary folder.
TEST_F(DownloaderTest, FailuresReturnNothingAndLeaveNoFile) {
    server.AddFile("empty.xml", 0);
    server.AddFile("plain.xml", 10);
    CurlHttpClient::SetStallTimeout(1s);
    const std::pair<const char*, QString> cases[] = {
        {"empty body", server.Url("/empty.xml")},
        {"body shorter than its length", server.Url("/__truncated")},
        // The server holds the connection until the client leaves; without the stall limit
        // the download would hang until the test's time limit fails it.
        {"server stops sending", server.Url("/__stall")},
        {"redirect from https to http", tls.RedirectTo(server.Url("/plain.xml"))},
    };
    for (const auto& [name, url] : cases) {
        SCOPED_TRACE(name);
        reports = {};
        EXPECT_TRUE(downloader.Download(url, 1, 0).isEmpty());
        EXPECT_EQ(std::pair(reports.failures, reports.canceled), std::pair(QStringList(), 0));
        EXPECT_EQ(LeftoverDownloads(), QStringList());
    }
    // The refused redirect never reached the plain server.
    EXPECT_EQ(server.Requests().filter("/plain.xml"), QStringList());
}

// A proxy whose name does not resolve is named as the proxy, not taken for the server. A
// label longer than 63 characters fails the lookup before any query leaves the machine.
TEST_F(DownloaderTest, AProxyWhoseNameDoesNotResolveIsNamedAsTheProxy) {
    const QString proxy = QString(64, u'p') + ".invalid";
    auto handler = std::make_shared<ProxyHandlerBase>();
    handler->SetOverrideProxy(proxy + ":3128");
    SetHandler(handler);
    EXPECT_TRUE(downloader.Download(server.Url("/info.xml"), 1, 0).isEmpty());
    EXPECT_EQ(downloader.GetLastFailureReason(),
              QString("The proxy %1 could not be reached.").arg(proxy));
}

// Engine behaviour behind squid: a server's own 401 is asked about as a proxy's 407 would be,
// and a 407 from the server itself, with nobody to ask, moves the download on to the system's
// proxy (here the environment's), which it then passes with the stored login.
class CDownloaderTest : public SquidTest {};

TEST_F(CDownloaderTest, ChallengeInDirectDownloadAsksOrMovesOnToSystemProxy) {
    ::setenv("http_proxy", qPrintable(QStringLiteral("http://127.0.0.1:%1").arg(squid.Port())), 1);
    // Path, whether prompting is allowed, and then requests for credentials, declined
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
        int asked = 0, declined = 0;
        direct.onProxyAuthRequired = [&](auto&, int, auto&, auto&) { return (++asked, false); };
        direct.onProxyAuthCanceled = [&] { ++declined; };
        const CAtlString file = direct.Download(server.Url(path), 1, 0);
        EXPECT_EQ(std::tuple(asked, declined, !file.isEmpty() && ReadDownloaded(file) == content),
                  std::tuple(asks, canceled, succeeds));
    }
    EXPECT_EQ(ProxyAnswers(server).filter("200 alice").size(), 1);
}

} // namespace

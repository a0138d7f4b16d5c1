#include "TestServers.h"

#include "net/CurlLibrary.h"
#include "net/DownloadEngine.h"
#include "net/SystemProxy.h"
#include "qtglue/Language.h"
#include "support/Sandbox.h"

#include <QRegularExpression>
#include <QTimer>

#include <chrono>
#include <deque>

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
    const QString stalled = "The connection to 127.0.0.1 timed out.";
    const std::tuple<const char*, QString, QString> cases[] = {
        {"empty body", server.Url("/empty.xml"), "The server sent an empty file."},
        {"body shorter than its length", server.Url("/__truncated"),
         "The connection to 127.0.0.1 broke off."},
        // The server holds the connection until the client leaves; without the stall limit
        // the download would hang until the test's time limit fails it.
        {"server stops sending", server.Url("/__stall"), stalled},
        // Not followed: the redirect is the answer.
        {"redirect from https to http", tls.RedirectTo(server.Url("/plain.xml")),
         "The server answered with status 302 Found."},
    };
    for (const auto& [name, url, reason] : cases) {
        SCOPED_TRACE(name);
        reports = {};
        EXPECT_TRUE(downloader.Download(url, 1, 0).isEmpty());
        EXPECT_EQ(std::pair(reports.failures, reports.canceled), std::pair(QStringList(), 0));
        EXPECT_EQ(LastReason(downloader), reason);
        EXPECT_EQ(LeftoverDownloads(), QStringList());
    }
    // A download asked for from an event while one is under way is refused, and the one
    // under way keeps its own outcome.
    CAtlString nested = "not asked";
    QTimer::singleShot(200, [&] { nested = downloader.Download(server.Url("/plain.xml"), 1, 0); });
    EXPECT_TRUE(downloader.Download(server.Url("/__stall"), 1, 0).isEmpty());
    EXPECT_EQ(std::pair(nested, LastReason(downloader)), std::pair(QString(), stalled));
    // Neither the refused redirect nor the refused download reached the plain server.
    EXPECT_EQ(server.Requests().filter("/plain.xml"), QStringList());
}

// Fetched at once, the documents travel together: as HTTP/2 streams side by side on one
// connection, or as HTTP/1.1 requests on at most eight connections. Each server holds every
// answer 200 ms, so that only requests made together are in flight together.
TEST_F(DownloaderTest, FetchedAtOnceTheRequestsOverlapOnFewConnections) {
    constexpr int kFiles = 20;
    for (const bool h2 : {true, false}) {
        SCOPED_TRACE(h2 ? "HTTP/2" : "HTTP/1.1");
        TestServer target{h2 ? QStringList{"--tls", "--h2", "--hold-ms", "200"}
                             : QStringList{"--tls", "--hold-ms", "200"}};
        ASSERT_TRUE(target.IsRunning()) << "nghttpd is missing (Debian package nghttp2-server)";
        target.TrustCa();
        FetchAtOnce(target, kFiles);
        if (h2) {
            const QStringList requests = target.H2Requests();
            EXPECT_EQ(requests.size(), kFiles);
            EXPECT_EQ(requests.filter(QRegularExpression("^1 ")).size(), kFiles)
                << "one connection";
            EXPECT_GT(target.H2MostInFlight(200), kFiles / 2);
            // An HTTP/2 answer carries no reason phrase; the reason reads as from HTTP/1.1.
            EXPECT_TRUE(downloader.Download(target.Url("/missing.xml"), 1, 0).isEmpty());
            EXPECT_EQ(LastReason(downloader),
                      QStringLiteral("The server answered with status 404 Not Found."));
        } else {
            QStringList connections = target.ConnectionsOf("/d");
            connections.removeDuplicates();
            EXPECT_EQ(target.Requests().filter("/d").size(), kFiles);
            EXPECT_LE(connections.size(), 8);
            EXPECT_GE(target.MostBusy(), 4);
            // Asked for in the order planned, never more at once than connections: no early
            // file is left for last, to hold up every product checked after it.
            const QStringList order = target.Requests().filter("/d");
            const auto at = [&](int i) {
                const QString path = QStringLiteral("/d%1.xml ").arg(i);
                return std::find_if(order.begin(), order.end(),
                                    [&](const QString& line) { return line.contains(path); }) -
                       order.begin();
            };
            for (int i = 0; i + 8 < kFiles; ++i)
                EXPECT_LT(at(i), at(i + 8)) << i;
        }
    }
}

namespace StingyCurl {
// A libcurl that hands over at most one finished transfer each time it is driven, as the real
// one does at times with HTTP/2 answers it has already read from the connection: the rest
// wait in it, with nothing more to come from the socket.
decltype(&curl_multi_perform) realPerform;
decltype(&curl_multi_info_read) realRead;
thread_local std::deque<CURLMsg> held;
thread_local CURLMsg handedOver;
thread_local int allowance = 0;

CURLMcode Perform(CURLM* multi, int* running) {
    allowance = 1;
    return realPerform(multi, running);
}

CURLMsg* Read(CURLM* multi, int* queued) {
    while (CURLMsg* message = realRead(multi, queued))
        held.push_back(*message);
    *queued = static_cast<int>(held.size());
    if (allowance == 0 || held.empty())
        return nullptr;
    --allowance;
    handedOver = held.front();
    held.pop_front();
    *queued = static_cast<int>(held.size());
    return &handedOver;
}
} // namespace StingyCurl

// Answers that libcurl has read but not yet handed over are fetched by driving it again,
// not by waiting on a connection that has nothing more to send: waiting there held a check of
// 100 products up by the whole wait in about one run of ten.
TEST_F(DownloaderTest, FetchedAheadAnswersAlreadyReadAreHandedOverAtOnce) {
    TestServer target{{"--tls", "--h2"}};
    ASSERT_TRUE(target.IsRunning()) << "nghttpd is missing (Debian package nghttp2-server)";
    target.TrustCa();
    CurlLibrary& curl = *CurlLibraryForTests();
    StingyCurl::realPerform = curl.multi_perform;
    StingyCurl::realRead = curl.multi_info_read;
    curl.multi_perform = StingyCurl::Perform;
    curl.multi_info_read = StingyCurl::Read;
    FetchAtOnce(target, 20);
    curl.multi_perform = StingyCurl::realPerform;
    curl.multi_info_read = StingyCurl::realRead;
    EXPECT_EQ(target.H2Requests().size(), 20) << "each document fetched once, ahead";
}

// A proxy whose name does not resolve is named as the proxy, not taken for the server. A
// label longer than 63 characters fails the lookup before any query leaves the machine.
TEST_F(DownloaderTest, AProxyWhoseNameDoesNotResolveIsNamedAsTheProxy) {
    const QString proxy = QString(64, u'p') + ".invalid";
    auto handler = std::make_shared<ProxyHandlerBase>();
    handler->SetOverrideProxy(proxy + ":3128");
    SetHandler(handler);
    EXPECT_TRUE(downloader.Download(server.Url("/info.xml"), 1, 0).isEmpty());
    EXPECT_EQ(LastReason(downloader),
              QString("The proxy %1:3128 could not be reached.").arg(proxy));
}

// The first request of a download, fetched ahead, is the one the engine sends: the default
// port of each scheme, the root path, the query kept; the mode's route; the run's login only
// to the run's own proxy, and to a proxy of the desktop's configuration only the login that
// its own setting holds (never the run's, not even its password); Basic never to a proxy that
// a script chose.
TEST(CDownloader, FirstRequestIsTheOneTheEngineSendsFirst) {
    struct Desktop : ISystemProxy {
        SystemProxyAddress ProxyFor(const CAtlString& url) override {
            SystemProxyAddress address;
            if (url.contains("direct"))
                return address;
            address.host = "corp";
            address.port = 3128;
            address.userName = url.contains("nologin") ? QString() : QString("bob");
            address.password =
                url.contains("nopass") || url.contains("nologin") ? QString() : QString("pw");
            address.source = url.contains("script") ? SystemProxyAddress::ProxyScript
                                                    : SystemProxyAddress::Desktop;
            return address;
        }
    };
    const auto desktop = std::make_shared<Desktop>();
    const QString list = "http=http://%1 https=http://%1";
    // URL, mode, explicit proxy, stored login; then access type, proxy list, port, path,
    // secure, login sent ("user/password"), Basic kept from it.
    // clang-format off
    const struct { const char* url; int32_t mode; QString proxy, stored; std::optional<std::tuple<uint32_t, QString, uint16_t, QString, bool, QString, bool>> first; } rows[] = {
        {"https://h", ModeDirect, "", "", {{1, "", 443, "/", true, "/", false}}},
        {"http://h/a b?q=1", ModeDirect, "", "al/x", {{1, "", 80, "/a%20b?q=1", false, "/", false}}},
        {"http://h:8080/x", ModeExplicitProxy, "p:81", "", {{3, list.arg("p:81"), 8080, "/x", false, "/", false}}},
        {"http://h:8080/x", ModeExplicitProxy, "p:81", "al/x", {{3, list.arg("p:81"), 8080, "/x", false, "al/x", false}}},
        {"http://h/x", ModeExplicitProxy, "", "", std::nullopt},
        {"https://h/x", ModeSystemProxy, "", "", {{3, list.arg("corp:3128"), 443, "/x", true, "bob/pw", false}}},
        {"https://h/nopass", ModeSystemProxy, "", "", {{3, list.arg("corp:3128"), 443, "/nopass", true, "bob/", false}}},
        {"https://h/x", ModeSystemProxy, "", "al/x", {{3, list.arg("corp:3128"), 443, "/x", true, "bob/pw", false}}},
        {"https://h/nologin", ModeSystemProxy, "", "al/x", {{3, list.arg("corp:3128"), 443, "/nologin", true, "/", false}}},
        {"https://h/script/nologin", ModeSystemProxy, "", "al/x", {{3, list.arg("corp:3128"), 443, "/script/nologin", true, "/", true}}},
        {"http://h/direct", ModeSystemProxy, "", "al/x", {{1, "", 80, "/direct", false, "/", false}}},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.url) + " in mode " + std::to_string(row.mode));
        ConnectionInfo info;
        info.connectionMode = row.mode;
        info.proxyHost = row.proxy;
        info.userName = row.stored.section('/', 0, 0);
        info.password = row.stored.isEmpty() ? QString("mine") : row.stored.section('/', 1);
        info.systemProxy = desktop;
        const std::optional<PrefetchRequest> first = CDownloader::FirstRequest(row.url, info);
        ASSERT_EQ(first.has_value(), row.first.has_value());
        if (!first)
            continue;
        EXPECT_EQ(std::tuple(first->accessType, first->proxyList, first->port, first->object,
                             (first->flags & WinInet::INTERNET_FLAG_SECURE) != 0,
                             first->proxyUserName + '/' + first->proxyPassword,
                             first->proxyNoBasic),
                  *row.first);
        EXPECT_EQ(std::pair(first->server, first->connectTimeoutMs),
                  std::pair(QString("h"), 2000u));
    }
}

// Engine behaviour behind squid: a server's own 401 is asked about as a proxy's 407 would be,
// and a 407 from the server itself, with nobody to ask, moves the download on to the system's
// proxy (here the environment's), which it then passes with the login its variable holds; the
// run's stored login is not for that proxy and never reaches it.
class CDownloaderTest : public SquidTest {};

TEST_F(CDownloaderTest, ChallengeInDirectDownloadAsksOrMovesOnToSystemProxy) {
    ::setenv("http_proxy",
             qPrintable(QStringLiteral("http://%1:%2@127.0.0.1:%3")
                            .arg(kProxyUser, kProxyPassword)
                            .arg(squid.Port())),
             1);
    // Path, whether prompting is allowed, and then requests for credentials, declined
    // requests, the download's success.
    const std::tuple<const char*, bool, int, int, bool> cases[] = {
        {"/__401", true, 1, 1, false},
        {"/__viaproxy/info.xml", false, 0, 0, true},
    };
    for (const auto& [path, promptAllowed, asks, canceled, succeeds] : cases) {
        SCOPED_TRACE(path);
        Downloader direct;
        direct.userName = QStringLiteral("mallory");
        direct.password = QStringLiteral("run-secret");
        direct.promptAllowed = promptAllowed;
        int asked = 0, declined = 0;
        direct.onProxyAuthRequired = [&](auto&, int, auto&, auto&) { return (++asked, false); };
        direct.onProxyAuthCanceled = [&] { ++declined; };
        const CAtlString file = direct.Download(server.Url(path), 1, 0);
        EXPECT_EQ(std::tuple(asked, declined, !file.isEmpty() && ReadDownloaded(file) == content),
                  std::tuple(asks, canceled, succeeds));
    }
    EXPECT_EQ(ProxyAnswers(server).filter("200 alice").size(), 1);
    EXPECT_FALSE(squid.Log().contains("mallory")) << squid.Log().toStdString();
}

// Every failure names the side that failed, behind squid (as "%p", with the login of the row)
// and direct, in English and in German. "%s" is the plain server, "%r" a refused port, "%c"
// the TLS server with the row's certificate ("%n" none), whose CA is trusted. squid gives up
// on a silent server after 3 s, and on a name after about 1.5 s; the stall limit of the row
// says who gives up first on the hanging server.
TEST_F(CDownloaderTest, ReasonsNameTheSideThatFailed) {
    enum Login { Direct, NoLogin, WrongLogin, RightLogin };
    const struct {
        const char* name;
        Login login;
        int stallSeconds;
        const char* url;
        const char* cert;
        QString english;
        QString german;
    } rows[] = {
        {"wrong password", WrongLogin, 10, "%s/info.xml", "%n",
         "The proxy %p refused the user name and password given.",
         "Der Proxy %p hat den angegebenen Benutzernamen und das Kennwort zurückgewiesen."},
        {"no password", NoLogin, 10, "%s/info.xml", "%n",
         "The proxy %p asked for a user name and password, and none was given.",
         "Der Proxy %p verlangt einen Benutzernamen und ein Kennwort, es wurden aber keine "
         "angegeben."},
        {"unresolvable server", RightLogin, 10, "http://updates.nowhere.invalid/info.xml", "%n",
         "The proxy %p could not reach the server updates.nowhere.invalid.",
         "Der Proxy %p konnte den Server updates.nowhere.invalid nicht erreichen."},
        {"refused port", RightLogin, 10, "http://127.0.0.1:%r/info.xml", "%n",
         "The proxy %p could not reach the server 127.0.0.1.",
         "Der Proxy %p konnte den Server 127.0.0.1 nicht erreichen."},
        {"failed CONNECT", RightLogin, 10, "https://127.0.0.1:%r/info.xml", "%n",
         "The proxy %p could not reach the server 127.0.0.1.",
         "Der Proxy %p konnte den Server 127.0.0.1 nicht erreichen."},
        {"request the proxy refuses", RightLogin, 10, "http://blocked.example/info.xml", "%n",
         "The proxy %p refused the request for blocked.example with status 403 Forbidden.",
         "Der Proxy %p hat die Anfrage an blocked.example mit dem Status 403 Forbidden abgelehnt."},
        {"hanging origin", RightLogin, 2, "%s/__hang", "%n",
         "The server 127.0.0.1 did not answer the proxy %p in time.",
         "Der Server 127.0.0.1 hat dem Proxy %p nicht rechtzeitig geantwortet."},
        {"origin the proxy gives up on", RightLogin, 10, "%s/__hang", "%n",
         "The server 127.0.0.1 did not answer the proxy %p in time.",
         "Der Server 127.0.0.1 hat dem Proxy %p nicht rechtzeitig geantwortet."},
        {"expired certificate", Direct, 10, "%c/info.xml", "expired",
         "The certificate of 127.0.0.1 expired on 2020-01-31.",
         "Das Zertifikat von 127.0.0.1 ist am 2020-01-31 abgelaufen."},
        {"certificate for another name", Direct, 10, "%c/info.xml", "wrong-name",
         "The certificate that 127.0.0.1 presented was issued for another name.",
         "Das Zertifikat, das 127.0.0.1 vorgelegt hat, wurde für einen anderen Namen "
         "ausgestellt."},
        {"self-signed certificate", Direct, 10, "%c/info.xml", "self-signed",
         "The certificate of 127.0.0.1 was not issued by a trusted certificate authority.",
         "Das Zertifikat von 127.0.0.1 wurde nicht von einer vertrauenswürdigen "
         "Zertifizierungsstelle ausgestellt."},
    };
    std::map<QString, std::unique_ptr<TestServer>> certified;
    for (const char* cert : {"expired", "wrong-name", "self-signed"}) {
        certified[cert] = std::make_unique<TestServer>(QStringList{"--tls", "--cert", cert});
        ASSERT_TRUE(certified[cert]->IsRunning()) << "python3-cryptography is missing";
    }
    const QString proxy = QStringLiteral("127.0.0.1:%1").arg(squid.Port());
    for (const char* language : {"en", "de"}) {
        SetLocaleOverride(QString::fromLatin1(language));
        {
            Sandbox languageSandbox;
            SetupLanguage(QStringLiteral("ORVEXProductUpdate"));
        }
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(language) + ": " + row.name);
            const TestServer* tlsServer =
                certified.count(row.cert) ? certified[row.cert].get() : &tls;
            tlsServer->TrustCa();
            CurlHttpClient::SetStallTimeout(std::chrono::seconds(row.stallSeconds));
            downloader.connectionMode = row.login == Direct ? ModeDirect : ModeExplicitProxy;
            downloader.proxyHost = row.login == Direct ? "" : "127.0.0.1";
            downloader.proxyPort = squid.Port();
            downloader.userName = row.login == NoLogin ? "" : kProxyUser;
            downloader.password = row.login == WrongLogin ? "wrong" : kProxyPassword;
            downloader.promptAllowed = false;
            const QString url = QString::fromLatin1(row.url)
                                    .replace("%s", server.Url({}))
                                    .replace("%r", QString::number(FreePort()))
                                    .replace("%c", tlsServer->Url({}));
            EXPECT_TRUE(downloader.Download(url, 1, 0).isEmpty());
            EXPECT_EQ(LastReason(downloader),
                      QString(language == std::string("de") ? row.german : row.english)
                          .replace("%p", proxy));
        }
    }
    SetLocaleOverride({});
}

} // namespace

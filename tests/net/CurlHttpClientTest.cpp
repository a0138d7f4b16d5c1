#include "TestServers.h"

#include <QElapsedTimer>

namespace {
class CurlHttpClientTest : public NetTest {};
class CurlHttpClientProxyTest : public SquidTest {};

// Downloads of one server in a row share its connection, unless the server closes it.
TEST_F(CurlHttpClientTest, LaterDownloadsFromAServerReuseItsConnection) {
    // Row name, server, path, and the connection each of three downloads arrives on.
    const std::tuple<const char*, TestServer*, QString, QStringList> cases[] = {
        {"http", &server, "/info.xml", {"1", "1", "1"}},
        {"https", &tls, "/info.xml", {"1", "1", "1"}},
        // The first goes out on the connection left open by the first row.
        {"server closes after each response", &server, "/__close/info.xml", {"1", "2", "3"}},
    };
    for (const auto& [name, target, path, connections] : cases) {
        SCOPED_TRACE(name);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(ReadDownloaded(downloader.Download(target->Url(path), 1, 0)), content);
        EXPECT_EQ(target->ConnectionsOf(path), connections);
    }
}

// A connection opened through the proxy never carries a direct download, a direct one never a
// proxied download, and a tunnel that one login opened never carries another login's.
TEST_F(CurlHttpClientProxyTest, ProxiedAndDirectConnectionsStayApart) {
    downloader.promptAllowed = false;
    // Direct without a user; through squid with kProxyUser's login or another one.
    const auto fetch = [&](const TestServer& target, const QString& user = {}) {
        downloader.proxyHost = user.isEmpty() ? "" : "127.0.0.1";
        downloader.proxyPort = squid.Port();
        downloader.connectionMode = user.isEmpty() ? ModeDirect : ModeExplicitProxy;
        downloader.userName = user;
        downloader.password = user == kProxyUser ? kProxyPassword : "guess";
        return ReadDownloaded(downloader.Download(target.Url("/info.xml"), 1, 0)) == content;
    };
    EXPECT_TRUE(fetch(server) && fetch(server, kProxyUser) && fetch(server));
    // The second came through squid, on a connection of squid's own.
    EXPECT_EQ(server.ConnectionsOf("/info.xml"), (QStringList{"1", "2", "1"}));
    EXPECT_EQ(ProxyAnswers(server).filter("200"), QStringList{"200 alice"});
    // The tunnel serves its own login again, but another login must open one of its own.
    EXPECT_TRUE(fetch(tls, kProxyUser) && fetch(tls, kProxyUser));
    EXPECT_FALSE(fetch(tls, "mallory"));
    EXPECT_EQ(tls.ConnectionsOf("/info.xml"), (QStringList{"1", "1"}));
}

// Once a proxy has offered Digest beside Basic, the password never goes as Basic, which
// would hand it to anyone on the way: not with the first request, nor with the later ones that
// send the login at once, through a tunnel neither.
TEST_F(CurlHttpClientTest, AProxyOfferingDigestNeverGetsThePasswordAsBasic) {
    TestServer squid{{"--squid", kProxyUser + u':' + kProxyPassword, "--digest"}};
    ASSERT_TRUE(squid.IsRunning()) << "squid could not be started (Debian package squid)";
    downloader.promptAllowed = false;
    downloader.proxyHost = "127.0.0.1";
    downloader.proxyPort = squid.Port();
    downloader.connectionMode = ModeExplicitProxy;
    downloader.userName = kProxyUser;
    downloader.password = kProxyPassword;
    // The https server ends each tunnel, which squid logs only once it has ended.
    for (const QString& url : {server.Url("/info.xml"), tls.Url("/__close/info.xml"),
                               server.Url("/info.xml"), tls.Url("/__close/info.xml")})
        EXPECT_EQ(ReadDownloaded(downloader.Download(url, 1, 0)), content) << url.toStdString();
    // Each logged request ends with the scheme of the login it carried ("-": none); a tunnel
    // is logged once it has ended.
    WaitFor([&] { return squid.Log().count(" Digest%20") >= 4; }, 5000);
    QStringList schemes;
    for (const QString& line : squid.Log().split(u'\n', Qt::SkipEmptyParts))
        schemes << line.section(u' ', -1).section(QStringLiteral("%20"), 0, 0);
    EXPECT_EQ(schemes.filter("Basic"), QStringList());
    EXPECT_GE(schemes.count("Digest"), 4) << schemes.join(u' ').toStdString();
}

// The 2 s connect limit is the TCP handshake's with the server or proxy; a TLS handshake
// that takes longer still succeeds.
TEST_F(CurlHttpClientTest, ConnectLimitBoundsTheTcpHandshakeOnly) {
    // Started first: under ThreadSanitizer a fork while a download's worker thread is still
    // ending would stop the test process at its next thread.
    TestServer slow{{"--tls", "--handshake-delay", "5"}};
    Blackhole blackhole;
    ASSERT_NE(blackhole.Port(), 0);
    for (const bool throughProxy : {false, true}) {
        SCOPED_TRACE(throughProxy ? "proxy never answers" : "server never answers");
        downloader.proxyHost = throughProxy ? "127.0.0.1" : "";
        downloader.proxyPort = blackhole.Port();
        downloader.connectionMode = throughProxy ? ModeExplicitProxy : ModeDirect;
        reports.failures.clear();
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(downloader.Download(
                      throughProxy
                          ? server.Url("/info.xml")
                          : QStringLiteral("http://127.0.0.1:%1/a.xml").arg(blackhole.Port()),
                      1, 0),
                  CAtlString());
        // Well short of the 30 s that lookup, tunnel and TLS get together, and not a refusal.
        EXPECT_TRUE(clock.elapsed() >= 1900 && clock.elapsed() < 10000) << clock.elapsed();
        EXPECT_EQ(reports.failures, QStringList{"Send request failed"});
        EXPECT_EQ(LastReason(downloader),
                  throughProxy
                      ? QString("The connection to 127.0.0.1:%1 timed out.").arg(blackhole.Port())
                      : QString("The connection to 127.0.0.1 timed out."));
    }
    ASSERT_TRUE(slow.IsRunning());
    slow.TrustCa();
    downloader.connectionMode = ModeDirect;
    EXPECT_EQ(ReadDownloaded(downloader.Download(slow.Url("/info.xml"), 1, 0)),
              slow.AddFile("info.xml", 2500));
}
} // namespace

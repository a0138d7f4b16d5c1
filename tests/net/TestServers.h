#pragma once

#include "catalogue/CheckFailure.h"
#include "net/CurlHttpClient.h"
#include "net/Downloader.h"
#include "net/ProxyHandlerBase.h"
#include "platform/FilePath.h"
#include "support/ModalAnswerer.h"
#include "support/ProgramRun.h"

#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <vector>

#include <arpa/inet.h>

// A port of 127.0.0.1 that was free a moment ago, so a connection to it is refused.
inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    return ok ? ntohs(address.sin_port) : 0;
}

// A port of 127.0.0.1 that takes no new connection: its listening socket is never accepted
// from and its backlog is already full, so the kernel drops further handshakes unanswered,
// as a host behind a firewall that drops packets does.
class Blackhole {
public:
    Blackhole() {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_listener, 0) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        // A backlog of 0 still queues a connection or two; these take those places.
        for (int& filler : m_fillers) {
            filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(filler, reinterpret_cast<sockaddr*>(&address), length);
        }
        QThread::msleep(50);
        m_port = ntohs(address.sin_port);
    }
    ~Blackhole() {
        for (const int fd : m_fillers)
            ::close(fd);
        ::close(m_listener);
    }
    int Port() const { return m_port; }

private:
    int m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int m_fillers[4] = {-1, -1, -1, -1};
    int m_port = 0;
};

// A real server on 127.0.0.1, run by the script of tests/net/data with a folder of its own and
// stopped when its object goes away (or the test process dies). Options: none serves the
// folder plus a few scripted misbehaviours; "--tls" the same over TLS with a CA it makes;
// "--handshake-delay", "SECONDS" with "--tls" begins each TLS handshake that late;
// "--tinyproxy", "USER:PASSWORD" tinyproxy with BasicAuth; "--squid", "USER:PASSWORD" squid
// with basic authentication, and with "--digest" Digest offered first, each logged request
// ending in its Proxy-Authorization header, URL-encoded; with "--squid-hosts", "NAME,..."
// as well resolving those names to 127.0.0.1; "--tls", "--h2" nghttpd over TLS with ALPN
// "h2" only, its frames logged (H2Requests). "--hold-ms", "N" holds every answer N ms, so
// that requests made at once overlap (MostBusy; with "--h2" H2MostInFlight).
class TestServer {
public:
    explicit TestServer(const QStringList& options = {})
        : m_scheme(options.contains("--tls") ? "https" : "http") {
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start("python3",
                        QStringList{ORVEX_TEST_SERVER_SCRIPT, "--root", m_dir.path()} + options);
        // The port comes on the first line.
        while (!m_process.canReadLine() && m_process.waitForReadyRead(15000)) {
        }
        m_port = m_process.readLine().trimmed().toInt();
    }
    ~TestServer() {
        m_process.terminate();
        m_process.waitForFinished(3000); // then QProcess kills it
    }
    bool IsRunning() const { return m_port != 0; }
    int Port() const { return m_port; }
    // The folder it serves.
    QString Folder() const { return m_dir.path(); }

    QString Url(const QString& path) const {
        return QStringLiteral("%1://127.0.0.1:%2%3").arg(m_scheme).arg(m_port).arg(path);
    }
    // A URL on this server that redirects to url.
    QString RedirectTo(const QString& url) const {
        return Url("/__redirect?to=" + QUrl::toPercentEncoding(url));
    }
    // Makes libcurl trust the CA of a "--tls" server (until ClearProxyEnvironment).
    void TrustCa() const {
        ::setenv("SSL_CERT_FILE", QFile::encodeName(m_dir.filePath("ca.pem")), 1);
    }
    // Creates a file of size bytes in the served folder; the bytes cycle through the alphabet,
    // so that a chunk out of place changes the content.
    QByteArray AddFile(const QString& name, int size) {
        const QByteArray content =
            QByteArray("abcdefghijklmnopqrstuvwxyz").repeated(size / 26 + 1).left(size);
        Put(name, content);
        return content;
    }
    // Serves content as name.
    void Put(const QString& name, const QByteArray& content) {
        EXPECT_TRUE(WriteFile(m_dir.filePath(name), content)) << name.toStdString();
    }
    // The request lines seen so far ("GET /path auth=1").
    QStringList Requests() { return Log(false); }
    // The connection each request so far for a path containing part came on, numbered in the
    // order the server accepted them.
    QStringList ConnectionsOf(const QString& part) {
        QStringList numbers;
        for (const QString& line : Log(true).filter(part))
            numbers << line.section(QStringLiteral(" conn="), 1);
        return numbers;
    }
    // What the proxy logged so far (squid: its access log).
    QString Log() const {
        return QString::fromUtf8(ReadFile(m_dir.filePath(
            QDir(m_dir.filePath("squid")).exists() ? "squid/access.log" : "tinyproxy.log")));
    }

    // The most requests the "--hold-ms" server was answering at once so far.
    int MostBusy() {
        int most = 0;
        static const QRegularExpression busy(QStringLiteral(" busy=(\\d+) "));
        for (const QString& line : Log(true))
            most = std::max(most, busy.match(line).captured(1).toInt());
        return most;
    }
    // What nghttpd of "--h2" logged so far.
    QString H2Log() const { return QString::fromUtf8(ReadFile(m_dir.filePath("h2.log"))); }
    // The requests the "--h2" server received so far, in order, as "CONNECTION STREAM PATH"
    // ("1 3 /a.xml": the second stream of the first connection); connections are numbered
    // in the order they were accepted, from 1.
    QStringList H2Requests() const {
        static const QRegularExpression request(
            QStringLiteral(
                "^\\[id=(\\d+)\\] \\[[ .\\d]+\\] recv \\(stream_id=(\\d+)\\) :path: (.*)$"),
            QRegularExpression::MultilineOption);
        QStringList requests;
        for (auto it = request.globalMatch(H2Log()); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            requests << match.captured(1) + u' ' + match.captured(2) + u' ' + match.captured(3);
        }
        return requests;
    }
    // The most requests that a "--tls", "--h2", "--hold-ms", "N" server received within N ms
    // of each other, holdMs being that N. Each answer reaches the client N ms after nghttpd
    // sent it, so a client that waits for one answer before the next request scores 1; more
    // means it had that many requests in flight together.
    int H2MostInFlight(int holdMs) const {
        static const QRegularExpression request(
            QStringLiteral("^\\[id=\\d+\\] \\[ *([.\\d]+)\\] recv \\(stream_id=\\d+\\) :path: "),
            QRegularExpression::MultilineOption);
        std::vector<double> times; // seconds since nghttpd started, in log order
        for (auto it = request.globalMatch(H2Log()); it.hasNext();)
            times.push_back(it.next().captured(1).toDouble());
        // Less the rounding of the log's times to whole milliseconds.
        const double window = (holdMs - 2) / 1000.0;
        int most = 0;
        for (size_t first = 0, last = 0; last < times.size(); ++last) {
            while (times[last] - times[first] >= window)
                ++first;
            most = std::max(most, int(last - first + 1));
        }
        return most;
    }

private:
    QStringList Log(bool withConnections) {
        m_process.waitForReadyRead(100);
        m_requests += QString::fromUtf8(m_process.readAllStandardOutput());
        QString log = m_requests;
        if (!withConnections)
            log.remove(QRegularExpression(QStringLiteral(" conn=\\d+")));
        return log.split(u'\n', Qt::SkipEmptyParts);
    }

    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
    QString m_scheme;
    QString m_requests;
};

// squid's answers so far ("STATUS USER PATH") to requests for host, from its access log.
inline QStringList SquidAnswers(const TestServer& squid, const QString& host) {
    QStringList answers;
    for (const QString& line : squid.Log().split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList field = line.simplified().split(u' ');
        if (field.size() >= 8 && field[6].contains(host))
            answers << field[3].section(u'/', 1) + u' ' + field[7] + u' ' + QUrl(field[6]).path();
    }
    return answers;
}

// Removes every variable that the tests set for libcurl or the engine.
inline void ClearProxyEnvironment() {
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "SSL_CERT_FILE"})
        ::unsetenv(name);
}

// Why the downloader's last download failed, as the window would word it.
inline QString LastReason(IDownloader& downloader) {
    return DescribeFailure(downloader.GetLastFailure());
}

// The content of a file named by a path in the program's form.
inline QByteArray ReadDownloaded(const CAtlString& path) {
    return ReadFile(FilePath(path).LocalPath());
}

// ReadDownloaded, removing the file.
inline QByteArray TakeDownloaded(const CAtlString& path) {
    const QByteArray bytes = ReadDownloaded(path);
    QFile::remove(FilePath(path).LocalPath());
    return bytes;
}

// Names of the download files in the temporary folder.
inline QStringList LeftoverDownloads() {
    return QDir::temp().entryList({"FLVTemp*"}, QDir::Files);
}

using Progress = std::vector<std::pair<int, int>>;

// Each test gets a plain and an https server (its CA trusted) that both serve info.xml, and a
// downloader whose reports it records.
class NetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.IsRunning() && tls.IsRunning())
            << "python3 or openssl could not start the test servers";
        content = server.AddFile("info.xml", 2500);
        tls.AddFile("info.xml", 2500);
        tls.TrustCa();
        // GNOME's settings of the machine running the tests must not send the downloads
        // elsewhere: GLib's settings held in memory have the defaults only (mode 'none').
        ::setenv("GSETTINGS_BACKEND", "memory", 1);
        downloader.onConnectionFailed = [this](const CAtlString& error) {
            reports.failures << error;
        };
        downloader.onDataReadProgress = [this](int done, int total) {
            reports.progress.emplace_back(done, total);
        };
    }
    void TearDown() override {
        ClearProxyEnvironment();
        CurlHttpClient::SetStallTimeout(stallTimeout); // a test may have shortened it
        CurlHttpClient::SetPrefetchIdleWait(idleWait);
    }

    // Hands the downloader a proxy handler, keeping its cancel hook, and forgets the reports.
    void SetHandler(std::shared_ptr<ProxyHandlerBase> handler) {
        downloader.SetProxyHandler(std::move(handler));
        downloader.onProxyAuthCanceled = [this, inner = downloader.onProxyAuthCanceled] {
            ++reports.canceled;
            inner();
        };
        reports = {};
    }

    // Serves count copies of content from target ("/d0.xml"...) and fetches them all at once
    // through the downloader, each arriving whole. The batch's thread may sleep on its
    // sockets only when nothing it has read is left to hand over: with that sleep raised far
    // beyond this test's patience, a batch that slept through answers it had already read
    // would keep the downloads waiting until the watchdog cancels them.
    void FetchAtOnce(TestServer& target, int count) {
        QStringList urls;
        for (int i = 0; i < count; ++i) {
            target.Put(QStringLiteral("d%1.xml").arg(i), content);
            urls << target.Url(QStringLiteral("/d%1.xml").arg(i));
        }
        CurlHttpClient::SetPrefetchIdleWait(std::chrono::minutes(10));
        bool gaveUp = false;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [&] {
            gaveUp = true;
            downloader.Cancel();
        });
        watchdog.start(std::chrono::seconds(60));
        downloader.Prefetch(urls);
        for (const QString& url : urls) {
            // Taken from what arrived ahead, with its progress reported as any download's.
            reports.progress.clear();
            EXPECT_EQ(TakeDownloaded(downloader.Download(url, 1, 0)), content) << url.toStdString();
            EXPECT_FALSE(reports.progress.empty()) << url.toStdString();
            EXPECT_EQ(reports.progress.empty() ? -1 : reports.progress.back().first,
                      content.size());
        }
        EXPECT_FALSE(gaveUp) << "the fetched-ahead answers were held back";
        downloader.EndPrefetch();
        CurlHttpClient::SetPrefetchIdleWait(idleWait);
    }

    const std::chrono::milliseconds stallTimeout = CurlHttpClient::StallTimeout();
    const std::chrono::milliseconds idleWait = CurlHttpClient::PrefetchIdleWait();
    TestServer server;
    TestServer tls{{"--tls"}};
    Downloader downloader;
    QByteArray content;
    struct Reports {
        QStringList failures;
        int canceled = 0;
        Progress progress;
    } reports;
};

// NetTest for downloads through the downloader: no download of an earlier test left in the
// temporary folder, and a proxy handler of its own.
class DownloaderTest : public NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        for (const QString& name : LeftoverDownloads())
            QDir::temp().remove(name);
        SetHandler(std::make_shared<ProxyHandlerBase>());
    }
};

const QString kProxyUser = QStringLiteral("alice");
const QString kProxyPassword = QStringLiteral("s3cret");

// NetTest with squid on 127.0.0.1, which lets kProxyUser with kProxyPassword through.
class SquidTest : public NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        ASSERT_TRUE(squid.IsRunning()) << "squid could not be started (Debian package squid)";
    }

    // squid's answers to requests for target so far, in order, as "STATUS USER" ("407 -" for
    // a bare request it refused, "200 alice"). squid logs a transaction when it ends (a tunnel
    // when the client closes it), so the log is read once it has stopped growing.
    QStringList ProxyAnswers(const TestServer& target) {
        QString log = squid.Log(), previous;
        const QDeadlineTimer deadline(5000);
        do {
            previous = log;
            QThread::msleep(200);
            log = squid.Log();
        } while (log != previous && !deadline.hasExpired());
        const QString tunnel = QStringLiteral("127.0.0.1:%1").arg(target.Port());
        QStringList answers;
        // time elapsed client RESULT/STATUS bytes method URL user hierarchy type
        for (const QString& line : log.split(u'\n', Qt::SkipEmptyParts)) {
            const QStringList field = line.simplified().split(u' ');
            if (field.size() >= 8 && (field[6].startsWith(target.Url("/")) || field[6] == tunnel))
                answers << field[3].section(u'/', 1) + u' ' + field[7];
        }
        return answers;
    }

    TestServer squid{{"--squid", kProxyUser + u':' + kProxyPassword}};
};

#pragma once

#include "net/Downloader.h"
#include "platform/FilePath.h"
#include "support/ModalAnswerer.h"
#include "support/QtPrinters.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>
#include <vector>

// port 0: binds a free port on 127.0.0.1 and answers it (free a moment ago, so a connection
// to it is refused); otherwise answers port when it accepts a connection. 0 when neither works.
inline int Loopback(int port = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    socklen_t length = sizeof address;
    const bool ok = port != 0
                        ? ::connect(fd, raw, length) == 0
                        : ::bind(fd, raw, length) == 0 && ::getsockname(fd, raw, &length) == 0;
    ::close(fd);
    return ok ? ntohs(address.sin_port) : 0;
}

// A real server on 127.0.0.1 with a folder of its own, stopped when its object goes away (or
// the test process dies).
class TestServer {
public:
    TestServer() {
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    }
    ~TestServer() {
        m_process.terminate();
        m_process.waitForFinished(3000); // then QProcess kills it
    }
    bool IsRunning() const { return m_port != 0; }
    int Port() const { return m_port; }

protected:
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
};

// The script of tests/net/data: serves a folder the test fills plus a few scripted
// misbehaviours, over TLS with a CA it makes (ca.pem in that folder), or acts as a proxy that
// refuses every credential.
class TestHttpServer : public TestServer {
public:
    enum Kind { Http, Https, RefusingProxy };
    explicit TestHttpServer(Kind kind = Http) : m_scheme(kind == Https ? "https" : "http") {
        QStringList arguments{ORVEX_TEST_DATA_DIR "/http_server.py", "--root", m_dir.path()};
        if (kind != Http)
            arguments << (kind == Https ? "--tls" : "--mode=proxy407");
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start("python3", arguments);
        // The port comes on the first line.
        while (!m_process.canReadLine() && m_process.waitForReadyRead(15000)) {
        }
        m_port = m_process.readLine().trimmed().toInt();
    }

    QString Url(const QString& path) const {
        return QStringLiteral("%1://127.0.0.1:%2%3").arg(m_scheme).arg(m_port).arg(path);
    }
    // A URL on this server that redirects to url.
    QString RedirectTo(const QString& url) const {
        return Url("/__redirect?to=" + QUrl::toPercentEncoding(url));
    }
    // Makes libcurl trust the CA of an Https server (until ClearProxyEnvironment).
    void TrustCa() const {
        ::setenv("SSL_CERT_FILE", QFile::encodeName(m_dir.filePath("ca.pem")), 1);
    }
    // Creates a file of size bytes in the served folder; the bytes cycle through the alphabet,
    // so that a chunk out of place changes the content.
    QByteArray AddFile(const QString& name, int size) {
        const QByteArray content =
            QByteArray("abcdefghijklmnopqrstuvwxyz").repeated(size / 26 + 1).left(size);
        QFile file(m_dir.filePath(name));
        if (file.open(QIODevice::WriteOnly))
            file.write(content);
        return content;
    }
    // The request lines seen so far ("GET /path auth=1").
    QStringList Requests() {
        m_process.waitForReadyRead(100);
        m_requests += QString::fromUtf8(m_process.readAllStandardOutput());
        return m_requests.split(u'\n', Qt::SkipEmptyParts);
    }

private:
    QString m_scheme;
    QString m_requests;
};

// tinyproxy with BasicAuth, logging to a file the test can read.
class TinyProxy : public TestServer {
public:
    TinyProxy(const QString& user, const QString& password) {
        const int port = Loopback();
        QFile config(m_dir.filePath("tinyproxy.conf"));
        if (config.open(QIODevice::WriteOnly))
            config.write(QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 30\nMaxClients 50\n"
                                        "Allow 127.0.0.1\nDisableViaHeader Yes\nLogLevel Connect\n"
                                        "LogFile \"%2\"\nBasicAuth %3 %4\n")
                             .arg(port)
                             .arg(m_dir.filePath("tinyproxy.log"), user, password)
                             .toUtf8());
        config.close();
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start("tinyproxy", {"-d", "-c", config.fileName()});
        // Stops early when tinyproxy cannot start or ends.
        for (QDeadlineTimer deadline(10000);
             !deadline.hasExpired() && m_process.waitForStarted(5000); ::usleep(20000))
            if ((m_port = Loopback(port)) != 0)
                return;
    }
    QString Log() const {
        QFile log(m_dir.filePath("tinyproxy.log"));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }
};

// Removes every variable that the tests set for libcurl or the engine.
inline void ClearProxyEnvironment() {
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "SSL_CERT_FILE"})
        ::unsetenv(name);
}

using Progress = std::vector<std::pair<int, int>>;

// A downloader that records what reached its report hooks; keeps a proxy handler's cancel hook.
class ObservedDownloader : public Downloader {
public:
    ObservedDownloader() {
        onConnectionFailed = [this](const CAtlString& error) { reports.failures << error; };
        onDataReadProgress = [this](int done, int total) {
            reports.progress.emplace_back(done, total);
        };
    }
    void SetProxyHandler(std::shared_ptr<ProxyHandlerBase> handler) override {
        Downloader::SetProxyHandler(std::move(handler));
        onProxyAuthCanceled = [this, inner = onProxyAuthCanceled] {
            ++reports.canceled;
            if (inner)
                inner();
        };
    }

    struct Reports {
        QStringList failures;
        int canceled = 0;
        Progress progress;
    } reports;
};

// The content of a file named by a path in the program's form.
inline QByteArray ReadDownloaded(const CAtlString& path) {
    QFile file(FilePath(path).LocalPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Names of the download files in the temporary folder.
inline QStringList LeftoverDownloads() {
    return QDir::temp().entryList({"FLVTemp*"}, QDir::Files);
}

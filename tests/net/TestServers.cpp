#include "TestServers.h"

#include "platform/FilePath.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// port 0: binds a free port and answers it; otherwise answers port when it accepts a
// connection. 0 when neither works.
int Loopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    socklen_t length = sizeof address;
    const bool ok = port != 0
                        ? ::connect(fd, raw, length) == 0
                        : ::bind(fd, raw, length) == 0 && ::getsockname(fd, raw, &length) == 0;
    ::close(fd);
    return ok ? ntohs(address.sin_port) : 0;
}

// Short-lived EC keys: quick to make, and nothing here outlives the test.
const char* const kMakeCertificates =
    "set -e; cd \"$0\"; exec >/dev/null 2>&1\n"
    "key='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes'\n"
    "openssl req -x509 $key -keyout ca.key -out ca.pem -days 2 -subj '/CN=ORVEX Test CA' "
    "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign\n"
    "openssl req $key -keyout server.key -out server.csr -subj /CN=localhost\n"
    "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\nextendedKeyUsage=serverAuth\\n' "
    ">server.ext\n"
    "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
    "-out server.pem -days 2 -extfile server.ext\n";
} // namespace

HelperProcess::HelperProcess() {
    // A helper must not outlive a test process that crashed or was killed.
    setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

HelperProcess::~HelperProcess() {
    terminate();
    waitForFinished(3000); // then QProcess kills it
}

TestHttpServer::TestHttpServer(Kind kind)
    : m_scheme(kind == Https ? QStringLiteral("https") : QStringLiteral("http")) {
    QStringList arguments{QStringLiteral(ORVEX_TEST_DATA_DIR "/http_server.py"),
                          QStringLiteral("--root"), m_root.path()};
    if (kind == RefusingProxy)
        arguments << QStringLiteral("--mode") << QStringLiteral("proxy407");
    if (kind == Https) {
        // The CA and the server's key live in the served folder; no test asks for them.
        if (QProcess::execute(
                QStringLiteral("sh"),
                {QStringLiteral("-c"), QString::fromLatin1(kMakeCertificates), m_root.path()}) != 0)
            return;
        arguments << QStringLiteral("--tls") << m_root.filePath(QStringLiteral("server.pem"))
                  << m_root.filePath(QStringLiteral("server.key"));
    }
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("python3"), arguments);
    // The port comes on the first line.
    while (!m_process.canReadLine() && m_process.waitForReadyRead(15000)) {
    }
    m_port = m_process.readLine().trimmed().toInt();
}

QString TestHttpServer::Url(const QString& path) const {
    return QStringLiteral("%1://127.0.0.1:%2%3").arg(m_scheme).arg(m_port).arg(path);
}

void TestHttpServer::TrustCa() const {
    ::setenv("SSL_CERT_FILE", QFile::encodeName(m_root.filePath(QStringLiteral("ca.pem"))), 1);
}

QByteArray TestHttpServer::AddFile(const QString& name, int size) {
    QByteArray content(size, '\0');
    for (int i = 0; i < size; ++i)
        content[i] = static_cast<char>('a' + i % 26);
    QFile file(m_root.filePath(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
    return content;
}

QStringList TestHttpServer::Requests() {
    m_process.waitForReadyRead(100);
    m_requests += QString::fromUtf8(m_process.readAllStandardOutput());
    return m_requests.split(u'\n', Qt::SkipEmptyParts);
}

TinyProxy::TinyProxy(const QString& user, const QString& password) {
    const int port = FreePort();
    QFile config(m_dir.filePath(QStringLiteral("tinyproxy.conf")));
    if (!config.open(QIODevice::WriteOnly))
        return;
    config.write(QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 30\nMaxClients 50\n"
                                "Allow 127.0.0.1\nDisableViaHeader Yes\nLogLevel Connect\n"
                                "LogFile \"%2\"\nBasicAuth %3 %4\n")
                     .arg(port)
                     .arg(m_dir.filePath(QStringLiteral("tinyproxy.log")), user, password)
                     .toUtf8());
    config.close();
    m_process.setProcessChannelMode(QProcess::ForwardedChannels);
    m_process.start(QStringLiteral("tinyproxy"),
                    {QStringLiteral("-d"), QStringLiteral("-c"), config.fileName()});
    if (!m_process.waitForStarted(5000))
        return;
    for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); ::usleep(20000))
        if (m_process.state() != QProcess::Running || (m_port = Loopback(port)) != 0)
            return;
}

QString TinyProxy::Log() const {
    QFile log(m_dir.filePath(QStringLiteral("tinyproxy.log")));
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
}

int FreePort() {
    return Loopback(0);
}

void ClearProxyEnvironment() {
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "SSL_CERT_FILE"})
        ::unsetenv(name);
}

void Observe(Downloader& downloader, Reports& reports) {
    downloader.onConnectionFailed = [&reports](const CAtlString& error) {
        reports.failures << error;
    };
    downloader.onDataReadProgress = [&reports](int done, int total) {
        reports.progress.emplace_back(done, total);
    };
    auto inner = downloader.onProxyAuthCanceled;
    downloader.onProxyAuthCanceled = [&reports, inner] {
        ++reports.canceled;
        if (inner)
            inner();
    };
}

QByteArray ReadDownloaded(const CAtlString& path) {
    QFile file(FilePath(path).LocalPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList LeftoverDownloads() {
    return QDir(QDir::tempPath()).entryList({QStringLiteral("FLVTemp*")}, QDir::Files);
}

void RemoveLeftoverDownloads() {
    for (const QString& name : LeftoverDownloads())
        QDir(QDir::tempPath()).remove(name);
}

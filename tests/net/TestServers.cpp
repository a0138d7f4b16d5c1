#include "TestServers.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// A helper must not outlive a test process that crashed or was killed.
void DieWithParent(QProcess& process) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

void Stop(QProcess& process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

bool RunTool(const QString& program, const QStringList& arguments, const QString& folder) {
    QProcess tool;
    tool.setWorkingDirectory(folder);
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(program, arguments);
    return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit &&
           tool.exitCode() == 0;
}
} // namespace

TestHttpServer::TestHttpServer(Mode mode, const QString& certificate, const QString& key)
    : m_scheme(certificate.isEmpty() ? QStringLiteral("http") : QStringLiteral("https")) {
    QStringList arguments{QStringLiteral(ORVEX_TEST_DATA_DIR "/http_server.py"),
                          QStringLiteral("--root"), m_root.path()};
    if (mode == Mode::Proxy407)
        arguments << QStringLiteral("--mode") << QStringLiteral("proxy407");
    if (!certificate.isEmpty())
        arguments << QStringLiteral("--tls") << certificate << key;
    DieWithParent(m_process);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("python3"), arguments);
    const QDeadlineTimer deadline(15000);
    while (!m_output.contains('\n') && !deadline.hasExpired() &&
           m_process.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
        m_output += m_process.readAllStandardOutput();
    const qsizetype newline = m_output.indexOf('\n');
    if (newline > 0) {
        m_port = m_output.left(newline).trimmed().toInt();
        m_output.remove(0, newline + 1);
    }
}

TestHttpServer::~TestHttpServer() {
    m_process.closeWriteChannel();
    Stop(m_process);
}

QString TestHttpServer::Url(const QString& path) const {
    return QStringLiteral("%1://127.0.0.1:%2%3").arg(m_scheme).arg(m_port).arg(path);
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
    m_output += m_process.readAllStandardOutput();
    return QString::fromUtf8(m_output).split(u'\n', Qt::SkipEmptyParts);
}

TinyProxy::TinyProxy(const QString& user, const QString& password) {
    const int port = FreePort();
    QFile config(m_dir.filePath(QStringLiteral("tinyproxy.conf")));
    if (!config.open(QIODevice::WriteOnly))
        return;
    config.write(QStringLiteral("Port %1\n"
                                "Listen 127.0.0.1\n"
                                "Timeout 30\n"
                                "MaxClients 50\n"
                                "Allow 127.0.0.1\n"
                                "DisableViaHeader Yes\n"
                                "LogLevel Connect\n"
                                "LogFile \"%2\"\n"
                                "BasicAuth %3 %4\n")
                     .arg(port)
                     .arg(m_dir.filePath(QStringLiteral("tinyproxy.log")), user, password)
                     .toUtf8());
    config.close();
    DieWithParent(m_process);
    m_process.setProcessChannelMode(QProcess::ForwardedChannels);
    m_process.start(QStringLiteral("tinyproxy"),
                    {QStringLiteral("-d"), QStringLiteral("-c"), config.fileName()});
    if (!m_process.waitForStarted(5000))
        return;
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        if (Accepts(port)) {
            m_port = port;
            return;
        }
        ::usleep(20000);
    }
}

TinyProxy::~TinyProxy() {
    Stop(m_process);
}

QString TinyProxy::Log() const {
    QFile log(m_dir.filePath(QStringLiteral("tinyproxy.log")));
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
}

TestCertificates::TestCertificates() {
    // Short-lived EC keys: quick to make, and nothing here outlives the test.
    const char* script =
        "set -e\n"
        "key='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes'\n"
        "openssl req -x509 $key -keyout ca.key -out ca.pem -days 2 -subj '/CN=ORVEX Test CA' "
        "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign\n"
        "openssl req $key -keyout server.key -out server.csr -subj /CN=localhost\n"
        "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\nextendedKeyUsage=serverAuth\\n' "
        ">server.ext\n"
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
        "-out server.pem -days 2 -extfile server.ext\n";
    m_valid = RunTool(QStringLiteral("sh"), {QStringLiteral("-c"), QString::fromLatin1(script)},
                      m_dir.path());
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

void ClearProxyEnvironment() {
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
          "no_proxy", "NO_PROXY", "ftp_proxy", "FTP_PROXY", "SSL_CERT_FILE", "SSL_CERT_DIR"})
        ::unsetenv(name);
}

#include "NetTestSupport.h"
#include "platform/FilePath.h"

#include <QDir>

QByteArray ReadDownloaded(const CAtlString& path) {
    QByteArray content;
    FILE* file = FilePath(path).OpenStream("rb");
    if (!file)
        return content;
    char buffer[4096];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        content.append(buffer, static_cast<qsizetype>(count));
    std::fclose(file);
    return content;
}

QStringList LeftoverDownloads() {
    return QDir(QDir::tempPath()).entryList({QStringLiteral("FLVTemp*")}, QDir::Files);
}

void RemoveLeftoverDownloads() {
    QDir temp(QDir::tempPath());
    for (const QString& name : LeftoverDownloads())
        temp.remove(name);
}

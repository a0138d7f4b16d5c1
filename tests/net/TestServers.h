#pragma once

#include "support/ModalAnswerer.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class QWidget;

// Real servers for the network tests: each runs on 127.0.0.1 on a free port, is started by
// the test that needs it and stopped when its object goes away (or the test process dies).

// The HTTP(S) server script of tests/net/data: serves a folder the test fills, plus a few
// scripted misbehaviours, or acts as a proxy that refuses every credential.
class TestHttpServer {
public:
    enum class Mode { Files, Proxy407 };
    // certificate and key empty: plain HTTP.
    explicit TestHttpServer(Mode mode = Mode::Files, const QString& certificate = {},
                            const QString& key = {});
    ~TestHttpServer();

    bool IsRunning() const { return m_port != 0; }
    int Port() const { return m_port; }
    QString Url(const QString& path) const;
    // Creates a file of size bytes under the served folder (bytes cycle through a pattern).
    QByteArray AddFile(const QString& name, int size);
    // The request lines seen so far ("GET /path auth=1").
    QStringList Requests();

private:
    QTemporaryDir m_root;
    QProcess m_process;
    QByteArray m_output;
    QString m_scheme;
    int m_port = 0;
};

// tinyproxy with BasicAuth, logging to a file the test can read.
class TinyProxy {
public:
    TinyProxy(const QString& user, const QString& password);
    ~TinyProxy();

    bool IsRunning() const { return m_port != 0; }
    int Port() const { return m_port; }
    QString Log() const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
};

// A CA and a server certificate for 127.0.0.1 and localhost signed by it, made with the
// openssl tool for this test only.
class TestCertificates {
public:
    TestCertificates();
    bool IsValid() const { return m_valid; }
    QString CaFile() const { return m_dir.filePath(QStringLiteral("ca.pem")); }
    QString CertificateFile() const { return m_dir.filePath(QStringLiteral("server.pem")); }
    QString KeyFile() const { return m_dir.filePath(QStringLiteral("server.key")); }

private:
    QTemporaryDir m_dir;
    bool m_valid = false;
};

// A port on 127.0.0.1 that was free a moment ago (so a connection to it is refused).
int FreePort();
// Removes every proxy variable that libcurl or the engine could read.
void ClearProxyEnvironment();

#pragma once

#include "net/Downloader.h"
#include "support/ModalAnswerer.h"
#include "support/QtPrinters.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <utility>
#include <vector>

// Real servers for the network tests: each runs on 127.0.0.1 on a free port, is started by
// the test that needs it and stopped when its object goes away (or the test process dies).
class HelperProcess : public QProcess {
public:
    HelperProcess();
    ~HelperProcess() override;
};

// The server script of tests/net/data: serves a folder the test fills plus a few scripted
// misbehaviours, over TLS with a certificate of a CA made by openssl for this server only, or
// acts as a proxy that refuses every credential.
class TestHttpServer {
public:
    enum Kind { Http, Https, RefusingProxy };
    explicit TestHttpServer(Kind kind = Http);

    bool IsRunning() const { return m_port != 0; }
    int Port() const { return m_port; }
    QString Url(const QString& path) const;
    // Makes libcurl trust the CA of an Https server (until ClearProxyEnvironment).
    void TrustCa() const;
    // Creates a file of size bytes in the served folder (bytes cycle through a pattern).
    QByteArray AddFile(const QString& name, int size);
    // The request lines seen so far ("GET /path auth=1").
    QStringList Requests();

private:
    QTemporaryDir m_root;
    HelperProcess m_process;
    QString m_requests;
    QString m_scheme;
    int m_port = 0;
};

// tinyproxy with BasicAuth, logging to a file the test can read.
class TinyProxy {
public:
    TinyProxy(const QString& user, const QString& password);
    bool IsRunning() const { return m_port != 0; }
    int Port() const { return m_port; }
    QString Log() const;

private:
    QTemporaryDir m_dir;
    HelperProcess m_process;
    int m_port = 0;
};

// A port on 127.0.0.1 that was free a moment ago (so a connection to it is refused).
int FreePort();
// Removes every variable that the tests set for libcurl or the engine.
void ClearProxyEnvironment();

// What reached a downloader's report hooks during the test.
struct Reports {
    QStringList failures;
    int canceled = 0;
    std::vector<std::pair<int, int>> progress;
};
// Records failures and progress; wraps (keeps) a cancel hook that a proxy handler bound.
void Observe(Downloader& downloader, Reports& reports);

// The content of a file named by a path in the program's form.
QByteArray ReadDownloaded(const CAtlString& path);
// Names of the download files in the temporary folder.
QStringList LeftoverDownloads();
void RemoveLeftoverDownloads();

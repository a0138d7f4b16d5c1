#pragma once

#include "platform/AtlString.h"

#include <QObject>

class ConnectionInfo;

// Receives the engine's reports on the thread that started the download and hands them to
// the ConnectionInfo hooks there; answers a credentials request with ProxyAuthRequestDoneSignal.
// A child of its QtDownloaderBase and, like it, never moved to the worker thread.
class QtDownloaderSignalProxy : public QObject {
    Q_OBJECT
public:
    explicit QtDownloaderSignalProxy(QObject* parent = nullptr);

    void SetConnectionInfo(ConnectionInfo* info) { m_connectionInfo = info; }

signals:
    void ProxyAuthRequestDoneSignal(bool, CAtlString userName, CAtlString password);

public slots:
    void ConnectionFailedSlot(CAtlString error);
    void ProxyAuthCanceledSlot();
    void DataReadProgressSlot(int done, int total);
    // Asks the ConnectionInfo (which may show the credentials dialog), then sends the answer.
    bool ProxyAuthRequiredSlot(CAtlString host, int port, CAtlString userName, CAtlString password);

private:
    ConnectionInfo* m_connectionInfo = nullptr;
};

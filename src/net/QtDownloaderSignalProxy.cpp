#include "net/QtDownloaderSignalProxy.h"

#include "net/ConnectionInfo.h"

QtDownloaderSignalProxy::QtDownloaderSignalProxy(QObject* parent) : QObject(parent) {}

void QtDownloaderSignalProxy::ConnectionFailedSlot(CAtlString error) {
    if (m_connectionInfo)
        m_connectionInfo->ConnectionFailed(error);
}

void QtDownloaderSignalProxy::ProxyAuthCanceledSlot() {
    if (m_connectionInfo)
        m_connectionInfo->ProxyAuthCanceled();
}

void QtDownloaderSignalProxy::DataReadProgressSlot(int done, int total) {
    if (m_connectionInfo)
        m_connectionInfo->DataReadProgress(done, total);
}

bool QtDownloaderSignalProxy::ProxyAuthRequiredSlot(CAtlString host, int port, CAtlString userName,
                                                    CAtlString password) {
    // Without a ConnectionInfo nobody can answer, which counts as declining; the worker waits
    // for an answer either way, so one is always sent.
    const bool ok =
        m_connectionInfo && m_connectionInfo->ProxyAuthRequired(host, port, userName, password);
    emit ProxyAuthRequestDoneSignal(ok, userName, password);
    return ok;
}

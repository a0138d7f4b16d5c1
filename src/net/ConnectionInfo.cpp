#include "net/ConnectionInfo.h"

void ConnectionInfo::ConnectionFailed(const CAtlString& error) {
    if (onConnectionFailed)
        onConnectionFailed(error);
}

void ConnectionInfo::ProxyAuthCanceled() {
    if (onProxyAuthCanceled)
        onProxyAuthCanceled();
}

bool ConnectionInfo::ProxyAuthRequired(const CAtlString& host, int port, CAtlString& userName,
                                       CAtlString& password) {
    return onProxyAuthRequired && onProxyAuthRequired(host, port, userName, password);
}

void ConnectionInfo::DataReadProgress(int done, int total) {
    if (onDataReadProgress)
        onDataReadProgress(done, total);
}

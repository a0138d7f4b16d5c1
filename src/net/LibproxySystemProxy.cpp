#include "net/LibproxySystemProxy.h"

#include <QUrl>

#include <proxy.h>

LibproxySystemProxy::~LibproxySystemProxy() {
    if (m_factory)
        px_proxy_factory_free(m_factory);
}

SystemProxyAddress LibproxySystemProxy::ProxyFor(const CAtlString& url) {
    QStringList choices;
    {
        std::lock_guard lock(m_lock);
        if (!m_factory)
            m_factory = px_proxy_factory_new();
        if (!m_factory)
            return {};
        char** answer = px_proxy_factory_get_proxies(m_factory, url.toUtf8().constData());
        for (char** entry = answer; entry && *entry; ++entry)
            choices << QString::fromUtf8(*entry);
        px_proxy_factory_free_proxies(answer);
    }
    return FirstUsable(choices);
}

SystemProxyAddress LibproxySystemProxy::FirstUsable(const QStringList& choices) {
    for (const QString& choice : choices) {
        const QUrl proxy(choice);
        const QString scheme = proxy.scheme().toLower();
        if (scheme == u"direct")
            return {};
        if (scheme != u"http" || proxy.host().isEmpty())
            continue;
        SystemProxyAddress address;
        address.host = proxy.host().contains(u':') ? u'[' + proxy.host() + u']' : proxy.host();
        // A proxy named without a port is reached on the port HTTP proxies conventionally
        // use, as libcurl does.
        address.port = proxy.port(1080);
        address.userName = proxy.userName(QUrl::FullyDecoded);
        address.password = proxy.password(QUrl::FullyDecoded);
        return address;
    }
    return {};
}

#include "net/LibproxySystemProxy.h"

#include "net/EnvironmentProxy.h"

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
        if (choice.startsWith(u"direct://", Qt::CaseInsensitive))
            return {};
        // Read as any other proxy address is; a kind the engine cannot speak (SOCKS) comes back
        // direct and is passed over.
        if (SystemProxyAddress address = ParseProxyAddress(choice); !address.IsDirect())
            return address;
    }
    return {};
}

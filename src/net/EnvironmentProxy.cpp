#include "net/EnvironmentProxy.h"

#include <QRegularExpression>
#include <QUrl>

QString ProcessVariable(const char* name) {
    return qEnvironmentVariable(name).trimmed();
}

SystemProxyAddress ParseProxyAddress(const QString& text) {
    QString address = text.trimmed();
    // libcurl takes an address without a scheme as an HTTP proxy; so does every tool that
    // follows it, and administrators write it that way.
    if (!address.contains(QStringLiteral("://")))
        address.prepend(QStringLiteral("http://"));
    const QUrl url(address);
    SystemProxyAddress proxy;
    // The engine speaks only HTTP to proxies (HTTPS goes through them with CONNECT).
    if (url.scheme().compare(u"http", Qt::CaseInsensitive) != 0 || url.host().isEmpty())
        return proxy;
    proxy.host = url.host().contains(u':') ? u'[' + url.host() + u']' : url.host();
    // libcurl's default port for a proxy named without one.
    proxy.port = url.port(1080);
    proxy.userName = url.userName(QUrl::FullyDecoded);
    proxy.password = url.password(QUrl::FullyDecoded);
    return proxy;
}

bool NoProxyExempts(const QString& list, const QString& host, int port) {
    const QString name = host.toLower();
    for (QString entry :
         list.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts)) {
        entry = entry.toLower();
        if (entry == u"*")
            return true;
        // "host:port" exempts that port only; a bracketed IPv6 address keeps its colons.
        int entryPort = 0;
        const qsizetype colon = entry.lastIndexOf(u':');
        if (colon > 0 &&
            (entry.startsWith(u'[') ? entry.at(colon - 1) == u']' : entry.indexOf(u':') == colon)) {
            bool isNumber = false;
            entryPort = entry.mid(colon + 1).toInt(&isNumber);
            if (!isNumber)
                continue;
            entry.truncate(colon);
        }
        if (entryPort != 0 && entryPort != port)
            continue;
        if (entry.startsWith(u'[') && entry.endsWith(u']'))
            entry = entry.mid(1, entry.size() - 2);
        // ".example.com", "example.com" and GNOME's "*.example.com" all name the domain and
        // every host within it.
        while (entry.startsWith(u'.') || entry.startsWith(QStringLiteral("*.")))
            entry.remove(0, 1);
        if (entry.isEmpty())
            continue;
        if (name == entry || name.endsWith(u'.' + entry))
            return true;
    }
    return false;
}

SystemProxyAddress EnvironmentProxyFor(const CAtlString& url, const EnvironmentVariable& variable) {
    const QUrl address(url);
    const bool secure = address.scheme().compare(u"https", Qt::CaseInsensitive) == 0;
    const char* const httpNames[] = {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"};
    const char* const httpsNames[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
    SystemProxyAddress proxy;
    for (const char* name : secure ? httpsNames : httpNames) {
        const QString value = variable(name);
        if (value.isEmpty())
            continue;
        const QString noProxy =
            variable("no_proxy").isEmpty() ? variable("NO_PROXY") : variable("no_proxy");
        if (NoProxyExempts(noProxy, address.host(), address.port(secure ? 443 : 80))) {
            proxy.source = SystemProxyAddress::Environment;
            proxy.setting = variable("no_proxy").isEmpty() ? QStringLiteral("NO_PROXY")
                                                           : QStringLiteral("no_proxy");
            return proxy;
        }
        if (value.startsWith(QStringLiteral("pac+"), Qt::CaseInsensitive)) {
            proxy.source = SystemProxyAddress::ProxyScript;
            proxy.setting = value.mid(4);
            return proxy;
        }
        proxy = ParseProxyAddress(value);
        proxy.source = SystemProxyAddress::Environment;
        proxy.setting = QString::fromLatin1(name);
        return proxy;
    }
    return proxy;
}

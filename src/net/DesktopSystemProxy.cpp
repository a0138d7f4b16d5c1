#include "net/DesktopSystemProxy.h"

#include "net/GnomeProxySettings.h"
#include "net/LibproxySystemProxy.h"
#include "net/ProxyScript.h"

#include <QUrl>

DesktopSystemProxy::DesktopSystemProxy() : m_kde(std::make_unique<LibproxySystemProxy>()) {}

DesktopSystemProxy::~DesktopSystemProxy() = default;

SystemProxyAddress DesktopSystemProxy::ProxyFor(const CAtlString& url) {
    if (std::optional<SystemProxyAddress> gnome = FromGnome(GnomeProxySettings::Read(), url))
        return *gnome;
    if (KdeSession()) {
        SystemProxyAddress kde = m_kde->ProxyFor(url);
        if (!kde.IsDirect()) {
            kde.source = SystemProxyAddress::Desktop;
            kde.setting = QStringLiteral("KDE");
            return kde;
        }
    }
    const SystemProxyAddress environment = EnvironmentProxyFor(url);
    if (environment.source == SystemProxyAddress::ProxyScript && environment.IsDirect())
        return FromScript(environment.setting, url);
    return environment;
}

std::optional<SystemProxyAddress> DesktopSystemProxy::FromGnome(const GnomeProxySettings& gnome,
                                                                const CAtlString& url) {
    if (gnome.mode == GnomeProxySettings::None)
        return std::nullopt;
    const QUrl address(url);
    const bool secure = address.scheme().compare(u"https", Qt::CaseInsensitive) == 0;
    SystemProxyAddress direct;
    direct.source = SystemProxyAddress::Desktop;
    direct.setting = QStringLiteral("GNOME");
    if (NoProxyExempts(gnome.ignoreHosts.join(u','), address.host(),
                       address.port(secure ? 443 : 80)))
        return direct;
    if (gnome.mode == GnomeProxySettings::Auto)
        return gnome.autoconfigUrl.isEmpty() ? direct : FromScript(gnome.autoconfigUrl, url);
    // HTTPS goes through its own proxy where one is set, else through the HTTP one, as GNOME's
    // own programs do.
    const bool ownHttps = secure && !gnome.httpsHost.isEmpty();
    const QString host = ownHttps ? gnome.httpsHost : gnome.httpHost;
    if (host.isEmpty())
        return direct;
    SystemProxyAddress proxy = ParseProxyAddress(host);
    proxy.port = ownHttps ? gnome.httpsPort : gnome.httpPort;
    if (proxy.port <= 0)
        proxy.port = 8080;
    if (gnome.useAuthentication) {
        proxy.userName = gnome.userName;
        proxy.password = gnome.password;
    }
    proxy.source = SystemProxyAddress::Desktop;
    proxy.setting = QStringLiteral("GNOME");
    return proxy;
}

bool DesktopSystemProxy::KdeSession() const {
    return !qEnvironmentVariableIsEmpty("KDE_FULL_SESSION") ||
           qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(u':').contains(QStringLiteral("KDE"));
}

SystemProxyAddress DesktopSystemProxy::FromScript(const QString& address, const CAtlString& url) {
    std::shared_ptr<ProxyScript> script;
    {
        std::lock_guard lock(m_scriptsLock);
        std::shared_ptr<ProxyScript>& known = m_scripts[address];
        if (!known)
            known = std::make_shared<ProxyScript>(address);
        script = known;
    }
    return script->ProxyFor(url);
}

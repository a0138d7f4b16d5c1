#pragma once

#include "net/EnvironmentProxy.h"
#include "net/SystemProxy.h"

#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

class LibproxySystemProxy;
class ProxyScript;
struct GnomeProxySettings;

// The desktop's proxy configuration in one order a person can predict:
//   1. GNOME's settings (org.gnome.system.proxy) whenever their mode is manual or auto,
//      whatever the session variables say;
//   2. KDE's settings in a KDE session (KDE_FULL_SESSION, or KDE in XDG_CURRENT_DESKTOP),
//      read through libproxy's KDE plugin;
//   3. the environment, read as curl reads it (EnvironmentProxy.h);
//   4. direct.
// A setting that leaves the proxy to a script (GNOME's auto mode, pac+http:// in the
// environment) has the script decide (ProxyScript). A desktop that says nothing (GNOME's
// default mode 'none', KDE sending an address direct) does not hide the environment.
// Automatic discovery (WPAD) is never attempted: no setting here asks for it. Any thread.
class DesktopSystemProxy : public ISystemProxy {
public:
    DesktopSystemProxy();
    ~DesktopSystemProxy() override;

    SystemProxyAddress ProxyFor(const CAtlString& url) override;

    // What GNOME's settings say for url, or nullopt where they leave it to the next setting.
    // Public with its reader's result as input, so that the rule can be checked on its own.
    std::optional<SystemProxyAddress> FromGnome(const GnomeProxySettings& gnome,
                                                const CAtlString& url);

private:
    bool KdeSession() const;
    // The script at address, fetched once per run.
    SystemProxyAddress FromScript(const QString& address, const CAtlString& url);

    std::unique_ptr<LibproxySystemProxy> m_kde;
    std::mutex m_scriptsLock;
    std::map<QString, std::shared_ptr<ProxyScript>> m_scripts;
};

#pragma once

#include "platform/AtlString.h"

#include <cstdint>
#include <map>
#include <memory>
#include <utility>

class ISystemProxy;
class QWidget;

// The proxy settings of one run and the answers to the engine's requests for proxy
// credentials. Held shared by the workflow, the main window and the downloader; used on the
// interface thread only. It creates no Qt object until a dialog is needed, so it may outlive
// the application object.
class ProxyHandlerBase {
public:
    // The desktop's proxy configuration is read as DesktopSystemProxy orders it.
    ProxyHandlerBase();
    virtual ~ProxyHandlerBase();

    // host may carry its own port ("proxy:8080"); it is then used as it is while no port
    // has been set through Connection Options.
    void SetOverrideProxy(const CAtlString& host) {
        m_host = host;
        m_hostSetting = QStringLiteral("command line");
    }
    // Reads the proxy the administrator stored in the machine's registry (the machine hive,
    // which only root may write; never a user's value). Downloads take it when the run has no
    // proxy of its own, before anything the desktop or the environment names.
    void ReadAdministratorProxy();
    // Where the proxy that downloads take was set, as -verbose names it.
    CAtlString ProxySetting() const {
        return HasProxyHost() || m_adminHost.isEmpty() ? m_hostSetting
                                                       : QStringLiteral("administrator");
    }
    // The proxy that downloads take: the run's own, else the administrator's; empty host when
    // neither names one. port 0 means that no port was set. A stored login that a proxy has
    // refused is handed out as none.
    void GetProxySettings(CAtlString& host, int32_t& port, CAtlString& userName,
                          CAtlString& password) const;

    // Answers a request for credentials while a download of url waits: stored credentials
    // once, then the credentials dialog when allowed; false declines. Shows a modal dialog.
    // userName and password come in as the login the proxy has just refused (empty when
    // none was refused); a refused stored login is not handed out again until it changes.
    // The run's own login (-username, -password, ORVEX_PROXY_PASSWORD, Connection Options)
    // belongs to the proxy a person named: the run's own, else the administrator's. Asked by
    // any other proxy (one the desktop, a script or the environment chose), only the dialog
    // answers, naming that proxy, and a login typed there is kept for that proxy alone.
    bool OnProxyAuthRequired(const CAtlString& host, int port, CAtlString& userName,
                             CAtlString& password, const CAtlString& url = {});
    // A request was declined: every later one is declined without asking, until the user
    // accepts Connection Options.
    void OnProxyAuthCanceled() { m_cancelled = true; }
    // The Connection Options dialog over parent; true when the user accepted it.
    bool ShowConnectionOptions(QWidget* parent);
    // Writes host and port to the machine's registry; true when the port was written.
    bool StoreProxySettings();
    // True when this run goes through a proxy of its own (command line or Connection Options).
    bool HasProxyHost() const { return !m_host.isEmpty(); }
    // True when downloads go through a proxy that the user or the administrator named.
    bool HasNamedProxy() const { return HasProxyHost() || !m_adminHost.isEmpty(); }

    // The desktop's proxy configuration that downloads without a proxy of this run's own fall
    // back on; tests hand in their own. Never null.
    void SetSystemProxy(std::shared_ptr<ISystemProxy> systemProxy);
    const std::shared_ptr<ISystemProxy>& SystemProxy() const { return m_systemProxy; }
    // The mode a download without a proxy of the run's own starts in: direct until a download
    // has reached its server only through the system's proxy, then that one, so that a blocked
    // direct route costs its time limit once per run, not once per download.
    int32_t StartMode() const { return m_startMode; }
    // A download reached its server (any answer from it or its proxy) in mode.
    void RememberReachedMode(int32_t mode);

    // Set directly by the workflow and read by the main window.
    CAtlString userName;
    CAtlString password;
    bool credentialsDialogAllowed = false;

private:
    bool StoredLoginRefused() const;

    CAtlString m_host;
    CAtlString m_hostSetting;
    int32_t m_port = 0;
    CAtlString m_adminHost; // as stored: it may carry its own port, as m_host may
    int32_t m_adminPort = 0;
    // Logins typed into the dialog for proxies other than the run's own, by "host:port".
    std::map<CAtlString, std::pair<CAtlString, CAtlString>> m_otherLogins;
    bool m_credentialsUsed = false;
    bool m_cancelled = false;
    CAtlString m_refusedUserName; // the stored login a proxy refused; empty: none
    CAtlString m_refusedPassword;
    std::shared_ptr<ISystemProxy> m_systemProxy;
    int32_t m_startMode = 0; // ModeDirect
};

#include "net/ProxyHandlerBase.h"

#include "net/ConnectionInfo.h"
#include "net/DesktopSystemProxy.h"
#include "net/ProxyAuth.h"
#include "platform/Settings.h"

#include <algorithm>
#include <tuple>

namespace {
const CAtlString kProxyKey =
    QStringLiteral("Software/ORVEX Technologies/Tavlo Software/ProxyInformation");
}

ProxyHandlerBase::ProxyHandlerBase() : m_systemProxy(std::make_shared<DesktopSystemProxy>()) {}

ProxyHandlerBase::~ProxyHandlerBase() = default;

void ProxyHandlerBase::SetSystemProxy(std::shared_ptr<ISystemProxy> systemProxy) {
    m_systemProxy = systemProxy ? std::move(systemProxy) : std::make_shared<DesktopSystemProxy>();
}

void ProxyHandlerBase::RememberReachedMode(int32_t mode) {
    if (mode == ModeDirect || mode == ModeSystemProxy)
        m_startMode = mode;
}

void ProxyHandlerBase::ReadAdministratorProxy() {
    // Only the machine hive: a value the user could write would let anything running as the
    // user send the run's login to a proxy of its choosing.
    m_adminHost = ReadSettingString(LocalMachine, kProxyKey, QStringLiteral("HttpProxyHost"), {},
                                    nullptr, kRegistryMarker)
                      .trimmed();
    m_adminPort = std::max(ReadSettingInt(LocalMachine, kProxyKey, QStringLiteral("HttpProxyPort"),
                                          0, nullptr, kRegistryMarker),
                           0);
}

void ProxyHandlerBase::GetProxySettings(CAtlString& host, int32_t& port, CAtlString& user,
                                        CAtlString& pass) const {
    const bool own = HasProxyHost();
    host = own ? m_host : m_adminHost;
    port = own ? m_port : m_adminPort;
    const bool refused = StoredLoginRefused();
    user = refused ? QString() : userName;
    pass = refused ? QString() : password;
}

bool ProxyHandlerBase::StoredLoginRefused() const {
    return !m_refusedUserName.isEmpty() && userName == m_refusedUserName &&
           password == m_refusedPassword;
}

bool ProxyHandlerBase::OnProxyAuthRequired(const CAtlString& host, int port,
                                           CAtlString& userNameInOut, CAtlString& passwordInOut,
                                           const CAtlString& url) {
    // Downloads without a proxy that the user or the administrator named go through whatever
    // the desktop, a script or the environment chose, and a script fetched over plain HTTP
    // can name any proxy: the run's login is not for it.
    const bool ownProxy = HasNamedProxy();
    const CAtlString proxyKey = host + u':' + QString::number(port);
    // Where the proxy checks logins against the company directory, every refused attempt
    // counts towards locking the account: the stored login that was refused stays unused
    // until it is changed.
    if (ownProxy && !userNameInOut.isEmpty() && userNameInOut == userName &&
        passwordInOut == password) {
        m_refusedUserName = userName;
        m_refusedPassword = password;
    }
    if (m_cancelled)
        return false;
    // Credentials from the command line are tried once without bothering the user.
    if (ownProxy && !m_credentialsUsed && !userName.isEmpty() && !StoredLoginRefused()) {
        m_credentialsUsed = true;
        userNameInOut = userName;
        passwordInOut = password;
        return true;
    }
    // A login typed for this other proxy earlier in the run, unless it has just refused it.
    if (const auto typed = m_otherLogins.find(proxyKey);
        !ownProxy && typed != m_otherLogins.end() && userNameInOut.isEmpty()) {
        std::tie(userNameInOut, passwordInOut) = typed->second;
        return true;
    }
    if (!credentialsDialogAllowed)
        return false;

    ProxyAuth dialog;
    dialog.SetHost(host);
    dialog.SetPort(port);
    dialog.SetRequest(host.isEmpty() ? QString() : proxyKey, url);
    // The user name the proxy's own setting holds, else the one given to the program (a
    // name is no secret); a password only for the run's own proxy, and never one refused,
    // which would take one click to send once more.
    dialog.SetUserName(userNameInOut.isEmpty() ? userName : userNameInOut);
    dialog.SetPassword(ownProxy && !StoredLoginRefused() ? password : QString());
    dialog.SetAuthenticationRequiredMode();
    if (dialog.exec() != QDialog::Accepted) {
        m_cancelled = true;
        return false;
    }
    userNameInOut = dialog.GetUserName();
    passwordInOut = dialog.GetPassword();
    if (!ownProxy) {
        m_otherLogins[proxyKey] = {userNameInOut, passwordInOut};
        return true;
    }
    // Host and port are only shown in this look; the user answers with credentials.
    userName = userNameInOut;
    password = passwordInOut;
    m_credentialsUsed = true;
    return true;
}

bool ProxyHandlerBase::ShowConnectionOptions(QWidget* parent) {
    ProxyAuth dialog(parent);
    dialog.SetHost(m_host);
    dialog.SetPort(m_port);
    dialog.SetUserName(userName);
    dialog.SetPassword(password);
    const int answer = dialog.exec();
    // Answered: the parent must not keep it among its children any longer.
    dialog.setParent(nullptr);
    if (answer != QDialog::Accepted)
        return false;

    const CAtlString oldHost = m_host;
    // The user vouches for these settings anew, a refused login included.
    m_cancelled = false;
    m_refusedUserName.clear();
    m_host = dialog.GetHost();
    m_hostSetting = QStringLiteral("Connection Options");
    m_port = dialog.GetPort();
    userName = dialog.GetUserName();
    password = dialog.GetPassword();
    // Where the user may write the machine hive, what is written there is the
    // administrator's proxy from now on.
    if (m_host != oldHost && StoreProxySettings())
        ReadAdministratorProxy();
    return true;
}

bool ProxyHandlerBase::StoreProxySettings() {
    WriteSettingString(LocalMachine, kProxyKey, QStringLiteral("HttpProxyHost"), m_host,
                       kRegistryMarker);
    return WriteSettingInt(LocalMachine, kProxyKey, QStringLiteral("HttpProxyPort"), m_port,
                           kRegistryMarker) == 0;
}

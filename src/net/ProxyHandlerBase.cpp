#include "net/ProxyHandlerBase.h"

#include "net/ConnectionInfo.h"
#include "net/LibproxySystemProxy.h"
#include "net/ProxyAuth.h"
#include "platform/Settings.h"

namespace {
const CAtlString kProxyKey =
    QStringLiteral("Software/ORVEX Technologies/Tavlo Software/ProxyInformation");
}

ProxyHandlerBase::ProxyHandlerBase() : m_systemProxy(std::make_shared<LibproxySystemProxy>()) {}

ProxyHandlerBase::~ProxyHandlerBase() = default;

void ProxyHandlerBase::SetSystemProxy(std::shared_ptr<ISystemProxy> systemProxy) {
    m_systemProxy = systemProxy ? std::move(systemProxy) : std::make_shared<LibproxySystemProxy>();
}

void ProxyHandlerBase::RememberReachedMode(int32_t mode) {
    if (mode == ModeDirect || mode == ModeSystemProxy)
        m_startMode = mode;
}

void ProxyHandlerBase::GetProxySettings(CAtlString& host, int32_t& port, CAtlString& user,
                                        CAtlString& pass) const {
    host = m_host;
    port = m_port;
    const bool refused = StoredLoginRefused();
    user = refused ? QString() : userName;
    pass = refused ? QString() : password;
}

bool ProxyHandlerBase::StoredLoginRefused() const {
    return !m_refusedUserName.isEmpty() && userName == m_refusedUserName &&
           password == m_refusedPassword;
}

bool ProxyHandlerBase::OnProxyAuthRequired(const CAtlString& host, int port,
                                           CAtlString& userNameInOut, CAtlString& passwordInOut) {
    // Where the proxy checks logins against the company directory, every refused attempt
    // counts towards locking the account: the stored login that was refused stays unused
    // until it is changed.
    if (!userNameInOut.isEmpty() && userNameInOut == userName && passwordInOut == password) {
        m_refusedUserName = userName;
        m_refusedPassword = password;
    }
    if (m_cancelled)
        return false;
    // Credentials from the command line are tried once without bothering the user.
    if (!m_credentialsUsed && !userName.isEmpty() && !StoredLoginRefused()) {
        m_credentialsUsed = true;
        userNameInOut = userName;
        passwordInOut = password;
        return true;
    }
    if (!credentialsDialogAllowed)
        return false;

    ProxyAuth dialog;
    dialog.SetHost(host);
    dialog.SetPort(port);
    dialog.SetUserName(userName);
    // A refused password offered again would take one click to send once more.
    dialog.SetPassword(StoredLoginRefused() ? QString() : password);
    dialog.SetAuthenticationRequiredMode();
    if (dialog.exec() != QDialog::Accepted) {
        m_cancelled = true;
        return false;
    }
    // Host and port are only shown in this look; the user answers with credentials.
    userName = dialog.GetUserName();
    password = dialog.GetPassword();
    m_credentialsUsed = true;
    userNameInOut = userName;
    passwordInOut = password;
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
    m_port = dialog.GetPort();
    userName = dialog.GetUserName();
    password = dialog.GetPassword();
    if (m_host != oldHost)
        StoreProxySettings();
    return true;
}

bool ProxyHandlerBase::StoreProxySettings() {
    WriteSettingString(LocalMachine, kProxyKey, QStringLiteral("HttpProxyHost"), m_host,
                       kRegistryMarker);
    return WriteSettingInt(LocalMachine, kProxyKey, QStringLiteral("HttpProxyPort"), m_port,
                           kRegistryMarker) == 0;
}

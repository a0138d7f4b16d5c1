#include "net/ProxyHandlerBase.h"

#include "net/ProxyAuth.h"
#include "platform/Settings.h"

namespace {
const CAtlString kProxyKey =
    QStringLiteral("Software/ORVEX Technologies/Tavlo Software/ProxyInformation");
}

void ProxyHandlerBase::GetProxySettings(CAtlString& host, int32_t& port, CAtlString& user,
                                        CAtlString& pass) const {
    host = m_host;
    port = m_port;
    user = userName;
    pass = password;
}

bool ProxyHandlerBase::OnProxyAuthRequired(const CAtlString& host, int port,
                                           CAtlString& userNameOut, CAtlString& passwordOut) {
    if (m_cancelled)
        return false;
    // Credentials from the command line are tried once without bothering the user.
    if (!m_credentialsUsed && !userName.isEmpty()) {
        m_credentialsUsed = true;
        userNameOut = userName;
        passwordOut = password;
        return true;
    }
    if (!credentialsDialogAllowed)
        return false;

    ProxyAuth dialog;
    dialog.SetHost(host);
    dialog.SetPort(port);
    dialog.SetUserName(userName);
    dialog.SetPassword(password);
    dialog.SetAuthenticationRequiredMode();
    if (dialog.exec() != QDialog::Accepted) {
        m_cancelled = true;
        return false;
    }
    // Host and port are only shown in this look; the user answers with credentials.
    userName = dialog.GetUserName();
    password = dialog.GetPassword();
    m_credentialsUsed = true;
    userNameOut = userName;
    passwordOut = password;
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
    m_cancelled = false;
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

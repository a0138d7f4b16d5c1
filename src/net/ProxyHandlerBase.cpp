#include "net/ProxyHandlerBase.h"

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

bool ProxyHandlerBase::StoreProxySettings() {
    WriteSettingString(LocalMachine, kProxyKey, QStringLiteral("HttpProxyHost"), m_host,
                       kRegistryMarker);
    return WriteSettingInt(LocalMachine, kProxyKey, QStringLiteral("HttpProxyPort"), m_port,
                           kRegistryMarker) == 0;
}

#pragma once

#include "platform/AtlString.h"

#include <cstdint>

// The proxy settings of one run. Stand-in: holds the settings; the credentials dialog and
// the Connection Options dialog come with the network layer.
class ProxyHandlerBase {
public:
    virtual ~ProxyHandlerBase() = default;

    void SetOverrideProxy(const CAtlString& host) { m_host = host; }
    void GetProxySettings(CAtlString& host, int32_t& port, CAtlString& userName,
                          CAtlString& password) const;
    bool StoreProxySettings();

    // Set directly by the workflow and read by the main window.
    CAtlString userName;
    CAtlString password;
    bool credentialsDialogAllowed = false;

private:
    CAtlString m_host;
    int32_t m_port = 0;
};

#pragma once

#include "platform/AtlString.h"

#include <QDialog>

class QLabel;

#include <memory>

namespace Ui {
class ProxyAuth;
}

// The proxy settings dialog. In its normal look every field is editable (Connection Options);
// in the credentials-request look the host and port are shown read-only and only the user
// name and password are asked for. Not deleted on close; closing it never quits the program.
class ProxyAuth : public QDialog {
    Q_OBJECT
public:
    explicit ProxyAuth(QWidget* parent = nullptr);
    ~ProxyAuth() override;

    void SetHost(const CAtlString& host);
    // 0 (no port set) leaves the field empty.
    void SetPort(int port);
    void SetUserName(const CAtlString& userName);
    void SetPassword(const CAtlString& password);
    CAtlString GetHost() const;
    // The port field as a decimal number; 0 when it holds no number.
    int GetPort() const;
    CAtlString GetUserName() const;
    CAtlString GetPassword() const;

    // Switches to the credentials-request look.
    void SetAuthenticationRequiredMode();
    // In the credentials-request look, says who asks: the proxy ("host:port"; empty when it
    // is not known) and the address being fetched through it.
    void SetRequest(const CAtlString& proxy, const CAtlString& url);

public slots:
    // Refused, with the port field selected, while that field holds something other than
    // nothing or a port from 1 to 65534.
    void accept() override;

private:
    std::unique_ptr<Ui::ProxyAuth> m_ui;
    QLabel* m_request = nullptr; // made by SetRequest
};

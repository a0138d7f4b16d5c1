#include "net/ProxyAuth.h"

#include "ui_ProxyAuth.h"

#include <QIntValidator>
#include <QLabel>
#include <QVBoxLayout>

#include <algorithm>

ProxyAuth::ProxyAuth(QWidget* parent) : QDialog(parent), m_ui(std::make_unique<Ui::ProxyAuth>()) {
    m_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAttribute(Qt::WA_QuitOnClose, false);
    // 65535 is left out on purpose: the settings this dialog feeds have always stopped below.
    m_ui->proxyPortEdit->setValidator(new QIntValidator(1, 65534, m_ui->proxyPortEdit));
}

ProxyAuth::~ProxyAuth() = default;

void ProxyAuth::SetHost(const CAtlString& host) {
    m_ui->proxyHostEdit->setText(host);
}

void ProxyAuth::SetPort(int port) {
    // 0 stands for "no port set"; showing it would only offer a value the field rejects.
    m_ui->proxyPortEdit->setText(port != 0 ? QString::number(port) : QString());
}

void ProxyAuth::SetUserName(const CAtlString& userName) {
    m_ui->proxyUserNameEdit->setText(userName);
}

void ProxyAuth::SetPassword(const CAtlString& password) {
    m_ui->proxyPasswordEdit->setText(password);
}

CAtlString ProxyAuth::GetHost() const {
    return m_ui->proxyHostEdit->text();
}

int ProxyAuth::GetPort() const {
    return m_ui->proxyPortEdit->text().toInt();
}

CAtlString ProxyAuth::GetUserName() const {
    return m_ui->proxyUserNameEdit->text();
}

CAtlString ProxyAuth::GetPassword() const {
    return m_ui->proxyPasswordEdit->text();
}

void ProxyAuth::accept() {
    // The validator only blocks keystrokes that can never lead to a valid port; "0" or
    // "70000" count as half-typed and stay in the field, so OK has to check again. In the
    // credentials look the port is only shown, and whatever the engine found must not keep
    // the user from answering.
    QLineEdit* port = m_ui->proxyPortEdit;
    if (!port->isReadOnly() && !port->text().isEmpty() && !port->hasAcceptableInput()) {
        port->setFocus();
        port->selectAll();
        return;
    }
    QDialog::accept();
}

void ProxyAuth::SetAuthenticationRequiredMode() {
    setWindowTitle(tr("Proxy Authentication Required"));
    for (QLineEdit* field : {m_ui->proxyHostEdit, m_ui->proxyPortEdit}) {
        field->setReadOnly(true);
        // Painted like the dialog itself, so the fields read as information, not as input.
        QPalette palette = field->palette();
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
            palette.setBrush(group, QPalette::Base, palette.brush(group, QPalette::Window));
        field->setPalette(palette);
    }
    m_ui->proxyUserNameEdit->setFocus();
}

void ProxyAuth::SetRequest(const CAtlString& proxy, const CAtlString& url) {
    if (!m_request) {
        m_request = new QLabel(this);
        m_request->setObjectName(QStringLiteral("requestLabel"));
        m_request->setWordWrap(true);
        // An address is the server's choice of text: it must not be read as markup.
        m_request->setTextFormat(Qt::PlainText);
        if (auto* column = qobject_cast<QVBoxLayout*>(layout()))
            column->insertWidget(0, m_request);
    }
    m_request->setText(
        proxy.isEmpty()
            ? tr("A proxy asks for a user name and password to fetch %1.").arg(url)
            : tr("The proxy %1 asks for a user name and password to fetch %2.").arg(proxy, url));
    // The line wraps to as many lines as the address needs, at the desktop's font: the dialog
    // grows to hold them and its fields, never squeezing either.
    layout()->activate();
    const int wide = std::min(maximumWidth(), std::max(width(), sizeHint().width()));
    resize(wide, std::max(height(), layout()->totalHeightForWidth(wide)));
}

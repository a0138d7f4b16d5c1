#include "net/ProxyAuth.h"

#include <QIntValidator>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>

#include <gtest/gtest.h>

namespace {
QLineEdit* Field(ProxyAuth& dialog, const char* name) {
    return dialog.findChild<QLineEdit*>(QString::fromLatin1(name));
}

TEST(ProxyAuth, FormHasTheNamedWidgetsSizesAndTexts) {
    ProxyAuth dialog;
    EXPECT_STREQ(dialog.metaObject()->className(), "ProxyAuth");
    EXPECT_EQ(dialog.objectName(), QStringLiteral("ProxyAuth"));
    EXPECT_TRUE(dialog.isModal());
    EXPECT_EQ(dialog.size(), QSize(340, 175));
    EXPECT_EQ(dialog.minimumSize(), QSize(298, 175));
    EXPECT_EQ(dialog.maximumSize(), QSize(500, 175));
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Proxy Authentication"));
    EXPECT_FALSE(dialog.testAttribute(Qt::WA_DeleteOnClose));
    EXPECT_FALSE(dialog.testAttribute(Qt::WA_QuitOnClose));

    const std::pair<const char*, const char*> labels[] = {{"label_2", "Proxy Host:"},
                                                          {"labelPort", ":"},
                                                          {"label", "User Name:"},
                                                          {"label_3", "Password:"}};
    for (const auto& [name, text] : labels) {
        auto* label = dialog.findChild<QLabel*>(QString::fromLatin1(name));
        ASSERT_NE(label, nullptr) << name;
        EXPECT_EQ(label->text(), QString::fromLatin1(text)) << name;
    }
    const QFont portFont = dialog.findChild<QLabel*>(QStringLiteral("labelPort"))->font();
    EXPECT_TRUE(portFont.bold());
    EXPECT_EQ(portFont.pointSize(), 11);

    for (const char* name :
         {"proxyHostEdit", "proxyPortEdit", "proxyUserNameEdit", "proxyPasswordEdit"}) {
        ASSERT_NE(Field(dialog, name), nullptr) << name;
        EXPECT_TRUE(Field(dialog, name)->inputMask().isEmpty()) << name;
        EXPECT_FALSE(Field(dialog, name)->isReadOnly()) << name;
    }
    EXPECT_EQ(Field(dialog, "proxyPortEdit")->maximumWidth(), 50);
    EXPECT_TRUE(Field(dialog, "proxyPortEdit")->text().isEmpty());
    EXPECT_EQ(Field(dialog, "proxyPasswordEdit")->echoMode(), QLineEdit::Password);
    for (const char* name :
         {"vboxLayout", "hboxLayout", "vboxLayout1", "vboxLayout2", "hboxLayout1", "hboxLayout2"})
        EXPECT_NE(dialog.findChild<QLayout*>(QString::fromLatin1(name)), nullptr) << name;
}

TEST(ProxyAuth, PortFieldAcceptsOneTo65534) {
    ProxyAuth dialog;
    const QValidator* validator = Field(dialog, "proxyPortEdit")->validator();
    ASSERT_NE(validator, nullptr);
    const std::pair<const char*, bool> cases[] = {{"1", true},      {"8080", true}, {"65534", true},
                                                  {"65535", false}, {"0", false},   {"-1", false},
                                                  {"abc", false}};
    for (const auto& [text, acceptable] : cases) {
        QString input = QString::fromLatin1(text);
        int position = 0;
        EXPECT_EQ(validator->validate(input, position) == QValidator::Acceptable, acceptable)
            << text;
    }
}

TEST(ProxyAuth, FieldsRoundTripAndPortReadsAsNumber) {
    ProxyAuth dialog;
    dialog.SetHost(QStringLiteral("proxy.corp"));
    dialog.SetPort(3128);
    dialog.SetUserName(QStringLiteral("bob"));
    dialog.SetPassword(QStringLiteral("pw"));
    EXPECT_EQ(dialog.GetHost(), QStringLiteral("proxy.corp"));
    EXPECT_EQ(dialog.GetPort(), 3128);
    EXPECT_EQ(dialog.GetUserName(), QStringLiteral("bob"));
    EXPECT_EQ(dialog.GetPassword(), QStringLiteral("pw"));

    dialog.SetPort(0);
    EXPECT_TRUE(Field(dialog, "proxyPortEdit")->text().isEmpty()) << "0 means no port";
    EXPECT_EQ(dialog.GetPort(), 0);
    Field(dialog, "proxyPortEdit")->setText(QStringLiteral("x1"));
    EXPECT_EQ(dialog.GetPort(), 0);
}

TEST(ProxyAuth, CredentialsLookShowsProxyReadOnlyAndFocusesUserName) {
    ProxyAuth dialog;
    dialog.SetAuthenticationRequiredMode();
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Proxy Authentication Required"));
    for (const char* name : {"proxyHostEdit", "proxyPortEdit"}) {
        QLineEdit* field = Field(dialog, name);
        EXPECT_TRUE(field->isReadOnly()) << name;
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
            EXPECT_EQ(field->palette().brush(group, QPalette::Base),
                      field->palette().brush(group, QPalette::Window))
                << name;
    }
    EXPECT_FALSE(Field(dialog, "proxyUserNameEdit")->isReadOnly());
    EXPECT_EQ(dialog.focusWidget(), Field(dialog, "proxyUserNameEdit"));
}

} // namespace

#include "NetTestSupport.h"
#include "TestServers.h"

#include "net/Downloader.h"
#include "net/ProxyHandlerBase.h"
#include "platform/Settings.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {
const QString kUser = QStringLiteral("alice");
const QString kPassword = QStringLiteral("s3cret");

QLineEdit* Field(QWidget* dialog, const char* name) {
    return dialog->findChild<QLineEdit*>(QString::fromLatin1(name));
}

void Click(QWidget* dialog, const char* button) {
    dialog->findChild<QPushButton*>(QString::fromLatin1(button))->click();
}

// What the credentials dialog looked like when it was answered.
struct SeenDialog {
    QString title;
    QString host;
    QString port;
    bool hostReadOnly = false;
    bool portReadOnly = false;
    bool focusOnUserName = false;
};

// A person answering the credentials dialog: types user and password and presses OK, or
// presses Cancel when user is empty.
std::function<void(QWidget*)> Answer(const QString& user, const QString& password,
                                     SeenDialog* seen = nullptr) {
    return [=](QWidget* dialog) {
        if (seen) {
            seen->title = dialog->windowTitle();
            seen->host = Field(dialog, "proxyHostEdit")->text();
            seen->port = Field(dialog, "proxyPortEdit")->text();
            seen->hostReadOnly = Field(dialog, "proxyHostEdit")->isReadOnly();
            seen->portReadOnly = Field(dialog, "proxyPortEdit")->isReadOnly();
            seen->focusOnUserName = dialog->focusWidget() == Field(dialog, "proxyUserNameEdit");
        }
        if (user.isEmpty()) {
            Click(dialog, "cancelButton");
            return;
        }
        Field(dialog, "proxyUserNameEdit")->setText(user);
        Field(dialog, "proxyPasswordEdit")->setText(password);
        Click(dialog, "okButton");
    };
}

// Downloads through tinyproxy (BasicAuth) with the proxy handler given as the command line
// would: "host:port" as the override proxy and no port of its own.
class ProxyHandlerBaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.IsRunning()) << "python3 could not start the test HTTP server";
        ASSERT_TRUE(proxy.IsRunning()) << "tinyproxy could not be started";
        RemoveLeftoverDownloads();
        content = server.AddFile(QStringLiteral("info.xml"), 1500);
        handler->SetOverrideProxy(QStringLiteral("127.0.0.1:%1").arg(proxy.Port()));
        downloader.SetProxyHandler(handler);
        Observe(downloader, reports);
    }
    void TearDown() override { ClearProxyEnvironment(); }

    bool FetchThroughProxy(const TestHttpServer& from) {
        const QString url = from.Url(QStringLiteral("/info.xml"));
        const CAtlString path = downloader.Download(url, 1, 0);
        return !path.isEmpty() && ReadDownloaded(path) == content;
    }
    bool WentThroughProxy(const TestHttpServer& from) const {
        return proxy.Log().contains(QStringLiteral("GET %1").arg(from.Url("/info.xml"))) ||
               proxy.Log().contains(QStringLiteral("CONNECT 127.0.0.1:%1").arg(from.Port()));
    }

    TestHttpServer server;
    TinyProxy proxy{kUser, kPassword};
    std::shared_ptr<ProxyHandlerBase> handler = std::make_shared<ProxyHandlerBase>();
    Downloader downloader;
    Reports reports;
    QByteArray content;
};

TEST_F(ProxyHandlerBaseTest, CommandLineProxyWithPortAndStoredCredentialsNeedsNoDialog) {
    handler->userName = kUser;
    handler->password = kPassword;
    handler->credentialsDialogAllowed = true;
    ModalAnswerer person(Answer(QString(), QString()));
    EXPECT_TRUE(FetchThroughProxy(server));
    EXPECT_TRUE(WentThroughProxy(server));
    EXPECT_EQ(person.Count(), 0);
    EXPECT_TRUE(reports.failures.isEmpty());
}

TEST_F(ProxyHandlerBaseTest, AsksForCredentialsInDialogNamingTheProxy) {
    handler->credentialsDialogAllowed = true;
    SeenDialog seen;
    ModalAnswerer person(Answer(kUser, kPassword, &seen));
    EXPECT_TRUE(FetchThroughProxy(server));
    EXPECT_EQ(person.Count(), 1);
    EXPECT_EQ(seen.title, QStringLiteral("Proxy Authentication Required"));
    EXPECT_EQ(seen.host, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(seen.port, QString::number(proxy.Port()));
    EXPECT_TRUE(seen.hostReadOnly);
    EXPECT_TRUE(seen.portReadOnly);
    EXPECT_TRUE(seen.focusOnUserName);
    // The answer is kept for the rest of the run.
    EXPECT_EQ(handler->userName, kUser);
    EXPECT_EQ(handler->password, kPassword);
}

TEST_F(ProxyHandlerBaseTest, DeclinedDialogDeclinesLaterRequestsUntilConnectionOptionsAccepted) {
    handler->credentialsDialogAllowed = true;
    {
        ModalAnswerer person(Answer(QString(), QString()));
        EXPECT_FALSE(FetchThroughProxy(server));
        EXPECT_EQ(person.Count(), 1);
        EXPECT_EQ(reports.canceled, 1);
        EXPECT_TRUE(reports.failures.isEmpty());

        EXPECT_FALSE(FetchThroughProxy(server));
        EXPECT_EQ(person.Count(), 1) << "a declined request must not ask again";
        EXPECT_EQ(reports.canceled, 2);
        EXPECT_TRUE(reports.failures.isEmpty());
    }
    {
        // Accepted unchanged: the same proxy, and a new chance to ask.
        ModalAnswerer person([](QWidget* dialog) { Click(dialog, "okButton"); });
        EXPECT_TRUE(handler->ShowConnectionOptions(nullptr));
        EXPECT_EQ(person.Count(), 1);
    }
    ModalAnswerer person(Answer(kUser, kPassword));
    EXPECT_TRUE(FetchThroughProxy(server));
    EXPECT_EQ(person.Count(), 1);
    EXPECT_EQ(LeftoverDownloads().size(), 1); // only the successful download's file
}

TEST_F(ProxyHandlerBaseTest, SilentRunDeclinesAtOnceWithoutDialog) {
    handler->credentialsDialogAllowed = false;
    ModalAnswerer person(Answer(kUser, kPassword));
    EXPECT_FALSE(FetchThroughProxy(server));
    EXPECT_EQ(person.Count(), 0);
    EXPECT_EQ(reports.canceled, 1);
    EXPECT_TRUE(reports.failures.isEmpty());
    EXPECT_EQ(LeftoverDownloads(), QStringList());
}

TEST_F(ProxyHandlerBaseTest, HttpsGoesThroughProxyTunnelWithStoredOrAskedCredentials) {
    TestCertificates certificates;
    ASSERT_TRUE(certificates.IsValid()) << "openssl could not make the test certificates";
    TestHttpServer tls(TestHttpServer::Mode::Files, certificates.CertificateFile(),
                       certificates.KeyFile());
    ASSERT_TRUE(tls.IsRunning());
    tls.AddFile(QStringLiteral("info.xml"), content.size());
    ::setenv("SSL_CERT_FILE", QFile::encodeName(certificates.CaFile()).constData(), 1);

    for (const bool stored : {true, false}) {
        SCOPED_TRACE(stored ? "stored credentials" : "credentials from the dialog");
        auto fresh = std::make_shared<ProxyHandlerBase>();
        fresh->SetOverrideProxy(QStringLiteral("127.0.0.1:%1").arg(proxy.Port()));
        fresh->credentialsDialogAllowed = true;
        if (stored) {
            fresh->userName = kUser;
            fresh->password = kPassword;
        }
        downloader.SetProxyHandler(fresh);
        ModalAnswerer person(Answer(kUser, kPassword));
        EXPECT_TRUE(FetchThroughProxy(tls));
        EXPECT_EQ(person.Count(), stored ? 0 : 1);
        EXPECT_TRUE(WentThroughProxy(tls));
    }
}

TEST_F(ProxyHandlerBaseTest, ConnectionOptionsReplaceSettingsAndStoreOnlyNewHost) {
    const QString key =
        QStringLiteral("Software/ORVEX Technologies/Tavlo Software/ProxyInformation");
    const auto storedHost = [&] {
        return ReadSettingString(LocalMachine, key, QStringLiteral("HttpProxyHost"), QString(),
                                 nullptr, kRegistryMarker);
    };
    const auto storedPort = [&] {
        return ReadSettingInt(LocalMachine, key, QStringLiteral("HttpProxyPort"), -1, nullptr,
                              kRegistryMarker);
    };
    const auto fill = [](const char* host, const char* port, const char* user) {
        return [=](QWidget* dialog) {
            Field(dialog, "proxyHostEdit")->setText(QString::fromLatin1(host));
            Field(dialog, "proxyPortEdit")->setText(QString::fromLatin1(port));
            Field(dialog, "proxyUserNameEdit")->setText(QString::fromLatin1(user));
            Field(dialog, "proxyPasswordEdit")->setText(QStringLiteral("pw"));
            Click(dialog, "okButton");
        };
    };
    ProxyHandlerBase options;
    QWidget window;
    {
        ModalAnswerer person(fill("proxy.example", "3128", "bob"));
        EXPECT_TRUE(options.ShowConnectionOptions(&window));
    }
    CAtlString host, user, pass;
    int32_t port = 0;
    options.GetProxySettings(host, port, user, pass);
    EXPECT_EQ(host, QStringLiteral("proxy.example"));
    EXPECT_EQ(port, 3128);
    EXPECT_EQ(user, QStringLiteral("bob"));
    EXPECT_EQ(pass, QStringLiteral("pw"));
    EXPECT_EQ(storedHost(), QStringLiteral("proxy.example"));
    EXPECT_EQ(storedPort(), 3128);
    EXPECT_TRUE(window.children().isEmpty()) << "the dialog stayed attached to its parent";

    {
        // Only the port changes: used from now on, but not written.
        ModalAnswerer person(fill("proxy.example", "8080", "bob"));
        EXPECT_TRUE(options.ShowConnectionOptions(&window));
    }
    options.GetProxySettings(host, port, user, pass);
    EXPECT_EQ(port, 8080);
    EXPECT_EQ(storedPort(), 3128);

    {
        ModalAnswerer person([&](QWidget* dialog) {
            Field(dialog, "proxyHostEdit")->setText(QStringLiteral("other"));
            Click(dialog, "cancelButton");
        });
        EXPECT_FALSE(options.ShowConnectionOptions(&window));
    }
    options.GetProxySettings(host, port, user, pass);
    EXPECT_EQ(host, QStringLiteral("proxy.example"));
}

} // namespace

#include "TestServers.h"

#include "net/CurlHttpClient.h"
#include "net/ProxyAuth.h"
#include "net/ProxyHandlerBase.h"
#include "platform/Settings.h"

#include <QLineEdit>
#include <QPushButton>
#include <QValidator>

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;

namespace {
const QString& kUser = kProxyUser;
const QString& kPassword = kProxyPassword;

QLineEdit* Field(QWidget* dialog, const QString& name) {
    return dialog->findChild<QLineEdit*>(name);
}

// A person answering a dialog: notes its title and the proxy it shows, types texts into fields
// (given as field name, text, field name, text...) and presses the button.
std::function<void(QWidget*)> Answer(const char* button, const QStringList& texts = {},
                                     QStringList* seen = nullptr) {
    return [=](QWidget* dialog) {
        if (seen)
            *seen << dialog->windowTitle()
                  << Field(dialog, "proxyHostEdit")->text() + u':' +
                         Field(dialog, "proxyPortEdit")->text();
        for (qsizetype i = 0; i + 1 < texts.size(); i += 2)
            Field(dialog, texts[i])->setText(texts[i + 1]);
        dialog->findChild<QPushButton*>(QString::fromLatin1(button))->click();
    };
}

const QStringList kLogIn{"proxyUserNameEdit", kUser, "proxyPasswordEdit", kPassword};

// Downloads through squid with the proxy handler set up as the command line does it:
// "host:port" as the override proxy and no port of its own.
class ProxyHandlerBaseTest : public SquidTest {
protected:
    void TearDown() override {
        CurlHttpClient::SetStallTimeout(60s);
        SquidTest::TearDown();
    }

    // A fresh handler, as a new run has it, for proxy (squid unless told).
    void UseHandler(const QString& storedPassword, bool dialogAllowed,
                    const TestServer* proxy = nullptr) {
        handler = std::make_shared<ProxyHandlerBase>();
        handler->SetOverrideProxy(
            QStringLiteral("127.0.0.1:%1").arg((proxy ? proxy : &squid)->Port()));
        handler->userName = storedPassword.isEmpty() ? QString() : kUser;
        handler->password = storedPassword;
        handler->credentialsDialogAllowed = dialogAllowed;
        SetHandler(handler);
    }
    // The https server closes each connection after its answer: squid logs a tunnel only once
    // it has ended, and the client would otherwise keep it open for the next download.
    bool FetchThroughProxy(const TestServer& from) {
        const CAtlString path =
            downloader.Download(from.Url(&from == &tls ? "/__close/info.xml" : "/info.xml"), 1, 0);
        return !path.isEmpty() && ReadDownloaded(path) == content;
    }

    std::shared_ptr<ProxyHandlerBase> handler;
};

// Stored credentials are used without a dialog; missing ones are asked for in a dialog that
// names the proxy and kept for the rest of the run. Https goes through the proxy's tunnel.
// tinyproxy too, whose refusal of a tunnel differs from squid's.
TEST_F(ProxyHandlerBaseTest, StoredOrAskedCredentialsOpenTheProxyForHttpAndHttps) {
    TestServer tinyproxy{{"--tinyproxy", kUser + u':' + kPassword}};
    ASSERT_TRUE(tinyproxy.IsRunning()) << "tinyproxy could not be started";
    for (const TestServer* proxy : {&squid, &tinyproxy}) {
        const QStringList asked{"Proxy Authentication Required",
                                QStringLiteral("127.0.0.1:%1").arg(proxy->Port())};
        for (const TestServer* target : {&server, &tls}) {
            for (const bool stored : {true, false}) {
                SCOPED_TRACE((target->Url(stored ? " with stored credentials" : " asking") +
                              (proxy == &squid ? " through squid" : " through tinyproxy"))
                                 .toStdString());
                UseHandler(stored ? kPassword : QString(), true, proxy);
                QStringList seen;
                ModalAnswerer person(Answer("okButton", kLogIn, &seen));
                EXPECT_TRUE(FetchThroughProxy(*target));
                EXPECT_EQ(seen, stored ? QStringList() : asked);
                EXPECT_EQ(handler->userName, kUser);
                EXPECT_EQ(handler->password, kPassword);
                EXPECT_TRUE(reports.failures.isEmpty());
            }
        }
    }
    EXPECT_TRUE(tinyproxy.Log().contains("GET " + server.Url("/info.xml")));
    EXPECT_TRUE(tinyproxy.Log().contains(QStringLiteral("CONNECT 127.0.0.1:%1").arg(tls.Port())));
    EXPECT_EQ(ProxyAnswers(server).filter("200 alice").size(), 2);
    EXPECT_EQ(ProxyAnswers(tls).filter("200 alice").size(), 2);
}

// A known login goes with the first request once the proxy has named its scheme: one request
// per download from then on, https tunnels included.
TEST_F(ProxyHandlerBaseTest, KnownLoginCostsOneRequestPerDownload) {
    UseHandler(kPassword, false);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(FetchThroughProxy(server));
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(FetchThroughProxy(tls));
    EXPECT_EQ(ProxyAnswers(server), (QStringList{"407 -", "200 alice", "200 alice", "200 alice"}));
    EXPECT_EQ(ProxyAnswers(tls), (QStringList{"200 alice", "200 alice"}));
}

// A wrong stored password reaches the proxy once in a run, whatever follows: a silent run
// declines every download; the dialog keeps the user name, drops the refused password, and the
// person types the right one.
TEST_F(ProxyHandlerBaseTest, RefusedStoredLoginReachesTheProxyOncePerRun) {
    for (const bool dialogAllowed : {false, true}) {
        SCOPED_TRACE(dialogAllowed ? "person corrects it" : "silent run");
        const auto badLogins = [&] {
            return (ProxyAnswers(server) + ProxyAnswers(tls)).filter("407 alice").size();
        };
        const qsizetype before = badLogins();
        UseHandler(QStringLiteral("wrong"), dialogAllowed);
        ModalAnswerer person([](QWidget* dialog) {
            EXPECT_EQ(Field(dialog, "proxyPasswordEdit")->text(), QString());
            Answer("okButton", {"proxyPasswordEdit", kPassword})(dialog);
        });
        for (const TestServer* target : {&server, &tls, &server})
            EXPECT_EQ(FetchThroughProxy(*target), dialogAllowed);
        EXPECT_EQ(badLogins() - before, 1);
        EXPECT_EQ(person.Count(), dialogAllowed ? 1 : 0);
        EXPECT_EQ(reports.canceled, dialogAllowed ? 0 : 3);
        EXPECT_TRUE(reports.failures.isEmpty());
    }
}

// A server that accepts the request and never answers is a failed connection once the stall
// limit has passed: the proxy's earlier demand for a login is no answer from that server.
TEST_F(ProxyHandlerBaseTest, ServerThatNeverAnswersBehindTheProxyIsAConnectionFailure) {
    CurlHttpClient::SetStallTimeout(1s);
    UseHandler(kPassword, true);
    ModalAnswerer person(Answer("okButton", kLogIn));
    EXPECT_TRUE(downloader.Download(server.Url("/__hang"), 1, 0).isEmpty());
    EXPECT_EQ(reports.failures, QStringList{"Send request failed"});
    EXPECT_EQ(reports.canceled, 0);
    EXPECT_EQ(person.Count(), 0);
    EXPECT_EQ(server.Requests().filter("/__hang").size(), 1);
}

// A declined request (the dialog cancelled, or no dialog allowed in a silent run) is reported
// as canceled, not as failed, and declines every later one without asking until the user
// accepts Connection Options.
TEST_F(ProxyHandlerBaseTest, DeclinedRequestDeclinesLaterOnesUntilConnectionOptionsAccepted) {
    for (const bool dialogAllowed : {false, true}) {
        SCOPED_TRACE(dialogAllowed ? "dialog cancelled" : "silent run");
        UseHandler(QString(), dialogAllowed);
        ModalAnswerer person(Answer("cancelButton"));
        EXPECT_FALSE(FetchThroughProxy(server));
        EXPECT_FALSE(FetchThroughProxy(server));
        EXPECT_EQ(person.Count(), dialogAllowed ? 1 : 0);
        EXPECT_EQ(reports.canceled, 2);
        EXPECT_TRUE(reports.failures.isEmpty());
    }
    {
        // Accepted unchanged: the same proxy, and a new chance to ask.
        ModalAnswerer person(Answer("okButton"));
        EXPECT_TRUE(handler->ShowConnectionOptions(nullptr));
    }
    ModalAnswerer person(Answer("okButton", kLogIn));
    EXPECT_TRUE(FetchThroughProxy(server));
    EXPECT_EQ(person.Count(), 1);
}

TEST_F(ProxyHandlerBaseTest, SystemProxyModeUsesEnvironmentAndNamesThatProxyWhenAsking) {
    downloader.connectionMode = ModeSystemProxy;
    const QString address = QStringLiteral("127.0.0.1:%1").arg(squid.Port());
    ::setenv("http_proxy", ("http://" + address + '/').toUtf8().constData(), 1);
    QStringList asked;
    downloader.onProxyAuthRequired = [&](const CAtlString& host, int port, CAtlString& user,
                                         CAtlString& pass) {
        asked << host + u':' + QString::number(port);
        user = kUser;
        pass = kPassword;
        return true;
    };
    EXPECT_TRUE(FetchThroughProxy(server));
    EXPECT_EQ(asked, QStringList{address});
    EXPECT_EQ(ProxyAnswers(server).filter("200 alice").size(), 1);
}

// Connection Options replace the run's settings; only a new host is written to the registry.
TEST(ProxyHandlerBase, ConnectionOptionsReplaceSettingsAndStoreOnlyANewHost) {
    const QString key =
        QStringLiteral("Software/ORVEX Technologies/Tavlo Software/ProxyInformation");
    // Typed host and port, accepted or not, and the settings afterwards: in use and stored.
    const std::tuple<const char*, const char*, bool, QString> cases[] = {
        {"proxy.example", "3128", true, "proxy.example:3128 bob/pw, stored proxy.example:3128"},
        // Only the port changes: used from now on, but not written.
        {"proxy.example", "8080", true, "proxy.example:8080 bob/pw, stored proxy.example:3128"},
        {"other", "1", false, "proxy.example:8080 bob/pw, stored proxy.example:3128"},
    };
    ProxyHandlerBase options;
    QWidget window;
    for (const auto& [host, port, accept, settings] : cases) {
        SCOPED_TRACE(port);
        ModalAnswerer person(Answer(accept ? "okButton" : "cancelButton",
                                    {"proxyHostEdit", host, "proxyPortEdit", port,
                                     "proxyUserNameEdit", "bob", "proxyPasswordEdit", "pw"}));
        EXPECT_EQ(options.ShowConnectionOptions(&window), accept);
        CAtlString usedHost, user, pass;
        int32_t usedPort = 0;
        options.GetProxySettings(usedHost, usedPort, user, pass);
        const QString storedHost =
            ReadSettingString(LocalMachine, key, "HttpProxyHost", {}, nullptr, kRegistryMarker);
        const int storedPort =
            ReadSettingInt(LocalMachine, key, "HttpProxyPort", -1, nullptr, kRegistryMarker);
        EXPECT_EQ(QStringLiteral("%1:%2 %3/%4, stored %5:%6")
                      .arg(usedHost)
                      .arg(usedPort)
                      .arg(user, pass, storedHost)
                      .arg(storedPort),
                  settings);
        EXPECT_TRUE(window.children().isEmpty()) << "the dialog stayed attached to its parent";
    }
}

// OK lets only an empty port field or a port from 1 to 65534 through to the settings; any
// other text keeps the dialog open, and the person then cancels.
TEST(ProxyHandlerBase, ConnectionOptionsTakeOnlyAPortTheFieldAccepts) {
    const std::pair<const char*, int32_t> cases[] = {
        {"", 0},       {"1", 1},      {"65534", 65534}, {"0", -1},
        {"65535", -1}, {"70000", -1}, {"-1", -1},       {"80a", -1},
    };
    for (const auto& [typed, taken] : cases) {
        SCOPED_TRACE(typed);
        ProxyHandlerBase options;
        bool refused = false;
        ModalAnswerer person([&](QWidget* dialog) {
            Field(dialog, "proxyHostEdit")->setText("proxy.example");
            Field(dialog, "proxyPortEdit")->setText(typed);
            dialog->findChild<QPushButton*>("okButton")->click();
            refused = dialog->isVisible();
            if (refused)
                dialog->findChild<QPushButton*>("cancelButton")->click();
        });
        EXPECT_EQ(options.ShowConnectionOptions(nullptr), taken >= 0);
        EXPECT_EQ(refused, taken < 0);
        CAtlString host, user, pass;
        int32_t port = -1;
        options.GetProxySettings(host, port, user, pass);
        EXPECT_EQ(port, std::max(taken, 0));
        EXPECT_EQ(host, QString::fromLatin1(taken >= 0 ? "proxy.example" : ""));
    }
}

// The dialog offscreen: widgets found by name, the port field's bounds, and the credentials
// look that shows the proxy read-only and asks for the user name first.
TEST(ProxyAuth, FormPortBoundsAndCredentialsLook) {
    ProxyAuth dialog;
    EXPECT_EQ(dialog.objectName(), "ProxyAuth");
    for (const char* name : {"proxyHostEdit", "proxyPortEdit", "proxyUserNameEdit",
                             "proxyPasswordEdit", "okButton", "cancelButton"})
        ASSERT_NE(dialog.findChild<QWidget*>(name), nullptr) << name;
    const QValidator* validator = Field(&dialog, "proxyPortEdit")->validator();
    ASSERT_NE(validator, nullptr);
    const std::pair<const char*, bool> ports[] = {
        {"1", true}, {"65534", true}, {"65535", false}, {"0", false}};
    for (const auto& [text, acceptable] : ports) {
        QString input = text;
        int position = 0;
        EXPECT_EQ(validator->validate(input, position) == QValidator::Acceptable, acceptable)
            << text;
    }
    dialog.SetPort(0);
    EXPECT_TRUE(Field(&dialog, "proxyPortEdit")->text().isEmpty()) << "0 means no port";

    // Until now the proxy was open to editing.
    EXPECT_FALSE(Field(&dialog, "proxyHostEdit")->isReadOnly());
    dialog.SetAuthenticationRequiredMode();
    EXPECT_EQ(dialog.windowTitle(), "Proxy Authentication Required");
    for (const char* name : {"proxyHostEdit", "proxyPortEdit"}) {
        const QLineEdit* field = Field(&dialog, name);
        EXPECT_TRUE(field->isReadOnly()) << name;
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
            EXPECT_EQ(field->palette().brush(group, QPalette::Base),
                      field->palette().brush(group, QPalette::Window))
                << name;
    }
    EXPECT_FALSE(Field(&dialog, "proxyUserNameEdit")->isReadOnly());
    EXPECT_EQ(dialog.focusWidget(), Field(&dialog, "proxyUserNameEdit"));
    // The port shown here is the engine's, not typed: it never holds up the answer.
    dialog.SetPort(65535);
    dialog.findChild<QPushButton*>("okButton")->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}
} // namespace

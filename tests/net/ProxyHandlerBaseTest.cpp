#include "TestServers.h"

#include "qtglue/WaitWithQtEvents.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <chrono>

using namespace std::chrono_literals;

namespace {

QLineEdit* Field(QWidget* dialog, const QString& name) {
    return dialog->findChild<QLineEdit*>(name);
}

// A person answering a dialog: notes the proxy it shows, types texts into fields (given as
// field name, text, field name, text...) and presses the button.
std::function<void(QWidget*)> Answer(const char* button, const QStringList& texts = {},
                                     QStringList* seen = nullptr) {
    return [=](QWidget* dialog) {
        if (seen)
            *seen << Field(dialog, "proxyHostEdit")->text() + u':' +
                         Field(dialog, "proxyPortEdit")->text();
        for (qsizetype i = 0; i + 1 < texts.size(); i += 2)
            Field(dialog, texts[i])->setText(texts[i + 1]);
        dialog->findChild<QPushButton*>(QString::fromLatin1(button))->click();
    };
}

const QStringList kLogIn{"proxyUserNameEdit", kProxyUser, "proxyPasswordEdit", kProxyPassword};

// Downloads through squid with the proxy handler set up as the command line does it:
// "host:port" as the override proxy and no port of its own.
class ProxyHandlerBaseTest : public SquidTest {
protected:
    // A fresh handler, as a new run has it, for proxy (squid unless told).
    void UseHandler(const QString& storedPassword, bool dialogAllowed,
                    const TestServer* proxy = nullptr) {
        handler = std::make_shared<ProxyHandlerBase>();
        handler->SetOverrideProxy(
            QStringLiteral("127.0.0.1:%1").arg((proxy ? proxy : &squid)->Port()));
        handler->userName = storedPassword.isEmpty() ? QString() : kProxyUser;
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
    TestServer tinyproxy{{"--tinyproxy", kProxyUser + u':' + kProxyPassword}};
    ASSERT_TRUE(tinyproxy.IsRunning()) << "tinyproxy could not be started";
    for (const TestServer* proxy : {&squid, &tinyproxy}) {
        const QStringList asked{QStringLiteral("127.0.0.1:%1").arg(proxy->Port())};
        for (const TestServer* target : {&server, &tls}) {
            for (const bool stored : {true, false}) {
                SCOPED_TRACE((target->Url(stored ? " with stored credentials" : " asking") +
                              (proxy == &squid ? " through squid" : " through tinyproxy"))
                                 .toStdString());
                UseHandler(stored ? kProxyPassword : QString(), true, proxy);
                QStringList seen;
                ModalAnswerer person(Answer("okButton", kLogIn, &seen));
                EXPECT_TRUE(FetchThroughProxy(*target));
                EXPECT_EQ(seen, stored ? QStringList() : asked);
                EXPECT_EQ(handler->userName + u'/' + handler->password,
                          kProxyUser + u'/' + kProxyPassword);
                EXPECT_TRUE(reports.failures.isEmpty());
            }
        }
    }
    EXPECT_TRUE(tinyproxy.Log().contains("GET " + server.Url("/info.xml")));
    EXPECT_TRUE(tinyproxy.Log().contains(QStringLiteral("CONNECT 127.0.0.1:%1").arg(tls.Port())));
    EXPECT_EQ(ProxyAnswers(server).filter("200 alice").size(), 2);
    EXPECT_EQ(ProxyAnswers(tls).filter("200 alice").size(), 2);
}

// The person's answer wakes the waiting download at once: with the waits' safety net set far
// beyond any download's time, only that wake-up can have ended the worker's wait within half
// of it (a timer that long may fire a twentieth early, never half).
TEST_F(ProxyHandlerBaseTest, CredentialsAnswerResumesTheDownloadAtOnce) {
    const auto tick = WaitWithQtEvents::Tick();
    WaitWithQtEvents::SetTick(40s);
    UseHandler(QString(), true);
    ModalAnswerer person(Answer("okButton", kLogIn));
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(FetchThroughProxy(server));
    EXPECT_LT(clock.elapsed(), 20000);
    EXPECT_EQ(person.Count(), 1);
    WaitWithQtEvents::SetTick(tick);
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
            Answer("okButton", {"proxyPasswordEdit", kProxyPassword})(dialog);
        });
        for (const TestServer* target : {&server, &tls, &server})
            EXPECT_EQ(FetchThroughProxy(*target), dialogAllowed);
        EXPECT_EQ(std::tuple(badLogins() - before, person.Count(), reports.canceled),
                  std::tuple(1, dialogAllowed ? 1 : 0, dialogAllowed ? 0 : 3));
        EXPECT_TRUE(reports.failures.isEmpty());
    }
}

// Documents fetched at once through squid: a stored login costs one request per file (after
// the one bare request that learns the scheme); a missing login is asked for once, and nothing
// but the first request has gone out while the dialog is open; a refused stored login reaches
// squid once in the run. Every document arrives whole either way, over http and https.
TEST_F(ProxyHandlerBaseTest, FetchedAtOnceThroughSquidAsksOnceAndSendsEachLoginOnce) {
    constexpr int kFiles = 8;
    // Stored password, then the squid answers each row adds ahead of the files' own; once
    // the proxy has named its scheme, a stored login goes with the first request.
    const std::tuple<const char*, QString, QStringList> rows[] = {
        {"Stored", kProxyPassword, {"407 -"}},
        {"Asked", "", {"407 -"}},
        {"Refused", "wrong", {"407 alice"}},
    };
    for (const auto& [name, stored, extra] : rows) {
        SCOPED_TRACE(name);
        const QStringList before = ProxyAnswers(server);
        UseHandler(stored, true);
        QStringList whileAsked;
        ModalAnswerer person([&](QWidget* dialog) {
            whileAsked = ProxyAnswers(server).mid(before.size());
            Answer("okButton", kLogIn)(dialog);
        });
        FetchAtOnce(server, kFiles);
        const QStringList answers = ProxyAnswers(server).mid(before.size());
        EXPECT_EQ(answers.mid(0, extra.size()), extra);
        EXPECT_EQ(answers.mid(extra.size()), QStringList(kFiles, "200 alice"));
        EXPECT_EQ(person.Count(), stored == kProxyPassword ? 0 : 1);
        EXPECT_EQ(whileAsked, person.Count() > 0 ? extra : QStringList());
    }
}

// A server that accepts the request and never answers is a failed connection once the stall
// limit has passed: the proxy's earlier demand for a login is no answer from that server.
TEST_F(ProxyHandlerBaseTest, ServerThatNeverAnswersBehindTheProxyIsAConnectionFailure) {
    CurlHttpClient::SetStallTimeout(1s);
    UseHandler(kProxyPassword, true);
    ModalAnswerer person(Answer("okButton", kLogIn));
    EXPECT_TRUE(downloader.Download(server.Url("/__hang"), 1, 0).isEmpty());
    EXPECT_EQ(std::tuple(reports.failures, reports.canceled, person.Count()),
              std::tuple(QStringList{"Send request failed"}, 0, 0));
    EXPECT_EQ(server.Requests().filter("/__hang").size(), 1);
}

// A declined request (the dialog cancelled or closed, or no dialog allowed in a silent run) is
// reported as canceled, not as failed, and declines every later one without asking until the
// user accepts Connection Options.
TEST_F(ProxyHandlerBaseTest, DeclinedRequestDeclinesLaterOnesUntilConnectionOptionsAccepted) {
    for (const bool dialogAllowed : {false, true}) {
        SCOPED_TRACE(dialogAllowed ? "dialog closed" : "silent run");
        UseHandler(QString(), dialogAllowed);
        // Closed by its title bar's button: the dialog lives on the stack of its caller.
        ModalAnswerer person([](QWidget* dialog) { dialog->close(); });
        EXPECT_FALSE(FetchThroughProxy(server) || FetchThroughProxy(server));
        EXPECT_EQ(std::tuple(person.Count(), reports.canceled, reports.failures),
                  std::tuple(dialogAllowed ? 1 : 0, 2, QStringList()));
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

// The credentials dialog only shows the proxy that asks, so any port it has lets OK through;
// the caret waits in the user name, the one thing the person has to type.
TEST(ProxyHandlerBase, CredentialsDialogTakesAnyProxyPortAndStartsInTheUserName) {
    ProxyHandlerBase handler;
    handler.credentialsDialogAllowed = true;
    QString focused;
    bool refused = false;
    ModalAnswerer person([&](QWidget* dialog) {
        focused = dialog->focusWidget() ? dialog->focusWidget()->objectName() : QString();
        Answer("okButton", kLogIn)(dialog);
        if ((refused = dialog->isVisible()))
            dialog->findChild<QPushButton*>("cancelButton")->click();
    });
    CAtlString user, password;
    EXPECT_TRUE(handler.OnProxyAuthRequired("proxy.example", 65535, user, password));
    EXPECT_EQ(std::tuple(refused, focused, user, password),
              std::tuple(false, QString("proxyUserNameEdit"), kProxyUser, kProxyPassword));
}

// A proxy that is not the run's own (the desktop, a script or the environment chose it) never
// gets the run's login without the person: the dialog says which proxy asks and for what
// address, offers the run's user name but not its password, and what is typed there is kept
// for that proxy alone. Without a dialog, such a proxy gets nothing.
TEST(ProxyHandlerBase, OtherProxiesGetTheRunsLoginOnlyThroughTheDialog) {
    ProxyHandlerBase handler;
    handler.userName = kProxyUser;
    handler.password = kProxyPassword;
    const QString url = "http://updates.corp.example/a.xml";
    CAtlString user, password;
    EXPECT_FALSE(handler.OnProxyAuthRequired("script.example", 3128, user, password, url));
    EXPECT_EQ(user + u'/' + password, "/");

    handler.credentialsDialogAllowed = true;
    QStringList shown;
    ModalAnswerer person([&](QWidget* dialog) {
        const auto* request = dialog->findChild<QLabel*>("requestLabel");
        shown << (request ? request->text() : QString())
              << Field(dialog, "proxyUserNameEdit")->text()
              << Field(dialog, "proxyPasswordEdit")->text();
        Answer("okButton", {"proxyPasswordEdit", "typed"})(dialog);
    });
    EXPECT_TRUE(handler.OnProxyAuthRequired("script.example", 3128, user, password, url));
    EXPECT_EQ(shown, (QStringList{"The proxy script.example:3128 asks for a user name and password "
                                  "to fetch http://updates.corp.example/a.xml.",
                                  kProxyUser, ""}));
    EXPECT_EQ(user + u'/' + password, kProxyUser + "/typed");
    // The same proxy again: the login typed for it, without asking.
    CAtlString again, againPassword;
    EXPECT_TRUE(handler.OnProxyAuthRequired("script.example", 3128, again, againPassword, url));
    EXPECT_EQ(again + u'/' + againPassword, kProxyUser + "/typed");
    EXPECT_EQ(shown.size(), 3);
    // The run's own login is unchanged by it.
    EXPECT_EQ(handler.userName + u'/' + handler.password, kProxyUser + u'/' + kProxyPassword);
}

// Downloads take the proxy a person named: the command line's, else the one the administrator
// stored in the machine hive (a user's value of the same name counts for nothing), and only
// without either what the desktop or the environment names. The run's login answers the named
// proxy at once, whichever of the two it is; no other proxy gets it without the person.
TEST(ProxyHandlerBase, TakesTheCommandLineThenTheAdministratorsProxy) {
    const QString key = "Software/ORVEX Technologies/Tavlo Software/ProxyInformation";
    // -proxy with -overrideproxy, the machine's and the user's stored host (port 8080), then
    // the proxy downloads take and where it was set.
    // clang-format off
    const struct { const char* name; QString commandLine, machine, user, used, setting; } rows[] = {
        {"none named", "", "", "", ":0", ""},
        {"administrator before the desktop", "", "admin.example", "", "admin.example:8080", "administrator"},
        {"command line before the administrator", "cmd.example:3128", "admin.example", "", "cmd.example:3128:0", "command line"},
        {"a user's value is no administrator's", "", "", "user.example", ":0", ""},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Sandbox sandbox;
        for (const auto& [scope, host] :
             {std::pair(LocalMachine, row.machine), std::pair(CurrentUser, row.user)})
            if (!host.isEmpty()) {
                WriteSettingString(scope, key, "HttpProxyHost", host, kRegistryMarker);
                WriteSettingInt(scope, key, "HttpProxyPort", 8080, kRegistryMarker);
            }
        ProxyHandlerBase handler;
        if (!row.commandLine.isEmpty())
            handler.SetOverrideProxy(row.commandLine);
        handler.ReadAdministratorProxy();
        handler.userName = kProxyUser;
        handler.password = kProxyPassword;
        CAtlString host, user, password;
        int32_t port = -1;
        handler.GetProxySettings(host, port, user, password);
        EXPECT_EQ(std::pair(host + u':' + QString::number(port), handler.ProxySetting()),
                  std::pair(row.used, row.setting));
        // The proxy's 407: the run's login without a dialog for a named proxy, else nothing.
        CAtlString sent, sentPassword;
        EXPECT_EQ(handler.OnProxyAuthRequired(host, port, sent, sentPassword), row.used != ":0");
        EXPECT_EQ(sent + u'/' + sentPassword,
                  row.used != ":0" ? kProxyUser + u'/' + kProxyPassword : "/");
    }
}

// Connection Options replace the run's settings; only a new host is written to the registry.
// OK lets only an empty port field or a port from 1 to 65534 through; any other text keeps the
// dialog open, and the person then cancels.
TEST(ProxyHandlerBase, ConnectionOptionsReplaceSettingsAndStoreOnlyANewHost) {
    // Typed host and port, whether OK closes the dialog, and the settings afterwards.
    const std::tuple<const char*, const char*, bool, QString> cases[] = {
        {"proxy.example", "3128", true, "proxy.example:3128 bob/pw, stored proxy.example 3128"},
        // Only the port changes: used from now on, but not written.
        {"proxy.example", "65534", true, "proxy.example:65534 bob/pw, stored proxy.example 3128"},
        {"proxy.example", "", true, "proxy.example:0 bob/pw, stored proxy.example 3128"},
        {"other", "0", false, "proxy.example:0 bob/pw, stored proxy.example 3128"},
        {"other", "65535", false, "proxy.example:0 bob/pw, stored proxy.example 3128"},
        {"other", "80a", false, "proxy.example:0 bob/pw, stored proxy.example 3128"},
    };
    ProxyHandlerBase options;
    QWidget window;
    for (const auto& [host, port, accept, settings] : cases) {
        SCOPED_TRACE(port);
        bool refused = false;
        ModalAnswerer person([&, host = host, port = port](QWidget* dialog) {
            Answer("okButton", {"proxyHostEdit", host, "proxyPortEdit", port, "proxyUserNameEdit",
                                "bob", "proxyPasswordEdit", "pw"})(dialog);
            if ((refused = dialog->isVisible()))
                dialog->findChild<QPushButton*>("cancelButton")->click();
        });
        EXPECT_EQ(options.ShowConnectionOptions(&window), accept);
        EXPECT_EQ(refused, !accept);
        CAtlString usedHost, user, pass;
        int32_t usedPort = 0;
        options.GetProxySettings(usedHost, usedPort, user, pass);
        EXPECT_EQ(
            QStringLiteral("%1:%2 %3/%4, stored ").arg(usedHost).arg(usedPort).arg(user, pass) +
                Sandbox::StoredProxy(),
            settings);
        EXPECT_TRUE(window.children().isEmpty()) << "the dialog stayed attached to its parent";
    }
}

} // namespace

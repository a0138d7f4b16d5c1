// The check that the autostart entry runs at every login, on a network where only a proxy
// reaches the update server (squid resolves a name that this machine cannot) and the program
// is told of it by nothing but the desktop's configuration, set as each desktop really sets
// it: the environment that /etc/environment gives, GNOME's settings (GLib's keyfile backend in
// the sandbox stands in for dconf), a proxy script served on 127.0.0.1, the proxy an
// administrator stored in the machine hive.
#include "net/TestServers.h"
#include "support/Installation.h"

#include <QDate>

namespace {

const QString kCorpHost = QStringLiteral("updates.corp.example");
const QString kProxyKey =
    QStringLiteral("Software/ORVEX Technologies/Tavlo Software/ProxyInformation");

// One desktop configuration. In the texts, %SQUID is the port of the squid that wants
// kProxyUser's login, %OPEN that of a squid that wants none (as proxies that a script names
// often are), %PAC the address of a proxy script sending kCorpHost through %OPEN, %NOPAC an
// address where no script can be fetched, %CORP the server's address, %LOGIN
// "kProxyUser:kProxyPassword".
struct Desktop {
    const char* name;
    std::vector<std::pair<const char*, const char*>> variables;
    const char* keyfile; // GNOME's settings; empty: GNOME's defaults (mode 'none')
    bool reached;
    const char* route;  // what -verbose names as the way of a.xml
    int directAttempts; // routes tried direct in the whole run (five downloads)
    const char* reason; // of a row that is not reached
    // The machine hive names %SQUID as the administrator's proxy, and the run is given
    // -username and ORVEX_PROXY_PASSWORD, which belong to it.
    bool administrator = false;
};
void PrintTo(const Desktop& desktop, std::ostream* out) {
    *out << desktop.name;
}

const char kGnomeManual[] = "[system/proxy]\nmode='manual'\nignore-hosts=['localhost']\n"
                            "[system/proxy/http]\nhost='127.0.0.1'\nport=%SQUID\n"
                            "use-authentication=true\nauthentication-user='alice'\n"
                            "authentication-password='s3cret'\n";

class SilentRunBehindProxy : public ::testing::TestWithParam<Desktop> {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.IsRunning()) << "python3 could not start the server";
        ASSERT_TRUE(squid.IsRunning() && openSquid.IsRunning())
            << "squid could not be started (Debian package squid)";
        ASSERT_TRUE(RunProgram("dpkg-query", {"-W", "-f=${Status}", "gsettings-desktop-schemas"},
                               QProcessEnvironment::systemEnvironment())
                        .out.endsWith("installed"))
            << "the Debian package gsettings-desktop-schemas is missing";
        for (const QString name : {"list.xml", "self.xml", "a.xml", "b.xml", "c.xml"})
            server.Put(name, name == u"list.xml" ? Installation::List(Corp())
                                                 : Installation::Info("1.0.0.0"));
        server.Put("proxy.pac",
                   Expand("function FindProxyForURL(url, host) {\n"
                          "    if (dnsDomainIs(host, '.corp.example'))\n"
                          "        return 'SOCKS 127.0.0.1:1; PROXY 127.0.0.1:%OPEN';\n"
                          "    return 'DIRECT';\n"
                          "}\n")
                       .toUtf8());
    }
    QString Corp() const {
        return QStringLiteral("http://%1:%2/").arg(kCorpHost).arg(server.Port());
    }
    QString Expand(QString text) const {
        return text.replace("%SQUID", QString::number(squid.Port()))
            .replace("%OPEN", QString::number(openSquid.Port()))
            .replace("%NOPAC", QStringLiteral("http://127.0.0.1:%1/proxy.pac").arg(noScriptPort))
            .replace("%PAC", server.Url("/proxy.pac"))
            .replace("%CORP", Corp())
            .replace("%LOGIN", kProxyUser + u':' + kProxyPassword);
    }

    // The program's environment with the proxy configured only in the way the row names.
    QProcessEnvironment Environment(const Installation& installation) const {
        const Desktop desktop = GetParam();
        QProcessEnvironment env = ProgramEnvironment(installation, "offscreen");
        for (const char* name :
             {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
              "no_proxy", "NO_PROXY", "DESKTOP_SESSION", "GNOME_DESKTOP_SESSION_ID",
              "XDG_CURRENT_DESKTOP", "KDE_FULL_SESSION", "ORVEX_PROXY_PASSWORD"})
            env.remove(QString::fromLatin1(name));
        // GNOME's settings through GLib's keyfile backend, in the sandbox; without a keyfile
        // they are GNOME's defaults.
        if (*desktop.keyfile)
            installation.Write("desktop/glib-2.0/settings/keyfile",
                               Expand(QString::fromLatin1(desktop.keyfile)).toUtf8());
        env.insert("GSETTINGS_BACKEND", "keyfile");
        env.insert("XDG_CONFIG_HOME", installation.Path("desktop"));
        for (const auto& [name, value] : desktop.variables)
            env.insert(QString::fromLatin1(name), Expand(QString::fromLatin1(value)));
        if (desktop.administrator)
            env.insert("ORVEX_PROXY_PASSWORD", kProxyPassword);
        return env;
    }
    const int noScriptPort = FreePort();
    TestServer server;
    TestServer squid{{"--squid", kProxyUser + u':' + kProxyPassword, "--squid-hosts", kCorpHost}};
    TestServer openSquid{{"--squid", "nobody:none", "--squid-open", "--squid-hosts", kCorpHost}};
};

// Every file of the check comes through the proxy that the configuration names, with the login
// it holds (after one bare request that learns the proxy's scheme), and the check is recorded;
// -verbose names that route, and only the first download tries direct. A host the
// configuration exempts stays direct and fails, as does one whose script cannot be fetched,
// with a reason that names the script; nothing is recorded then.
TEST_P(SilentRunBehindProxy, ReachesTheServerThroughTheConfiguredProxy) {
    const Desktop desktop = GetParam();
    const Installation installation(Corp());
    QStringList arguments{"-verbose", "-locale", "en"};
    if (desktop.administrator) {
        WriteSettingString(LocalMachine, kProxyKey, "HttpProxyHost", "127.0.0.1", kRegistryMarker);
        WriteSettingInt(LocalMachine, kProxyKey, "HttpProxyPort", squid.Port(), kRegistryMarker);
        arguments << "-username" << kProxyUser;
    }
    const Outcome outcome = installation.RunSilent(false, arguments, Environment(installation));
    const QStringList routes = outcome.err.split(u'\n').filter(QRegularExpression("^Route of "));
    EXPECT_TRUE(routes.contains("Route of " + Corp() + "a.xml: " + Expand(desktop.route)))
        << outcome.err.toStdString();
    EXPECT_EQ(routes.join(u'\n').count(QRegularExpression("\\bdirect\\b")), desktop.directAttempts)
        << outcome.err.toStdString();
    if (!desktop.reached) {
        EXPECT_EQ(SquidAnswers(squid, kCorpHost) + SquidAnswers(openSquid, kCorpHost),
                  QStringList());
        EXPECT_TRUE(outcome.err.contains("Alpha: " + Corp() + "a.xml: " + Expand(desktop.reason)))
            << outcome.err.toStdString();
        EXPECT_EQ(Sandbox::UserValue("LastChecked"), 0);
        return;
    }
    // The products' information is fetched at once, so it arrives in any order.
    const bool open = Expand(desktop.route).contains(QString::number(openSquid.Port()));
    const TestServer& proxy = open ? openSquid : squid;
    // A proxy that a later setting names is never asked, so it learns no login.
    EXPECT_EQ(SquidAnswers(open ? squid : openSquid, kCorpHost), QStringList());
    EXPECT_TRUE(WaitFor([&] { return SquidAnswers(proxy, kCorpHost).size() >= 5; }, 5000));
    QStringList answers = SquidAnswers(proxy, kCorpHost);
    answers.removeAll("407 - /self.xml");
    std::sort(answers.begin() + std::min<qsizetype>(2, answers.size()), answers.end());
    const QString ok = "200 " + (open ? QString("-") : kProxyUser) + u' ';
    EXPECT_EQ(answers, (QStringList{ok + "/self.xml", ok + "/list.xml", ok + "/a.xml",
                                    ok + "/b.xml", ok + "/c.xml"}))
        << outcome.err.toStdString();
    EXPECT_EQ(Sandbox::UserValue("LastChecked"), QDate::currentDate().toJulianDay());
}

const char kNotFound[] = "The server updates.corp.example could not be found.";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Desktops, SilentRunBehindProxy, ::testing::Values(
    // /etc/environment with GNOME's default mode 'none' left as it is.
    Desktop{"EnvironmentUnderGnomeNone", {{"http_proxy", "http://%LOGIN@127.0.0.1:%SQUID"}, {"XDG_CURRENT_DESKTOP", "GNOME"}}, "[system/proxy]\nmode='none'\n", true, "proxy 127.0.0.1:%SQUID (environment http_proxy)", 1, ""},
    Desktop{"EnvironmentWithoutScheme", {{"http_proxy", "%LOGIN@127.0.0.1:%SQUID"}}, "", true, "proxy 127.0.0.1:%SQUID (environment http_proxy)", 1, ""},
    Desktop{"EnvironmentUpperCase", {{"HTTP_PROXY", "http://%LOGIN@127.0.0.1:%SQUID/"}}, "", true, "proxy 127.0.0.1:%SQUID (environment HTTP_PROXY)", 1, ""},
    Desktop{"EnvironmentAllProxy", {{"ALL_PROXY", "http://%LOGIN@127.0.0.1:%SQUID"}}, "", true, "proxy 127.0.0.1:%SQUID (environment ALL_PROXY)", 1, ""},
    Desktop{"NoProxyWithDot", {{"http_proxy", "http://%LOGIN@127.0.0.1:%SQUID"}, {"no_proxy", "localhost,.corp.example"}}, "", false, "direct (environment no_proxy)", 5, kNotFound},
    Desktop{"NoProxyWithoutDot", {{"http_proxy", "http://%LOGIN@127.0.0.1:%SQUID"}, {"NO_PROXY", "corp.example"}}, "", false, "direct (environment NO_PROXY)", 5, kNotFound},
    Desktop{"NoProxyStar", {{"http_proxy", "http://%LOGIN@127.0.0.1:%SQUID"}, {"no_proxy", "*"}}, "", false, "direct (environment no_proxy)", 5, kNotFound},
    // GNOME's own settings, in a session that names itself only in XDG_CURRENT_DESKTOP, over
    // an environment that names another proxy.
    Desktop{"GnomeManualXdgOnly", {{"XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}, {"http_proxy", "http://127.0.0.1:%OPEN"}}, kGnomeManual, true, "proxy 127.0.0.1:%SQUID (GNOME settings)", 1, ""},
    Desktop{"GnomeIgnoredHost", {}, "[system/proxy]\nmode='manual'\nignore-hosts=['localhost', '*.corp.example', 'corp.example']\n[system/proxy/http]\nhost='127.0.0.1'\nport=%SQUID\n", false, "direct (GNOME settings)", 5, kNotFound},
    Desktop{"GnomeAutoScript", {}, "[system/proxy]\nmode='auto'\nautoconfig-url='%PAC'\n", true, "proxy 127.0.0.1:%OPEN (proxy script %PAC)", 1, ""},
    Desktop{"ScriptInEnvironment", {{"http_proxy", "pac+%PAC"}}, "", true, "proxy 127.0.0.1:%OPEN (proxy script %PAC)", 1, ""},
    // The administrator's proxy comes before the desktop's, and the run's login reaches it.
    Desktop{"AdministratorBeforeGnome", {{"XDG_CURRENT_DESKTOP", "GNOME"}}, "[system/proxy]\nmode='manual'\n[system/proxy/http]\nhost='127.0.0.1'\nport=%OPEN\n", true, "proxy 127.0.0.1:%SQUID (administrator)", 0, "", true},
    Desktop{"UnfetchableScript", {{"http_proxy", "pac+%NOPAC"}}, "", false, "direct (proxy script %NOPAC could not be used)", 5, "The proxy script %NOPAC could not be fetched or run, and the server updates.corp.example could not be reached without it."}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// A proxy script, fetched over plain HTTP, can name any proxy; one that asks for Basic must not
// learn the run's password (given with -username and ORVEX_PROXY_PASSWORD), which belongs to
// the proxy given with -proxy alone. Named with -proxy, the same proxy gets it.
TEST(SilentRunBehindHostileProxy, PasswordGoesOnlyToTheProxyItWasGivenFor) {
    TestServer server;
    TestServer hostile{{"--squid", kProxyUser + u':' + kProxyPassword, "--squid-log-auth",
                        "--squid-hosts", kCorpHost}};
    ASSERT_TRUE(server.IsRunning() && hostile.IsRunning())
        << "python3 or squid could not be started (Debian package squid)";
    const QString corp = QStringLiteral("http://%1:%2/").arg(kCorpHost).arg(server.Port());
    for (const QString name : {"list.xml", "self.xml", "a.xml", "b.xml", "c.xml"})
        server.Put(name,
                   name == u"list.xml" ? Installation::List(corp) : Installation::Info("1.0.0.0"));
    server.Put("proxy.pac", QStringLiteral("function FindProxyForURL(url, host) {\n"
                                           "    return 'PROXY 127.0.0.1:%1';\n}\n")
                                .arg(hostile.Port())
                                .toUtf8());
    const QByteArray basic = (kProxyUser + u':' + kProxyPassword).toUtf8().toBase64();
    const QString proxy = QStringLiteral("127.0.0.1:%1").arg(hostile.Port());
    const Installation installation(corp);
    QProcessEnvironment env = ProgramEnvironment(installation, "offscreen");
    env.insert("http_proxy", "pac+" + server.Url("/proxy.pac"));
    env.insert("ORVEX_PROXY_PASSWORD", kProxyPassword);
    const QStringList login{"-verbose", "-locale", "en", "-username", kProxyUser};

    const Outcome scripted = installation.RunSilent(false, login, env);
    EXPECT_TRUE(scripted.err.contains("Alpha: " + corp + "a.xml: The proxy " + proxy +
                                      " asked for a user name and password, and none was given."))
        << scripted.err.toStdString();
    EXPECT_TRUE(SquidAnswers(hostile, kCorpHost).contains("407 - /a.xml"))
        << hostile.Log().toStdString();
    EXPECT_FALSE(hostile.Log().contains(basic)) << hostile.Log().toStdString();
    EXPECT_FALSE(hostile.Log().contains(kProxyPassword)) << hostile.Log().toStdString();
    EXPECT_EQ(SquidAnswers(hostile, kCorpHost).filter("200").size(), 0);

    installation.RunSilent(false, login + QStringList{"-overrideproxy", "-proxy", proxy}, env);
    EXPECT_TRUE(WaitFor(
        [&] { return SquidAnswers(hostile, kCorpHost).contains("200 alice /a.xml"); }, 5000))
        << hostile.Log().toStdString();
    EXPECT_TRUE(hostile.Log().contains(basic)) << hostile.Log().toStdString();
}

} // namespace

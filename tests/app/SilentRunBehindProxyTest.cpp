// The check that the autostart entry runs at every login, on a network where only a proxy
// reaches the update server and the program is told of it by nothing but the desktop's
// configuration: the environment that /etc/environment sets, or GNOME's proxy settings.
#include "net/TestServers.h"
#include "support/Installation.h"

#include <QDate>

namespace {

const QString kCorpHost = QStringLiteral("updates.corp.example");

// How the desktop names the proxy, and whether it lists kCorpHost among the hosts reached
// without it.
struct Desktop {
    const char* name;
    bool gnome;
    bool exempt;
};
void PrintTo(const Desktop& desktop, std::ostream* out) {
    *out << desktop.name;
}

class SilentRunBehindProxy : public ::testing::TestWithParam<Desktop> {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.IsRunning()) << "python3 could not start the server";
        ASSERT_TRUE(squid.IsRunning()) << "squid could not be started (Debian package squid)";
        // libproxy reads GNOME's settings only through its plugin, and GSettings only with the
        // schema of those settings.
        if (GetParam().gnome) {
            for (const QString package :
                 {"libproxy1-plugin-gsettings", "gsettings-desktop-schemas"})
                ASSERT_TRUE(RunProgram("dpkg-query", {"-W", "-f=${Status}", package},
                                       QProcessEnvironment::systemEnvironment())
                                .out.endsWith("installed"))
                    << "the Debian package " << package.toStdString() << " is missing";
        }
        for (const QString name : {"list.xml", "self.xml", "a.xml", "b.xml", "c.xml"})
            server.Put(name, name == u"list.xml" ? Installation::List(Corp())
                                                 : Installation::Info("1.0.0.0"));
    }
    QString Corp() const {
        return QStringLiteral("http://%1:%2/").arg(kCorpHost).arg(server.Port());
    }

    // The program's environment with the proxy configured only in the way the row names.
    QProcessEnvironment Environment(const Installation& installation) const {
        const Desktop desktop = GetParam();
        QProcessEnvironment env = ProgramEnvironment(installation, "offscreen");
        for (const char* name :
             {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
              "no_proxy", "NO_PROXY", "DESKTOP_SESSION", "GNOME_DESKTOP_SESSION_ID",
              "XDG_CURRENT_DESKTOP", "GSETTINGS_BACKEND", "XDG_CONFIG_HOME"})
            env.remove(QString::fromLatin1(name));
        const QString port = QString::number(squid.Port());
        if (!desktop.gnome) {
            // As an administrator writes it into /etc/environment; the password comes from
            // the program's own variable, so that the file readable by all holds none.
            env.insert("http_proxy", "http://" + kProxyUser + "@127.0.0.1:" + port);
            env.insert("ORVEX_PROXY_PASSWORD", kProxyPassword);
            if (desktop.exempt)
                env.insert("no_proxy", "localhost," + kCorpHost);
            return env;
        }
        // GNOME's settings through GLib's keyfile backend, in the sandbox; libproxy reads
        // them when the session says it is GNOME's.
        installation.Write(
            "desktop/glib-2.0/settings/keyfile",
            QStringLiteral("[system/proxy]\nmode='manual'\nignore-hosts=['localhost'%1]\n"
                           "[system/proxy/http]\nhost='127.0.0.1'\nport=%2\n"
                           "use-authentication=true\nauthentication-user='%3'\n"
                           "authentication-password='%4'\n")
                .arg(desktop.exempt ? ", '" + kCorpHost + "'" : QString(), port, kProxyUser,
                     kProxyPassword)
                .toUtf8());
        env.insert("DESKTOP_SESSION", "gnome");
        env.insert("GSETTINGS_BACKEND", "keyfile");
        env.insert("XDG_CONFIG_HOME", installation.Path("desktop"));
        return env;
    }
    TestServer server;
    TestServer squid{{"--squid", kProxyUser + u':' + kProxyPassword, "--squid-hosts", kCorpHost}};
};

// Every file of the check comes through squid with the configured login (after one bare
// request that learns the proxy's scheme) and the check is recorded; a host the configuration
// exempts stays direct, fails, and nothing is recorded.
TEST_P(SilentRunBehindProxy, ChecksEveryProductThroughTheConfiguredProxy) {
    const Installation installation(Corp());
    const Outcome outcome =
        installation.RunSilent(false, {"-verbose", "-locale", "en"}, Environment(installation));
    const QString ok = "200 " + kProxyUser + u' ';
    if (GetParam().exempt) {
        EXPECT_EQ(SquidAnswers(squid, kCorpHost), QStringList());
        EXPECT_TRUE(outcome.err.contains("Alpha: " + Corp() + "a.xml: The server " + kCorpHost +
                                         " could not be found."))
            << outcome.err.toStdString();
        EXPECT_EQ(Sandbox::UserValue("LastChecked"), 0);
        return;
    }
    EXPECT_TRUE(WaitFor([&] { return SquidAnswers(squid, kCorpHost).size() >= 6; }, 5000));
    // The products' information is fetched at once, so it arrives in any order.
    QStringList answers = SquidAnswers(squid, kCorpHost);
    std::sort(answers.begin() + std::min<qsizetype>(3, answers.size()), answers.end());
    EXPECT_EQ(answers,
              (QStringList{"407 - /self.xml", ok + "/self.xml", ok + "/list.xml", ok + "/a.xml",
                           ok + "/b.xml", ok + "/c.xml"}))
        << outcome.err.toStdString();
    EXPECT_EQ(Sandbox::UserValue("LastChecked"), QDate::currentDate().toJulianDay());
}

INSTANTIATE_TEST_SUITE_P(Desktops, SilentRunBehindProxy,
                         ::testing::Values(Desktop{"Environment", false, false},
                                           Desktop{"EnvironmentNoProxy", false, true},
                                           Desktop{"Gnome", true, false},
                                           Desktop{"GnomeIgnoredHost", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

// The check that the autostart entry runs at every login, on a network where only a proxy
// reaches the update server and the program is told of it by nothing but the desktop's
// configuration: the environment that /etc/environment sets, or GNOME's proxy settings.
#include "net/TestServers.h"
#include "support/CatalogueSandbox.h"

#include <QDate>

namespace {

const QString kCorpHost = QStringLiteral("updates.corp.example");

// An installation whose list, own version file and three products all name kCorpHost, a name
// that only squid can resolve. Everything is current, so the silent run shows no window.
struct CorpInstallation : CatalogueSandbox {
    explicit CorpInstallation(const QString& server) {
        QFile::copy(ORVEX_BINARY_DIR "/orvex-product-update", Program());
        QFile::setPermissions(Program(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        Write("Program/OrvexProductUpdate.xml", VersionFile("1.0.0.0", server, "self.xml"));
        for (const QString name : {"A", "B", "C"})
            Write("ORVEX Software Update/" + name + ".xml",
                  VersionFile("1.0.0.0", server, name.toLower() + ".xml"));
        Write("ProgramData/productlist.xml", ProductList(server));
    }
    static QByteArray ProductList(const QString& server) {
        QStringList products;
        for (const QString name : {"A", "B", "C"})
            products << Product("Product " + name, name);
        return List("1.0.0.0", server + "list.xml", products);
    }
    QString Program() const { return Path("Program/orvex-product-update"); }
};

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
            server.Put(name, name == u"list.xml" ? CorpInstallation::ProductList(Corp())
                                                 : CatalogueSandbox::Info("1.0.0.0"));
    }
    QString Corp() const {
        return QStringLiteral("http://%1:%2/").arg(kCorpHost).arg(server.Port());
    }

    // The program's environment with the proxy configured only in the way the row names.
    QProcessEnvironment Environment(const CorpInstallation& installation) const {
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
    // squid's answers so far for kCorpHost, as "STATUS USER PATH".
    QStringList ProxyAnswers() const {
        QStringList answers;
        for (const QString& line : squid.Log().split(u'\n', Qt::SkipEmptyParts)) {
            const QStringList field = line.simplified().split(u' ');
            if (field.size() >= 8 && field[6].contains(kCorpHost))
                answers << field[3].section(u'/', 1) + u' ' + field[7] + u' ' +
                               QUrl(field[6]).path();
        }
        return answers;
    }

    TestServer server;
    TestServer squid{{"--squid", kProxyUser + u':' + kProxyPassword, "--squid-hosts", kCorpHost}};
};

// Every file of the check comes through squid with the configured login (after one bare
// request that learns the proxy's scheme) and the check is recorded; a host the configuration
// exempts stays direct, fails, and nothing is recorded.
TEST_P(SilentRunBehindProxy, ChecksEveryProductThroughTheConfiguredProxy) {
    const CorpInstallation installation(Corp());
    const Outcome outcome =
        RunProgram(installation.Program(), {"-silent", "-verbose", "-locale", "en"},
                   Environment(installation));
    EXPECT_EQ(std::pair(outcome.status, outcome.exitCode), std::pair(QProcess::NormalExit, 0));
    EXPECT_EQ(TemporaryFiles(), QStringList());
    const QString ok = "200 " + kProxyUser + u' ';
    if (GetParam().exempt) {
        EXPECT_EQ(ProxyAnswers(), QStringList());
        EXPECT_TRUE(outcome.err.contains("Product A: " + Corp() + "a.xml: The server " + kCorpHost +
                                         " could not be found."))
            << outcome.err.toStdString();
        EXPECT_EQ(Sandbox::UserValue("LastChecked"), 0);
        return;
    }
    EXPECT_TRUE(WaitFor([&] { return ProxyAnswers().size() >= 6; }, 5000));
    EXPECT_EQ(ProxyAnswers(), (QStringList{"407 - /self.xml", ok + "/self.xml", ok + "/list.xml",
                                           ok + "/a.xml", ok + "/b.xml", ok + "/c.xml"}))
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

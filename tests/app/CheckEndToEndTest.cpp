// A whole check by the real program: its product list, version files and own version file in
// a sandbox laid out like an installation, its update information on a real server.
#include "net/TestServers.h"
#include "support/Installation.h"

#include <QDate>

namespace {

class CheckEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.IsRunning()) << "python3 could not start it"; }
    TestServer server;
};

TEST_F(CheckEndToEnd, SilentDueRunChecksEveryProductShowsItsFindingAndLeavesNothing) {
    const Installation installation(server.Url("/"));
    // The list on the server is the same version: fetched, read and discarded. The program
    // is current; Alpha has an update, Beta is current and Gamma's information is missing.
    server.Put("list.xml", Installation::List(server.Url("/")));
    server.Put("self.xml", Installation::Info("1.0.0.0"));
    server.Put("a.xml", Installation::Info("2.0.0.0"));
    server.Put("b.xml", Installation::Info("1.0.0.0"));
    installation.RunSilent(true);
    EXPECT_EQ(server.Requests(),
              (QStringList{"GET /self.xml auth=0", "GET /list.xml auth=0", "GET /a.xml auth=0",
                           "GET /b.xml auth=0", "GET /c.xml auth=0"}));
    EXPECT_EQ(Sandbox::UserValue("LastChecked"), QDate::currentDate().toJulianDay());
}

// A current notice the user has not opened is a finding of the silent run; once opened it is
// not, and the run ends without a window.
TEST_F(CheckEndToEnd, SilentRunShowsAnUnopenedCurrentNotice) {
    const QString day = QStringLiteral("yyyyMMdd");
    server.Put("self.xml", Installation::Info("1.0.0.0"));
    server.Put("b.xml", Installation::Info("1.0.0.0"));
    server.Put("notice.xml", QStringLiteral(R"(<Notification WebPage="https://example.org/n"
        StartDate="%1" StopDate="%2"><Text><en value="News"/></Text></Notification>)")
                                 .arg(QDate::currentDate().addDays(-1).toString(day),
                                      QDate::currentDate().addDays(1).toString(day))
                                 .toUtf8());
    const QByteArray list = CatalogueSandbox::List(
        "1.0.0.0", {},
        {"<Notification Name=\"News\" BaseXML=\"news\"/>", Installation::Product("Beta", "B")});
    for (const bool opened : {false, true}) {
        SCOPED_TRACE(opened ? "Opened" : "Unopened");
        const Installation installation(server.Url("/"), list);
        installation.Write(
            "Program/news.xml",
            ("<Notification URL=\"" + server.Url("/") + "\" File=\"notice.xml\"/>").toUtf8());
        // The maker's notices go to machines with Tavlo before version 10.
        installation.Write("Program/SoftwareUpdateTSW.xml",
                           Installation::VersionFile("9.0.0.0", server.Url("/"), "t.xml"));
        if (opened)
            WriteSettingInt(CurrentUser, "Software/ORVEX Technologies/Product Update/Notifications",
                            "News", 1, kRegistryMarker);
        installation.RunSilent(!opened);
        EXPECT_EQ(Sandbox::UserValue("LastChecked"), QDate::currentDate().toJulianDay());
    }
    EXPECT_EQ(server.Requests().count("GET /notice.xml auth=0"), 2);
}

TEST(CheckEndToEndOffline, SilentRunWithTheServerDownRecordsNoCheck) {
    const Installation installation(QStringLiteral("http://127.0.0.1:%1/").arg(FreePort()));
    installation.RunSilent(false);
    // The schedule is saved in the user's hive of the sandbox, but not as checked.
    EXPECT_EQ(Sandbox::UserValue("Interval"), 30);
    EXPECT_EQ(Sandbox::UserValue("LastChecked"), 0);
    EXPECT_FALSE(QFileInfo::exists(installation.Path("machine.reg")));
}

// -verbose tells on standard error where each product's information was fetched from and why
// it is missing; standard output stays what it is without the switch. A login written into a
// version file's address reaches the server but never the console.
TEST_F(CheckEndToEnd, VerboseTellsAddressAndReasonOnStandardErrorOnly) {
    // Nothing to show, so the silent run ends without a window.
    server.Put("self.xml", Installation::Info("1.0.0.0"));
    server.Put("a.xml", Installation::Info("1.0.0.0"));
    server.Put("b.xml", "not XML");
    const Outcome plain = Installation(server.Url("/")).RunSilent(false, {"-locale", "en"});
    const Outcome verbose =
        Installation(server.Url("/")).RunSilent(false, {"-locale", "en", "-verbose"});
    EXPECT_EQ(verbose.out, plain.out);
    EXPECT_TRUE(plain.out.contains("- Done Gamma"));
    EXPECT_FALSE(plain.err.contains(server.Url("/"))) << plain.err.toStdString();
    const QStringList lines = verbose.err.split(u'\n');
    for (const QString& line : {"Alpha: " + server.Url("/a.xml"),
                                "Beta: " + server.Url("/b.xml") +
                                    ": The update information was not understood: it is not XML.",
                                "Gamma: " + server.Url("/c.xml") +
                                    ": The server answered with status 404 File not found."})
        EXPECT_TRUE(lines.contains(line)) << verbose.err.toStdString();
    const QString withLogin = server.Url("/").replace("://", "://updates:t0ps3cret@");
    const Outcome logged = Installation(withLogin).RunSilent(false, {"-locale", "en", "-verbose"});
    EXPECT_TRUE(logged.err.split(u'\n').contains("Alpha: " + server.Url("/a.xml")))
        << logged.err.toStdString();
    EXPECT_FALSE((logged.out + logged.err).contains("t0ps3cret")) << logged.err.toStdString();
}

// Installed versions that are no version numbers, for a product and for the program itself:
// nothing is fetched for them, nothing offered or asked (a question or a finding would keep
// the silent run waiting for a person), and -verbose says why for each.
TEST_F(CheckEndToEnd, InstalledVersionsThatAreNoVersionsAreNeverOfferedAnything) {
    for (const char* name : {"self.xml", "a.xml"})
        server.Put(name, Installation::Info("9.0.0.0"));
    for (const char* name : {"b.xml", "c.xml"})
        server.Put(name, Installation::Info("1.0.0.0"));
    for (const QString text : {"2.1", "", "1.2.3.4.5"}) {
        SCOPED_TRACE(text.toStdString());
        const Installation installation(server.Url("/"));
        installation.Write("Program/OrvexProductUpdate.xml",
                           Installation::VersionFile(text, server.Url("/"), "self.xml"));
        installation.Write("ORVEX Software Update/A.xml",
                           Installation::VersionFile(text, server.Url("/"), "a.xml"));
        const Outcome outcome = installation.RunSilent(false, {"-locale", "en", "-verbose"});
        const QString reason = text.isEmpty() ? "The version file gives no installed version."
                                              : "The installed version \"" + text +
                                                    "\" is not a valid version number.";
        const QStringList lines = outcome.err.split(u'\n');
        EXPECT_TRUE(lines.contains("ORVEX Product Update: " + reason)) << outcome.err.toStdString();
        EXPECT_TRUE(lines.contains("Alpha: " + server.Url("/a.xml") + ": " + reason))
            << outcome.err.toStdString();
        EXPECT_TRUE(outcome.out.contains("- Done Gamma"));
    }
    const QStringList requests = server.Requests();
    EXPECT_EQ(requests.count("GET /c.xml auth=0"), 3);
    EXPECT_FALSE(requests.contains("GET /self.xml auth=0") ||
                 requests.contains("GET /a.xml auth=0"))
        << requests.join(u' ').toStdString();
}

// An ordinary user may write neither the program's folder nor the machine-wide one, so the
// newer list on the server cannot be stored. It serves that user's run all the same, the
// window's as the silent run's: both check Delta, which only the new list names, and not
// Gamma, which it dropped.
TEST_F(CheckEndToEnd, OrdinaryUserChecksTheRefreshedListInTheWindowAndTheSilentRun) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as another user";
    const Installation installation(server.Url("/"));
    const QByteArray old = installation.Read("ProgramData/productlist.xml");
    server.Put("list.xml", CatalogueSandbox::List("2.0.0.0", server.Url("/list.xml"),
                                                  {Installation::Product("Alpha", "A"),
                                                   Installation::Product("Delta", "C")}));
    for (const char* name : {"self.xml", "a.xml", "c.xml"})
        server.Put(name, Installation::Info("1.0.0.0"));
    const OtherUser user{4711};
    OtherUser::OpenToAll(installation.Root());
    QDir().mkpath(installation.Path("tmp"));
    ASSERT_EQ(::chown(QFile::encodeName(installation.Path("tmp")).constData(), user.uid, user.uid),
              0);
    const QProcessEnvironment env =
        user.Environment(ProgramEnvironment(installation, "offscreen"), installation);
    const QString checked =
        "- Checking Alpha...\n- Done Alpha\n- Checking Delta...\n- Done Delta\n";

    const Outcome silent = user.Run(installation.Program(), {"-silent"}, env);
    EXPECT_EQ(silent.out, checked) << silent.err.toStdString();

    // The window stays open after its check; it is closed once the check has been seen.
    QProcess window;
    user.Start(window, installation.Program(), {}, env);
    QString out;
    WaitFor(
        [&] {
            window.waitForReadyRead(100);
            out += QString::fromLocal8Bit(window.readAllStandardOutput());
            return out.contains("- Done Delta");
        },
        60000);
    ::kill(static_cast<pid_t>(window.processId()), SIGKILL);
    window.waitForFinished();
    EXPECT_EQ(out, "\n" + checked) << window.readAllStandardError().constData();

    EXPECT_EQ(installation.Read("ProgramData/productlist.xml"), old);
    EXPECT_FALSE(QFileInfo::exists(installation.Path("Program/productlist.xml")));
}

} // namespace

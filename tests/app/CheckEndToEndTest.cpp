// A whole check by the real program: its product list, version files and own version file in
// a sandbox laid out like an installation, its update information on a real server.
#include "net/TestServers.h"
#include "support/CatalogueSandbox.h"

#include <QDate>

namespace {

// The program is copied into the sandbox: its own folder is where it looks for its version
// file and the products' version files.
struct Installation : CatalogueSandbox {
    explicit Installation(const QString& server, const QByteArray& list = {}) {
        QFile::copy(ORVEX_BINARY_DIR "/orvex-product-update", Program());
        QFile::setPermissions(Program(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        Write("Program/OrvexProductUpdate.xml", VersionFile("1.0.0.0", server, "self.xml"));
        for (const QString name : {"A", "B", "C"})
            Write("ORVEX Software Update/" + name + ".xml",
                  VersionFile("1.0.0.0", server, name.toLower() + ".xml"));
        Write("ProgramData/productlist.xml", list.isEmpty() ? List(server) : list);
    }
    static QByteArray List(const QString& server) {
        return CatalogueSandbox::List(
            "1.0.0.0", server + "list.xml",
            {Product("Alpha", "A"), Product("Beta", "B"), Product("Gamma", "C")});
    }
    QString Program() const { return Path("Program/orvex-product-update"); }
    // Runs the program silently, on a display of its own when a window is expected, which
    // the person then closes with Escape; a run that leaves a file behind fails.
    Outcome RunSilent(bool window, const QStringList& more = {}) const {
        if (!window)
            return Checked(RunProgram(Program(), QStringList{"-silent"} + more,
                                      ProgramEnvironment(*this, "offscreen")));
        XServer x;
        EXPECT_FALSE(x.Display().isEmpty()) << "Xvfb did not start (package xvfb)";
        QProcess program;
        program.setProcessEnvironment(ProgramEnvironment(*this, x.Display()));
        program.start(Program(), QStringList{"-silent"} + more);
        const QString shown = x.WaitForWindow("ORVEX Product Update");
        x.PressEscape(shown);
        const Outcome outcome = Finish(program);
        EXPECT_FALSE(shown.isEmpty()) << "the finding was not shown; the program said:\n"
                                      << outcome.out.toStdString() << outcome.err.toStdString();
        return Checked(outcome);
    }
    static Outcome Checked(const Outcome& outcome) {
        EXPECT_EQ(std::pair(outcome.status, outcome.exitCode), std::pair(QProcess::NormalExit, 0));
        EXPECT_EQ(TemporaryFiles(), QStringList());
        return outcome;
    }
};

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
// it is missing; standard output stays what it is without the switch.
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
}

// A login written into a version file's address reaches the server but never the console.
TEST_F(CheckEndToEnd, VerboseNeverPrintsALoginInAnAddress) {
    server.Put("self.xml", Installation::Info("1.0.0.0"));
    server.Put("a.xml", Installation::Info("1.0.0.0"));
    const QString withLogin = server.Url("/").replace("://", "://updates:t0ps3cret@");
    const Outcome verbose = Installation(withLogin).RunSilent(false, {"-locale", "en", "-verbose"});
    EXPECT_TRUE(verbose.err.split(u'\n').contains("Alpha: " + server.Url("/a.xml")))
        << verbose.err.toStdString();
    EXPECT_FALSE((verbose.out + verbose.err).contains("t0ps3cret")) << verbose.err.toStdString();
}

} // namespace

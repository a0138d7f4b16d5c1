// A whole check by the real program: its product list, version files and own version file in
// a sandbox laid out like an installation, its update information on a real server.
#include "net/TestServers.h"
#include "support/Installation.h"
#include "support/MinisignTool.h"

#include <QDate>
#include <QRegularExpression>

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
    // The products' information is fetched at once, so it arrives in any order.
    QStringList requests = server.Requests();
    std::sort(requests.begin() + std::min<qsizetype>(2, requests.size()), requests.end());
    EXPECT_EQ(requests,
              (QStringList{"GET /self.xml auth=0", "GET /list.xml auth=0", "GET /a.xml auth=0",
                           "GET /b.xml auth=0", "GET /c.xml auth=0"}));
    EXPECT_EQ(Sandbox::UserValue("LastChecked"), QDate::currentDate().toJulianDay());
}

// A current notice the user has not opened is a finding of the silent run; once opened it is
// not, and the run ends without a window. A last check recorded in the future does not hold
// the run back.
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
        // The last check lies a year ahead, as a run whose clock was ahead recorded it: the
        // check is due all the same, and records today.
        WriteSettingInt(CurrentUser, "Software/ORVEX Technologies/Product Update", "LastChecked",
                        static_cast<int32_t>(QDate::currentDate().addYears(1).toJulianDay()),
                        kRegistryMarker);
        installation.RunSilent(!opened);
        EXPECT_EQ(Sandbox::UserValue("LastChecked"), QDate::currentDate().toJulianDay());
    }
    EXPECT_EQ(server.Requests().count("GET /notice.xml auth=0"), 2);
}

TEST(CheckEndToEndOffline, SilentRunWithTheServerDownRecordsNoCheck) {
    const Installation installation(QStringLiteral("http://127.0.0.1:%1/").arg(FreePort()));
    // A server that cannot be reached for the program's own update is no finding to tell.
    const Outcome outcome = installation.RunSilent(false, {"-verbose", "-locale", "en"});
    EXPECT_FALSE(outcome.err.contains("ORVEX Product Update: ")) << outcome.err.toStdString();
    // The schedule is saved in the user's hive of the sandbox, but not as checked.
    EXPECT_EQ(Sandbox::UserValue("Interval"), 30);
    EXPECT_EQ(Sandbox::UserValue("LastChecked"), 0);
    EXPECT_FALSE(QFileInfo::exists(installation.Path("machine.reg")));
}

// -verbose tells on standard error where each product's information was fetched from and why
// it is missing; standard output stays what it is without the switch. An installed version that
// is no version number, the program's own as a product's, is not fetched for, never offered
// anything (a question or a finding would keep the silent run waiting for a person), and
// -verbose says why. A login written into a version file's address reaches the server but
// never the console.
TEST_F(CheckEndToEnd, VerboseTellsAddressAndReasonOnStandardErrorOnly) {
    // Nothing to show, so the silent run ends without a window.
    for (const char* name : {"self.xml", "a.xml"})
        server.Put(name, Installation::Info("1.0.0.0"));
    server.Put("b.xml", "not XML");
    const auto run = [&](const QString& url, const QStringList& more) {
        const Installation installation(url);
        installation.Write("Program/OrvexProductUpdate.xml",
                           Installation::VersionFile("2.1", url, "self.xml"));
        installation.Write("ORVEX Software Update/A.xml",
                           Installation::VersionFile("2.1", url, "a.xml"));
        return installation.RunSilent(false, QStringList{"-locale", "en"} + more);
    };
    const Outcome plain = run(server.Url("/"), {});
    const Outcome verbose = run(server.Url("/"), {"-verbose"});
    EXPECT_EQ(verbose.out, plain.out);
    EXPECT_TRUE(plain.out.contains("- Done Gamma"));
    EXPECT_FALSE(plain.err.contains(server.Url("/"))) << plain.err.toStdString();
    const QString invalid = "The installed version \"2.1\" is not a valid version number.";
    const QStringList lines = verbose.err.split(u'\n');
    for (const QString& line :
         {"ORVEX Product Update: " + invalid, "Alpha: " + server.Url("/a.xml") + ": " + invalid,
          "Beta: " + server.Url("/b.xml") +
              ": The update information was not understood: it is not XML.",
          "Gamma: " + server.Url("/c.xml") +
              ": The server answered with status 404 File not found."})
        EXPECT_TRUE(lines.contains(line)) << verbose.err.toStdString();
    EXPECT_EQ(server.Requests().filter(QRegularExpression("/(self|a)\\.xml")), QStringList());
    const QString withLogin = server.Url("/").replace("://", "://updates:t0ps3cret@");
    const Outcome logged = Installation(withLogin).RunSilent(false, {"-locale", "en", "-verbose"});
    EXPECT_TRUE(logged.err.split(u'\n').contains("Alpha: " + server.Url("/a.xml")))
        << logged.err.toStdString();
    EXPECT_FALSE((logged.out + logged.err).contains("t0ps3cret")) << logged.err.toStdString();
}

// With keys named, -verbose tells of every document whose signature was checked: the key id,
// sequence and expiry of one that counted, and the reason of every refusal (the program's own
// update information, the product list, a product's), each with its address. A refusal is
// no finding: the silent run ends without a window, though A's refused offer is newer.
TEST_F(CheckEndToEnd, VerboseTellsEveryCheckedSignatureAndARefusalOpensNoWindow) {
    MinisignTool tool;
    const QString key = "UpdatePublicKey=\"" + tool.MakeKey("maker") + "\"";
    const QString url = server.Url("/");
    const Installation installation(url);
    installation.Write("Program/OrvexProductUpdate.xml",
                       Installation::VersionFile("1.0.0.0", url, "self.xml", key));
    for (const QString name : {"A", "B"})
        installation.Write("ORVEX Software Update/" + name + ".xml",
                           Installation::VersionFile("1.0.0.0", url, name.toLower() + ".xml", key));
    server.Put("self.xml", Installation::Info("1.0.0.0"));
    server.Put("list.xml", Installation::List(url));
    server.Put("a.xml", Installation::Info("9.0.0.0"));
    server.Put("a.xml.minisig",
               tool.Sign("maker", Installation::Info("9.0.0.0"), "for=B sequence=8"));
    server.Put("b.xml", Installation::Info("1.0.0.0"));
    server.Put("b.xml.minisig", tool.Sign("maker", Installation::Info("1.0.0.0"),
                                          "for=B sequence=7 expires=2099-12-31"));
    server.Put("c.xml", Installation::Info("1.0.0.0"));
    const Outcome outcome = installation.RunSilent(false, {"-verbose", "-locale", "en"});
    const QStringList lines = outcome.err.split(u'\n');
    for (const QString& line : {url + "self.xml was refused: Its signature is missing.",
                                url + "list.xml was refused: Its signature is missing.",
                                url + "a.xml was refused: It was signed for \"B\", not for \"A\".",
                                url + "b.xml: Signature checked: key " + tool.PrintedId("maker") +
                                    ", sequence 7, expires 2099-12-31."})
        EXPECT_TRUE(lines.contains(line)) << line.toStdString() << "\n"
                                          << outcome.err.toStdString();
}

// Each answer fetched ahead goes only to a request for its own address. A's information is
// missing, so its signature, fetched ahead beside it, is never asked for: B and C still get
// their own documents and signatures, each fetched once.
TEST_F(CheckEndToEnd, AnAnswerFetchedAheadGoesOnlyToItsOwnAddress) {
    MinisignTool tool;
    const QString key = "UpdatePublicKey=\"" + tool.MakeKey("maker") + "\"";
    const QString url = server.Url("/");
    const Installation installation(url);
    for (const QString name : {"A", "B", "C"})
        installation.Write("ORVEX Software Update/" + name + ".xml",
                           Installation::VersionFile("1.0.0.0", url, name.toLower() + ".xml", key));
    server.Put("self.xml", Installation::Info("1.0.0.0"));
    server.Put("list.xml", Installation::List(url));
    server.Put("a.xml.minisig",
               tool.Sign("maker", Installation::Info("9.0.0.0"), "for=A sequence=1"));
    for (const QString name : {"B", "C"}) {
        const QString file = name.toLower() + ".xml";
        server.Put(file, Installation::Info("1.0.0.0"));
        server.Put(file + ".minisig", tool.Sign("maker", Installation::Info("1.0.0.0"),
                                                "for=" + name + " sequence=3 expires=2099-12-31"));
    }
    const Outcome outcome = installation.RunSilent(false, {"-verbose", "-locale", "en"});
    const QStringList lines = outcome.err.split(u'\n');
    for (const QString name : {"b", "c"})
        EXPECT_TRUE(lines.contains(url + name + ".xml: Signature checked: key " +
                                   tool.PrintedId("maker") + ", sequence 3, expires 2099-12-31."))
            << name.toStdString() << "\n"
            << outcome.err.toStdString();
    for (const QString file : {"/b.xml", "/b.xml.minisig", "/c.xml", "/c.xml.minisig"})
        EXPECT_EQ(server.Requests().filter(QRegularExpression(file + " ")).size(), 1)
            << file.toStdString();
}

} // namespace

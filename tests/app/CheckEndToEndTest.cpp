// A whole check by the real program: its product list, version files and own version file in
// a sandbox laid out like an installation, its update information on a real server.
#include "net/TestServers.h"
#include "platform/Settings.h"
#include "support/ProgramRun.h"

#include <QDate>

#include <gtest/gtest.h>

namespace {

// The program is copied into the sandbox: its own folder is where it looks for its version
// file and the products' version files.
struct Installation {
    explicit Installation(const Sandbox& sandbox, const QString& server) : sandbox(sandbox) {
        QDir().mkpath(sandbox.Path("Program"));
        QFile::copy(ORVEX_BINARY_DIR "/orvex-product-update", Program());
        QFile::setPermissions(Program(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        sandbox.Write("Program/OrvexProductUpdate.xml", Version("1.0.0.0", server, "self.xml"));
        for (const char* name : {"A", "B", "C"}) {
            sandbox.Write(QStringLiteral("ORVEX Software Update/%1.xml").arg(name),
                          Version("1.0.0.0", server, QString::fromLatin1(name).toLower() + ".xml"));
        }
        sandbox.Write("ProgramData/productlist.xml", List(server));
    }
    static QByteArray Version(const QString& version, const QString& url, const QString& file) {
        return QStringLiteral("<V><Product CurrentVersion=\"%1\" RemoteVersionFileURL=\"%2\" "
                              "RemoteVersionFile=\"%3\"/></V>")
            .arg(version, url, file)
            .toUtf8();
    }
    static QByteArray List(const QString& server) {
        return QStringLiteral("<L Version=\"1.0.0.0\" Url=\"%1list.xml\">"
                              "<Product Name=\"Alpha\" BaseXml=\"A\"/>"
                              "<Product Name=\"Beta\" BaseXml=\"B\"/>"
                              "<Product Name=\"Gamma\" BaseXml=\"C\"/></L>")
            .arg(server)
            .toUtf8();
    }
    static QByteArray Info(const QString& version) {
        return "<I Location=\"Server\"><Product UpdateVersion=\"" + version.toUtf8() + "\"/></I>";
    }
    QString Program() const { return sandbox.Path("Program/orvex-product-update"); }
    std::optional<int32_t> LastChecked() const {
        int32_t error = 0;
        const int32_t value =
            ReadSettingInt(CurrentUser, "Software/ORVEX Technologies/Product Update", "LastChecked",
                           -1, &error, kRegistryMarker);
        return error == 0 ? std::optional(value) : std::nullopt;
    }
    QStringList TemporaryFiles() const { return QDir(sandbox.Path("tmp")).entryList(QDir::Files); }

    const Sandbox& sandbox;
};

TEST(CheckEndToEnd, SilentDueRunChecksEveryProductShowsItsFindingAndLeavesNothing) {
    Sandbox sandbox;
    TestServer server;
    ASSERT_TRUE(server.IsRunning()) << "python3 could not start the test server";
    XServer x;
    ASSERT_FALSE(x.Display().isEmpty()) << "Xvfb did not start (package xvfb)";
    const Installation installation(sandbox, server.Url("/"));
    // The list on the server is the same version: fetched, read and discarded. The program
    // is current; Alpha has an update, Beta is current and Gamma's information is missing.
    server.Put("list.xml", Installation::List(server.Url("/")));
    server.Put("self.xml", Installation::Info("1.0.0.0"));
    server.Put("a.xml", Installation::Info("2.0.0.0"));
    server.Put("b.xml", Installation::Info("1.0.0.0"));

    QProcess program;
    program.setProcessEnvironment(ProgramEnvironment(sandbox, x.Display()));
    program.start(installation.Program(), {"-silent"});
    const QString window = x.WaitForWindow("ORVEX Product Update");
    ASSERT_FALSE(window.isEmpty()) << "the finding was not shown";
    x.PressEscape(window);
    const Outcome outcome = Finish(program);
    EXPECT_EQ(outcome.status, QProcess::NormalExit);
    EXPECT_EQ(outcome.exitCode, 0);

    EXPECT_EQ(server.Requests(),
              (QStringList{"GET /self.xml auth=0", "GET /list.xml auth=0", "GET /a.xml auth=0",
                           "GET /b.xml auth=0", "GET /c.xml auth=0"}));
    EXPECT_EQ(installation.LastChecked(), QDate::currentDate().toJulianDay());
    EXPECT_EQ(installation.TemporaryFiles(), QStringList());
}

TEST(CheckEndToEnd, SilentRunWithTheServerDownRecordsNoCheck) {
    Sandbox sandbox;
    const Installation installation(sandbox,
                                    QStringLiteral("http://127.0.0.1:%1/").arg(FreePort()));
    const Outcome outcome = RunProgram(installation.Program(), {"-silent"},
                                       ProgramEnvironment(sandbox, QStringLiteral("offscreen")));
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(installation.LastChecked(), 0) << "saved, but not as checked";
    EXPECT_EQ(installation.TemporaryFiles(), QStringList());
}

} // namespace

// The real program on a virtual display, used as a person would: it checks the sample's
// products against a real server, the person presses Update and Retry and closes with Escape.
// Needs Xvfb (xvfb), xdotool (xdotool) and import (imagemagick); scripts/install-deps has them.
#include "net/TestServers.h"
#include "support/Installation.h"

#include <QDate>

namespace {

class PersonTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"xdotool", "import"})
            ASSERT_FALSE(QStandardPaths::findExecutable(tool).isEmpty())
                << tool << " is missing (Debian packages xdotool, imagemagick)";
        ASSERT_FALSE(x.Display().isEmpty()) << "Xvfb did not start (package xvfb)";
        ASSERT_TRUE(server.IsRunning()) << "python3 could not start the test server";
    }
    QString Output() {
        program.waitForReadyRead(10);
        output += QString::fromLocal8Bit(program.readAllStandardOutput());
        return output;
    }
    int Done(const QString& name) { return Output().split(u'\n').count("- Done " + name); }
    // Clicks at x, y of the window; negative values count from its right or bottom edge.
    void Click(int x, int y) {
        const QStringList size = this->x.Xdotool({"getwindowgeometry", "--shell", window})
                                     .split(u'\n')
                                     .filter(QRegularExpression("^(WIDTH|HEIGHT)="));
        ASSERT_EQ(size.size(), 2);
        const int width = size[0].section(u'=', 1).toInt();
        const int height = size[1].section(u'=', 1).toInt();
        this->x.Xdotool({"mousemove", "--window", window, QString::number(x < 0 ? width + x : x),
                         QString::number(y < 0 ? height + y : y), "click", "1"});
    }

    Sandbox sandbox;
    TestServer server;
    XServer x;
    QProcess program; // killed with the test when still running
    QString window;
    QString output;
};

TEST_F(PersonTest, ChecksOpensTheUpdatePageRetriesAndCloses) {
    const QString host = QStringLiteral("127.0.0.1:%1").arg(server.Port());
    // The sample's program folder, gallery pack, product list and server, as scripts/run has them.
    // It signs one product's update information with the orvex-sign of this build.
    qputenv("ORVEX_SIGN", ORVEX_SIGN_PROGRAM);
    ASSERT_EQ(QProcess::execute(ORVEX_LAY_OUT_SAMPLE, {host, sandbox.Root(), server.Folder()}), 0);
    ASSERT_TRUE(QFile::exists(server.Folder() + "/OrvexStudio.xml.minisig"));
    // The version files are found beside the executable, so the program runs from a copy.
    const QString executable = CopyProgram(sandbox);
    // The desktop opener the program finds first on PATH records what it was asked to open.
    const QString opened = sandbox.Path("opened.txt");
    sandbox.Write("bin/xdg-open",
                  "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + opened.toUtf8() + "'\n");
    QFile::setPermissions(sandbox.Path("bin/xdg-open"), QFile::ReadOwner | QFile::ExeOwner);
    QProcessEnvironment env = ProgramEnvironment(sandbox, x.Display());
    env.insert("PATH", sandbox.Path("bin") + ":" + env.value("PATH"));
    program.setProcessEnvironment(env);
    program.start(executable, {});
    ASSERT_TRUE(program.waitForStarted());

    window = x.WaitForWindow("ORVEX Product Update");
    ASSERT_FALSE(window.isEmpty()) << "the window did not appear";
    // The sample's software, gallery and notice rows; until fetched, the notice goes by the name
    // the product list gives it.
    const QStringList products{"ORVEX Studio", "ORVEX Viewer", "ORVEX Converter",
                               "ORVEX Nature Gallery", "New tutorials for ORVEX Studio"};
    const auto allDone = [&](int times) {
        return [&, times] {
            return std::all_of(products.begin(), products.end(),
                               [&](const QString& name) { return Done(name) == times; });
        };
    };
    ASSERT_TRUE(WaitFor(allDone(1), 60000)) << Output().toStdString();

    // The last row is filled right after its console line; the screenshot waits for its paint.
    QThread::msleep(1000);
    QDir().mkpath(ORVEX_ARTIFACT_DIR);
    const QString shot = ORVEX_ARTIFACT_DIR "/person-window.png";
    QFile::remove(shot);
    QProcess::execute("import", {"-display", x.Display(), "-window", window, shot});
    EXPECT_GT(QFileInfo(shot).size(), 0);
    std::printf("Screenshot of the window: %s\n", qPrintable(shot));

    // The Update button of the first row, at the right end of the table.
    Click(-70, 42);
    const QString page = "http://" + host + "/studio.html";
    EXPECT_TRUE(WaitFor([&] { return !sandbox.Read("opened.txt").isEmpty(); }, 10000));
    EXPECT_EQ(sandbox.Read("opened.txt"), page.toUtf8() + '\n');

    // Retry, at the left end of the bottom row.
    Click(40, -21);
    EXPECT_TRUE(WaitFor(allDone(2), 60000)) << Output().toStdString();

    x.PressEscape(window);
    ASSERT_TRUE(program.waitForFinished(20000)) << "Escape did not close the window";
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().constData();

    // Each check starts with an empty line.
    QString check = "\n";
    for (const QString& name : products) {
        const bool notice = name == products.back();
        check += "- Checking " + (notice ? "StudioTutorials" : name) + "...\n- Done " + name + "\n";
    }
    EXPECT_EQ(Output(), check + check);
    const QByteArray today =
        QByteArray::number(QDate::currentDate().toJulianDay(), 16).rightJustified(8, '0');
    EXPECT_TRUE(sandbox.Read("user.reg").contains("\"LastChecked\"=dword:" + today))
        << sandbox.Read("user.reg").constData();
}

} // namespace

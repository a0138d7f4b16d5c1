// The real program on a virtual display, used as a person would: it checks the sample's
// products against a real server, the person presses Update and Retry and closes with Escape.
// Needs Xvfb (xvfb), xdotool (xdotool) and import (imagemagick); scripts/install-deps has them.
#include "net/TestServers.h"
#include "support/Sandbox.h"

#include <QDate>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>

namespace {

const QString kTitle = QStringLiteral("ORVEX Product Update");

// Copies the sample folder from into to, naming the server where the sample says @SERVER@.
void LayOut(const QString& from, const QString& to, const QString& host) {
    QDirIterator files(from, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString file = files.next();
        const QString target = to + file.mid(from.size());
        QDir().mkpath(QFileInfo(target).path());
        QFile in(file);
        QFile out(target);
        ASSERT_TRUE(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly))
            << qPrintable(target);
        out.write(in.readAll().replace("@SERVER@", host.toUtf8()));
    }
}

// Standard output of a short tool run, trimmed.
QString Tool(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(10000);
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

// Polls until ready() or the time is up; keeps reading the program's output meanwhile.
bool WaitFor(const std::function<bool()>& ready, int milliseconds) {
    QDeadlineTimer deadline(milliseconds);
    while (!ready()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(100);
    }
    return true;
}

class PersonTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& [tool, package] : {std::pair{"Xvfb", "xvfb"},
                                            {"xdotool", "xdotool"},
                                            {"import", "imagemagick"},
                                            {"python3", "python3"}})
            ASSERT_FALSE(QStandardPaths::findExecutable(tool).isEmpty())
                << tool << " is missing: install the Debian package " << package;
        ASSERT_TRUE(server.IsRunning());
        // Xvfb chooses a free display and writes its number to standard output.
        xvfb.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
        ASSERT_TRUE(xvfb.waitForReadyRead(30000)) << "Xvfb did not start";
        display = ":" + QString::fromLatin1(xvfb.readAllStandardOutput()).trimmed();
        // For the tools this test runs; the test's own widgets stay offscreen.
        m_oldDisplay = qgetenv("DISPLAY");
        qputenv("DISPLAY", display.toLatin1());
    }
    void TearDown() override {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished();
        }
        xvfb.terminate();
        xvfb.waitForFinished();
        qputenv("DISPLAY", m_oldDisplay);
    }

    QString Output() {
        program.waitForReadyRead(10);
        output += QString::fromLocal8Bit(program.readAllStandardOutput());
        return output;
    }
    int Done(const QString& name) { return Output().split(u'\n').count("- Done " + name); }
    // Clicks at x, y of the window; negative values count from the right or bottom edge.
    void Click(int x, int y) {
        const QStringList size = Tool("xdotool", {"getwindowgeometry", "--shell", window})
                                     .split(u'\n')
                                     .filter(QRegularExpression("^(WIDTH|HEIGHT)="));
        ASSERT_EQ(size.size(), 2);
        const int width = size[0].section(u'=', 1).toInt();
        const int height = size[1].section(u'=', 1).toInt();
        Tool("xdotool", {"mousemove", "--window", window, QString::number(x < 0 ? width + x : x),
                         QString::number(y < 0 ? height + y : y), "click", "1"});
    }

    Sandbox sandbox;
    TestServer server;
    QProcess xvfb;
    QProcess program;
    QString display;
    QString window;
    QString output;

private:
    QByteArray m_oldDisplay;
};

TEST_F(PersonTest, ChecksOpensTheUpdatePageRetriesAndCloses) {
    const QString host = QStringLiteral("127.0.0.1:%1").arg(server.Port());
    LayOut(ORVEX_SAMPLE_DIR "/server", server.Root(), host);
    LayOut(ORVEX_SAMPLE_DIR "/program", sandbox.Path("Program"), host);
    QFile list(ORVEX_SAMPLE_DIR "/productlist.xml");
    ASSERT_TRUE(list.open(QIODevice::ReadOnly));
    sandbox.Write("ProgramData/productlist.xml", list.readAll().replace("@SERVER@", host.toUtf8()));
    // The version files are found beside the executable, so the program runs from a copy.
    const QString executable = sandbox.Path("Program/orvex-product-update");
    ASSERT_TRUE(QFile::copy(ORVEX_BINARY_DIR "/orvex-product-update", executable));
    // The desktop opener the program finds first on PATH records what it was asked to open.
    const QString opened = sandbox.Path("opened.txt");
    sandbox.Write("bin/xdg-open",
                  "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + opened.toUtf8() + "'\n");
    QFile::setPermissions(sandbox.Path("bin/xdg-open"), QFile::ReadOwner | QFile::ExeOwner);
    QDir().mkpath(sandbox.Path("run"));
    QFile::setPermissions(sandbox.Path("run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.remove("WAYLAND_DISPLAY");
    env.insert("DISPLAY", display);
    env.insert("ORVEX_ROOT", sandbox.Root());
    env.insert("XDG_RUNTIME_DIR", sandbox.Path("run"));
    env.insert("PATH", sandbox.Path("bin") + ":" + env.value("PATH"));
    program.setProcessEnvironment(env);
    program.start(executable, {});
    ASSERT_TRUE(program.waitForStarted());

    ASSERT_TRUE(WaitFor(
        [&] {
            window = Tool("xdotool", {"search", "--name", "^" + kTitle + "$"}).section(u'\n', 0, 0);
            return !window.isEmpty();
        },
        30000))
        << "no window titled " << kTitle.toStdString();
    const QStringList products{"ORVEX Studio", "ORVEX Viewer", "ORVEX Converter"};
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
    Tool("import", {"-window", window, shot});
    EXPECT_GT(QFileInfo(shot).size(), 0);
    std::printf("Screenshot of the window: %s\n", qPrintable(shot));

    // The Update button of the first row, at the right end of the table.
    Click(-70, 42);
    const QString page = "http://" + host + "/studio/whatsnew.html";
    const auto openedLines = [&] {
        return QString::fromUtf8(sandbox.Read("opened.txt")).split(u'\n', Qt::SkipEmptyParts);
    };
    EXPECT_TRUE(WaitFor([&] { return !openedLines().isEmpty(); }, 10000));
    EXPECT_EQ(openedLines(), QStringList{page});

    // Retry, at the left end of the bottom row.
    Click(40, -21);
    EXPECT_TRUE(WaitFor(allDone(2), 60000)) << Output().toStdString();

    Tool("xdotool", {"windowfocus", window, "key", "Escape"});
    ASSERT_TRUE(program.waitForFinished(20000)) << "Escape did not close the window";
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);

    // Each check starts with an empty line.
    QString check = "\n";
    for (const QString& name : products)
        check += "- Checking " + name + "...\n- Done " + name + "\n";
    EXPECT_EQ(Output(), check + check);
    const QByteArray today =
        QByteArray::number(QDate::currentDate().toJulianDay(), 16).rightJustified(8, '0');
    EXPECT_TRUE(sandbox.Read("user.reg").contains("\"LastChecked\"=dword:" + today))
        << sandbox.Read("user.reg").constData();
}

} // namespace

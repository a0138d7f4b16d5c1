// The real program, started as a user or a scheduler would start it.
#include "support/ProgramRun.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

namespace {

const QString kProgram = QStringLiteral(ORVEX_BINARY_DIR "/orvex-product-update");

// Without a display only a parameter error runs, and prints its one line; any other run says
// what is missing and leaves. Neither writes anything.
TEST(Program, WithoutDisplayOnlyAParameterErrorRuns) {
    Sandbox sandbox;
    const QString noDisplay = QStringLiteral("ORVEX Product Update needs a graphical display "
                                             "(DISPLAY or WAYLAND_DISPLAY is not set).\n");
    const struct {
        const char* name;
        QStringList arguments;
        QString out, err;
    } rows[] = {
        {"ParameterError", {"-silent", "-silent"}, "error in parameters\n", ""},
        {"Interactive", {}, "", noDisplay},
        {"Silent", {"-silent"}, "", noDisplay},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome outcome =
            RunProgram(kProgram, row.arguments, ProgramEnvironment(sandbox, {}));
        EXPECT_EQ(outcome.status, QProcess::NormalExit);
        EXPECT_EQ(outcome.exitCode, 0);
        EXPECT_EQ(outcome.out, row.out);
        EXPECT_EQ(outcome.err, row.err);
    }
    EXPECT_TRUE(QDir(sandbox.Root()).isEmpty(QDir::Files)) << "nothing may be written";
}

// Starts an interactive run, which keeps its window open until killed, and returns once it
// holds the lock: the outcome of a second copy that was refused. A second copy started
// before the first holds the lock wins the race instead (the first then leaves with the
// message), so the first is started again until it is the one that holds the lock.
Outcome StartLockHolder(QProcess& first, const QProcessEnvironment& env) {
    first.setProcessEnvironment(env);
    Outcome second;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (first.state() != QProcess::Running) {
            first.start(kProgram, {});
            if (!first.waitForStarted())
                break;
            QThread::msleep(100);
        }
        second = RunProgram(kProgram, {"-silent"}, env);
        if (second.err.contains(QStringLiteral("already running")))
            break;
        first.waitForFinished(1000);
    }
    return second;
}

TEST(Program, SecondCopyIsRefusedAndAKilledFirstCopyReleasesTheLock) {
    Sandbox sandbox;
    const QProcessEnvironment env = ProgramEnvironment(sandbox, "offscreen");
    QProcess first;
    const Outcome second = StartLockHolder(first, env);
    // Qt may add its own warnings; the program's line must stand alone, once.
    EXPECT_EQ(
        second.err.split(u'\n').count(QStringLiteral("ORVEX Product Update is already running.")),
        1)
        << second.err.toStdString();
    EXPECT_TRUE(second.out.isEmpty());
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.status, QProcess::NormalExit);
    ASSERT_EQ(first.state(), QProcess::Running);

    // Another sandbox is another machine as far as the lock is concerned.
    Sandbox other;
    EXPECT_FALSE(RunProgram(kProgram, {"-silent"}, ProgramEnvironment(other, "offscreen"))
                     .err.contains(QStringLiteral("already running")));

    ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
    ASSERT_TRUE(first.waitForFinished(10000));

    const Outcome third = RunProgram(kProgram, {"-silent"}, env);
    EXPECT_FALSE(third.err.contains(QStringLiteral("already running"))) << third.err.toStdString();
    EXPECT_EQ(third.exitCode, 0);
    EXPECT_EQ(third.status, QProcess::NormalExit);
}

} // namespace

// The real program, started as a user or a scheduler would start it.
#include "support/ProgramRun.h"

namespace {

const QString kProgram = QStringLiteral(ORVEX_BINARY_DIR "/orvex-product-update");

// Without a display only a parameter error runs, and prints its one line; any other run says
// what is missing and leaves. Neither writes anything.
TEST(Program, WithoutDisplayOnlyAParameterErrorRuns) {
    Sandbox sandbox;
    const QString noDisplay = "ORVEX Product Update needs a graphical display "
                              "(DISPLAY or WAYLAND_DISPLAY is not set).\n";
    // Arguments, standard output and standard error.
    const std::tuple<QStringList, QString, QString> rows[] = {
        {{"-silent", "-silent"}, "error in parameters\n", ""},
        {{"-silent"}, "", noDisplay},
    };
    for (const auto& [arguments, out, err] : rows) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const Outcome outcome = RunProgram(kProgram, arguments, ProgramEnvironment(sandbox, {}));
        EXPECT_EQ(std::tuple(outcome.status, outcome.exitCode, outcome.out, outcome.err),
                  std::tuple(QProcess::NormalExit, 0, out, err));
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
        if (second.err.contains("already running"))
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
    EXPECT_EQ(second.err.split(u'\n').count("ORVEX Product Update is already running."), 1)
        << second.err.toStdString();
    EXPECT_EQ(std::tuple(second.status, second.exitCode, second.out),
              std::tuple(QProcess::NormalExit, 0, QString()));
    ASSERT_EQ(first.state(), QProcess::Running);

    // Another sandbox is another machine as far as the lock is concerned.
    Sandbox other;
    EXPECT_FALSE(RunProgram(kProgram, {"-silent"}, ProgramEnvironment(other, "offscreen"))
                     .err.contains("already running"));

    ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
    ASSERT_TRUE(first.waitForFinished(10000));

    const Outcome third = RunProgram(kProgram, {"-silent"}, env);
    EXPECT_FALSE(third.err.contains("already running")) << third.err.toStdString();
    EXPECT_EQ(std::pair(third.status, third.exitCode), std::pair(QProcess::NormalExit, 0));
}

} // namespace

// The real program, started as a user or a scheduler would start it.
#include "platform/FdGuard.h"
#include "platform/Registry.h"
#include "support/ProgramRun.h"

#include <fcntl.h>
#include <sys/file.h>

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
Outcome StartLockHolder(QProcess& first, const std::function<void(QProcess&)>& start,
                        const std::function<Outcome()>& runSecond) {
    Outcome second;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (first.state() != QProcess::Running) {
            start(first);
            if (!first.waitForStarted())
                break;
            QThread::msleep(100);
        }
        second = runSecond();
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
    first.setProcessEnvironment(env);
    // The second is started as from a shell that has no XDG_RUNTIME_DIR: the same user's
    // lock all the same.
    QProcessEnvironment shellEnv = env;
    shellEnv.remove("XDG_RUNTIME_DIR");
    const Outcome second = StartLockHolder(
        first, [](QProcess& process) { process.start(kProgram, {}); },
        [&] { return RunProgram(kProgram, {"-silent"}, shellEnv); });
    // Qt may add its own warnings; the program's line must stand alone, once.
    EXPECT_EQ(second.err.split(u'\n').count("ORVEX Product Update is already running."), 1)
        << second.err.toStdString();
    EXPECT_EQ(std::tuple(second.status, second.exitCode, second.out),
              std::tuple(QProcess::NormalExit, 0, QString()));
    ASSERT_EQ(first.state(), QProcess::Running);

    // Another sandbox is another machine as far as the lock is concerned, even in the same
    // session's runtime folder.
    {
        Sandbox other;
        QProcessEnvironment otherEnv = ProgramEnvironment(other, "offscreen");
        otherEnv.insert("XDG_RUNTIME_DIR", env.value("XDG_RUNTIME_DIR"));
        EXPECT_FALSE(RunProgram(kProgram, {"-silent"}, otherEnv).err.contains("already running"));
    }

    ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
    ASSERT_TRUE(first.waitForFinished(10000));

    // The third run is on a machine that has since had Tavlo drivers installed: the first
    // settings call of a new process ends an older installation's INI redirect.
    const QString maker = "Software\\ORVEX Technologies", iniName = "Tavlo_INI_Settings_File";
    RegWriteString(HKEY_CURRENT_USER, maker, iniName, "C:\\Tavlo\\settings.ini");
    RegWriteString(HKEY_LOCAL_MACHINE, maker + "\\Tavlo Drivers\\Install Information",
                   "Drivers Directory", "C:\\Drivers");
    const Outcome third = RunProgram(kProgram, {"-silent"}, env);
    EXPECT_FALSE(third.err.contains("already running")) << third.err.toStdString();
    EXPECT_EQ(std::pair(third.status, third.exitCode), std::pair(QProcess::NormalExit, 0));
    EXPECT_TRUE(sandbox.Read("user.reg").contains('"' + iniName.toUtf8() + "\"=\"\"\n"));
}

// Holds the lock file of a user's copy as another user would, from a child process that has
// become that user; ends with the object.
struct PlantedLock {
    PlantedLock(const QString& path, uid_t owner) {
        const QByteArray local = QFile::encodeName(path);
        child = Fork([&] {
            const int fd = ::setgid(owner) == 0 && ::setuid(owner) == 0
                               ? ::open(local.constData(), O_RDWR | O_CREAT, 0666)
                               : -1;
            return fd < 0 || ::fchmod(fd, 0666) != 0 || ::flock(fd, LOCK_EX) != 0 ? 100 : ::pause();
        });
        const auto held = [&] {
            const FdGuard probe(::open(local.constData(), O_RDONLY | O_CLOEXEC));
            return probe.Get() >= 0 && ::flock(probe.Get(), LOCK_EX | LOCK_NB) != 0;
        };
        EXPECT_TRUE(WaitFor(held, 10000)) << "the planted lock is not held";
    }
    ~PlantedLock() {
        ::kill(child, SIGKILL);
        Wait(child);
    }
    pid_t child;
};

// Several users run the same installed program. A user's copies exclude one another, with a
// runtime folder of the user's or without one, and whether XDG_RUNTIME_DIR is set or not;
// another user's copy never stops them, nor does a folder or lock another user prepared in
// advance where this user's lock would go.
TEST(Program, TheLockBelongsToTheUsersSession) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as several users";
    Sandbox sandbox;
    const QString program = sandbox.Path("Program/orvex-product-update");
    ASSERT_TRUE(QDir().mkpath(sandbox.Path("Program")) && QFile::copy(kProgram, program));
    OtherUser::OpenToAll(sandbox.Root());
    // Like /tmp, where a user's lock goes without a runtime folder.
    ASSERT_EQ(::chmod(QFile::encodeName(sandbox.Root()).constData(), 01777), 0);
    const OtherUser a{4711}, b{4712}, c{4713};
    // The runtime folder the login manager makes for user a (/run/user/4711 outside a sandbox).
    const QString runtime = sandbox.Path("run/user/4711");
    const auto makeRuntime = [&](uid_t owner, mode_t mode) {
        ASSERT_TRUE(QDir().mkpath(runtime));
        for (const char* parent : {"run", "run/user"})
            ASSERT_EQ(::chmod(QFile::encodeName(sandbox.Path(parent)).constData(), 0755), 0);
        ASSERT_EQ(::chown(QFile::encodeName(runtime).constData(), owner, owner), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(runtime).constData(), mode), 0);
    };
    const auto envOf = [&](const OtherUser& user, bool xdg) {
        QProcessEnvironment env =
            user.Environment(ProgramEnvironment(sandbox, "offscreen"), sandbox);
        if (!xdg)
            env.remove("XDG_RUNTIME_DIR");
        return env;
    };
    const auto refused = [](const Outcome& outcome) {
        return outcome.err.split(u'\n').count("ORVEX Product Update is already running.") == 1;
    };
    QString lockName;
    for (const bool runtimeFolder : {true, false}) {
        SCOPED_TRACE(runtimeFolder ? "runtime folder" : "no runtime folder");
        if (runtimeFolder)
            makeRuntime(a.uid, 0700);
        else
            QDir(runtime).removeRecursively();
        // The first started from the desktop, the second from a shell without the variable.
        QProcess first;
        const Outcome second = StartLockHolder(
            first, [&](QProcess& process) { a.Start(process, program, {}, envOf(a, true)); },
            [&] { return a.Run(program, {"-silent"}, envOf(a, false)); });
        EXPECT_TRUE(refused(second)) << "the same user twice:\n" << second.err.toStdString();
        for (const bool xdg : {true, false}) {
            const Outcome other = b.Run(program, {"-silent"}, envOf(b, xdg));
            EXPECT_FALSE(refused(other)) << "another user:\n" << other.err.toStdString();
            EXPECT_EQ(std::pair(other.status, other.exitCode), std::pair(QProcess::NormalExit, 0));
        }
        const QStringList locks = QDir(runtime).entryList({"*.lock"}, QDir::Files);
        if (runtimeFolder && locks.size() == 1)
            lockName = locks.first();
        ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
        first.waitForFinished();
    }
    ASSERT_FALSE(lockName.isEmpty()) << "no lock file in the runtime folder";

    // Another user makes the folders where user a's lock would go, open to all, and holds a
    // lock file of the right name in each.
    const QString fallback = sandbox.Path("orvex-product-update-4711");
    QDir(fallback).removeRecursively();
    makeRuntime(c.uid, 0777);
    ASSERT_TRUE(QDir().mkpath(fallback));
    ASSERT_EQ(::chown(QFile::encodeName(fallback).constData(), c.uid, c.uid), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(fallback).constData(), 0777), 0);
    for (const bool runtimeFolder : {true, false}) {
        SCOPED_TRACE(runtimeFolder ? "planted runtime folder" : "planted folder in /tmp");
        const PlantedLock lock((runtimeFolder ? runtime : fallback) + u'/' + lockName, c.uid);
        const Outcome outcome = a.Run(program, {"-silent"}, envOf(a, runtimeFolder));
        EXPECT_FALSE(refused(outcome)) << outcome.err.toStdString();
        EXPECT_EQ(std::pair(outcome.status, outcome.exitCode), std::pair(QProcess::NormalExit, 0));
    }

    // Nor can another user remove user a's lock from under its holder, which would let a
    // second copy of a's run: a runtime folder of a's that others may write is not used for it.
    QDir(fallback).removeRecursively();
    QDir(runtime).removeRecursively();
    makeRuntime(a.uid, 0777);
    QProcess first;
    const Outcome second = StartLockHolder(
        first, [&](QProcess& process) { a.Start(process, program, {}, envOf(a, true)); },
        [&] { return a.Run(program, {"-silent"}, envOf(a, true)); });
    EXPECT_TRUE(refused(second)) << second.err.toStdString();
    const Outcome removal = c.Run("find", {runtime, "-maxdepth", "1", "-type", "f", "-delete"},
                                  QProcessEnvironment::systemEnvironment());
    EXPECT_EQ(removal.exitCode, 0) << removal.err.toStdString();
    const Outcome third = a.Run(program, {"-silent"}, envOf(a, true));
    EXPECT_TRUE(refused(third)) << "the lock was removed by another user";
    ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
    first.waitForFinished();
}

} // namespace

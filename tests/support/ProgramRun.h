#pragma once

#include "support/Sandbox.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <functional>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// Polls until ready() or the time is up; whether it became ready. For what another process
// does, which no signal of ours reports.
inline bool WaitFor(const std::function<bool()>& ready, int milliseconds) {
    for (QDeadlineTimer deadline(milliseconds); !ready(); QThread::msleep(25))
        if (deadline.hasExpired())
            return false;
    return true;
}

// Runs body in a child process, a real one with its own copy of every
// process-wide object.
inline pid_t Fork(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives the test
        ::_exit(body());
    }
    return pid;
}

// The child's exit code, or -1 when it did not end by itself; a child still running after the
// given seconds is killed: a guard that turns a hang into a failure, not a measure of speed.
inline int Wait(pid_t pid, int seconds = 60) {
    int status = 0;
    if (!WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) != 0; }, seconds * 1000)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// How the real program ended.
struct Outcome {
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QString out, err;
};

// The environment of a program run in sandbox: no display unless display names one
// ("offscreen" for Qt's invisible platform, ":N" for an X server), and a private
// XDG_RUNTIME_DIR so nothing of the test's own session is used. It is not the sandbox's
// "run/user/<uid>", where the program looks for the user's runtime folder.
inline QProcessEnvironment ProgramEnvironment(const Sandbox& sandbox, const QString& display) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ORVEX_ROOT"), sandbox.Root());
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    if (!display.isEmpty())
        env.insert(display == QLatin1String("offscreen") ? "QT_QPA_PLATFORM" : "DISPLAY", display);
    const QString run = sandbox.Path(QStringLiteral("session"));
    QDir().mkpath(run);
    QFile::setPermissions(run,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), run);
    // Under AddressSanitizer a leak of a system library would fail the program's exit code.
    env.insert(QStringLiteral("LSAN_OPTIONS"), QStringLiteral("suppressions=" ORVEX_TEST_SUPPORT_DIR
                                                              "/lsan.supp:print_suppressions=0"));
    // Under ThreadSanitizer Qt's internals (not built with it) are suppressed as in the test
    // programs, and Qt's own event dispatcher replaces glib's, as the test programs'
    // own main does for them.
    env.insert(QStringLiteral("TSAN_OPTIONS"),
               QStringLiteral("suppressions=" ORVEX_TEST_SUPPORT_DIR "/tsan.supp"));
#if defined(__SANITIZE_THREAD__)
    env.insert(QStringLiteral("QT_NO_GLIB"), QStringLiteral("1"));
#endif
    return env;
}

// Waits for a started program for at most a minute (or the given time); a program still
// running then is killed and the test fails.
inline Outcome Finish(QProcess& process, int milliseconds = 60000) {
    if (!process.waitForFinished(milliseconds)) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "the program did not finish";
        return {};
    }
    return {process.exitCode(), process.exitStatus(),
            QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

inline Outcome RunProgram(const QString& program, const QStringList& arguments,
                          const QProcessEnvironment& env, int milliseconds = 60000) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    return Finish(process, milliseconds);
}

// Another user of the machine, for tests that run the program as several users. Needs root:
// a test that has no other user to be says so and is skipped, as the tests that hand files
// to another user are.
struct OtherUser {
    uid_t uid;

    // env with a runtime folder and a home of this user's own below the sandbox, as a login
    // session gives them.
    QProcessEnvironment Environment(QProcessEnvironment env, const Sandbox& sandbox) const {
        const QString folder = sandbox.Path(QStringLiteral("user-") + QString::number(uid));
        QDir().mkpath(folder);
        EXPECT_EQ(::chown(QFile::encodeName(folder).constData(), uid, uid), 0);
        EXPECT_EQ(::chmod(QFile::encodeName(folder).constData(), 0700), 0);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder);
        env.insert(QStringLiteral("HOME"), folder);
        return env;
    }
    // Lets every user read folder and everything below it, and enter and run what is
    // there; only root still writes it.
    static void OpenToAll(const QString& folder) {
        QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        QStringList entries{folder};
        while (it.hasNext())
            entries << it.next();
        for (const QString& entry : entries) {
            const QFileInfo info(entry);
            if (info.isSymLink())
                continue;
            const bool open = info.isDir() || info.isExecutable();
            ::chmod(QFile::encodeName(entry).constData(), open ? 0755 : 0644);
        }
    }
    // The program started as this user (setpriv, of util-linux): own user and group, no
    // supplementary groups.
    void Start(QProcess& process, const QString& program, const QStringList& arguments,
               const QProcessEnvironment& env) const {
        const QString id = QString::number(uid);
        process.setProcessEnvironment(env);
        process.start(QStringLiteral("setpriv"),
                      QStringList{"--reuid=" + id, "--regid=" + id, "--clear-groups", program} +
                          arguments);
    }
    Outcome Run(const QString& program, const QStringList& arguments,
                const QProcessEnvironment& env) const {
        QProcess process;
        Start(process, program, arguments, env);
        return Finish(process);
    }
};

// An X server of the test's own (Xvfb on a display number it picks), stopped with the
// object. Windows on it are found and driven with xdotool, as a person would.
class XServer {
public:
    XServer() {
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        // -noreset: by default an X server starts over each time its last client leaves, and a
        // client that connects meanwhile is refused. xdotool's polling leaves often, so the
        // program under test, connecting at the same moment, would now and then find no display.
        m_process.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1024x768x24",
                                                 "-nolisten", "tcp", "-noreset"});
        while (!m_process.canReadLine() && m_process.waitForReadyRead(15000))
            continue;
        if (const QByteArray number = m_process.readLine().trimmed(); !number.isEmpty())
            m_display = QStringLiteral(":") + QString::fromLatin1(number);
    }
    ~XServer() {
        m_process.terminate();
        m_process.waitForFinished(3000);
    }
    // Empty when the server did not start (the xvfb package is missing).
    const QString& Display() const { return m_display; }

    // Runs xdotool on this display; its standard output.
    QString Xdotool(const QStringList& arguments) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), m_display);
        return RunProgram(QStringLiteral("xdotool"), arguments, env).out.trimmed();
    }
    // The first visible window whose title is title, waiting up to timeoutMs; empty if none.
    QString WaitForWindow(const QString& title, int timeoutMs = 30000) const {
        QString found;
        const QStringList search = {"search", "--onlyvisible", "--name", "^" + title + "$"};
        WaitFor([&] { return !(found = Xdotool(search)).isEmpty(); }, timeoutMs);
        return found.section(u'\n', 0, 0);
    }
    // Closes a Qt window the way a person does, with Escape in the focused window.
    void PressEscape(const QString& window) const {
        Xdotool({"windowfocus", "--sync", window});
        Xdotool({"key", "Escape"});
    }

private:
    QProcess m_process;
    QString m_display;
};

#include "platform/Shell.h"

#include "platform/Locations.h"

#include <QFile>
#include <QProcess>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {
class CDesktopShell : public IShell {
public:
    bool Open(const CAtlString& address) override { return ShellOpen(address); }
    bool StartDetached(const CAtlString& program, const QStringList& arguments) override {
        return QProcess::startDetached(program, arguments);
    }
    bool StartDetachedFile(int fd, const CAtlString& name, const QStringList& arguments) override;
};

bool CDesktopShell::StartDetachedFile(int fd, const CAtlString& name,
                                      const QStringList& arguments) {
    // Everything the children need is made before forking: between fork and exec a child of
    // this threaded process may only make calls that are safe in a signal handler.
    std::vector<QByteArray> texts{QFile::encodeName(name)};
    for (const QString& argument : arguments)
        texts.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& text : texts)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    // The grandchild writes its errno here when the exec fails; a successful exec closes it.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return false;
    const pid_t child = ::fork();
    if (child == 0) {
        // A session of its own and a second fork: the installer outlives this process and
        // never becomes its zombie.
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0)
            ::_exit(grandchild < 0 ? 1 : 0);
        ::signal(SIGPIPE, SIG_DFL);
        // A copy without close-on-exec: a script's interpreter opens /dev/fd/N after the exec.
        const int program = ::dup(fd);
        if (program >= 0)
            ::fexecve(program, argv.data(), environ);
        const int error = errno;
        [[maybe_unused]] const ssize_t written = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(report[1]);
    bool started = false;
    if (child > 0) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        int error = 0;
        ssize_t got = 0;
        while ((got = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
        }
        // Nothing written and the intermediate child gone cleanly: the exec took place.
        started = got == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    ::close(report[0]);
    return started;
}

std::mutex g_mutex;
std::shared_ptr<IShell> g_shell;
} // namespace

std::shared_ptr<IShell> GetShell() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_shell)
        g_shell = std::make_shared<CDesktopShell>();
    return g_shell;
}

void SetShell(std::shared_ptr<IShell> shell) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_shell = std::move(shell);
}

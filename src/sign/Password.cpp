#include "sign/Password.h"

#include "platform/FdGuard.h"
#include "sign/WholeFile.h"

#include <QCoreApplication>

#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("Password", text);
}

// A password longer than this is surely a file named by mistake.
constexpr qsizetype kMaxPassword = 1024;
} // namespace

std::optional<QByteArray> ReadPasswordFile(const QString& path, QString* why) {
    QString error;
    const std::optional<QByteArray> bytes = ReadSmallFile(path, kMaxPassword, &error);
    if (!bytes) {
        if (why)
            *why = Tr("The password file %1 cannot be read: %2").arg(path, error);
        return std::nullopt;
    }
    QByteArray line = bytes->left(bytes->indexOf('\n') < 0 ? bytes->size() : bytes->indexOf('\n'));
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty()) {
        if (why)
            *why = Tr("The password file %1 is empty.").arg(path);
        return std::nullopt;
    }
    return line;
}

std::optional<QByteArray> AskPasswordOnTerminal(const QString& prompt, QString* why) {
    FdGuard tty(::open("/dev/tty", O_RDWR | O_CLOEXEC));
    termios saved{};
    if (tty.Get() < 0 || ::tcgetattr(tty.Get(), &saved) != 0) {
        if (why)
            *why = Tr("There is no terminal to ask for the password on; name a file that holds "
                      "it with --password-file.");
        return std::nullopt;
    }
    const QByteArray question = prompt.toLocal8Bit();
    if (::write(tty.Get(), question.constData(), static_cast<size_t>(question.size())) < 0)
        return std::nullopt;
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(tty.Get(), TCSAFLUSH, &quiet);
    QByteArray line;
    char c = 0;
    for (;;) {
        const ssize_t got = ::read(tty.Get(), &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || c == '\n' || line.size() > kMaxPassword)
            break;
        line += c;
    }
    ::tcsetattr(tty.Get(), TCSAFLUSH, &saved);
    // The line end the person typed was not echoed.
    if (::write(tty.Get(), "\n", 1) < 0)
        return std::nullopt;
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

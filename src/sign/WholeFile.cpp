#include "sign/WholeFile.h"

#include "platform/FdGuard.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("WholeFile", text);
}

QString SystemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool WriteAll(int fd, const QByteArray& bytes) {
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t got =
            ::write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        written += got;
    }
    return true;
}
} // namespace

bool WriteWholeFile(const QString& path, const QByteArray& bytes, int mode, bool overwrite,
                    QString* why) {
    const QByteArray target = QFile::encodeName(path);
    QByteArray temporary = target + ".tmp-XXXXXX";
    FdGuard fd(::mkstemp(temporary.data()));
    if (fd.Get() < 0) {
        if (why)
            *why = Tr("%1 cannot be written: %2").arg(path, SystemError());
        return false;
    }
    bool done = WriteAll(fd.Get(), bytes) && ::fchmod(fd.Get(), static_cast<mode_t>(mode)) == 0 &&
                ::fsync(fd.Get()) == 0;
    if (done) {
        // Without overwriting, a link is made and the temporary name goes after: link() fails
        // when the path exists, where rename() would replace it.
        done = overwrite ? ::rename(temporary.constData(), target.constData()) == 0
                         : ::link(temporary.constData(), target.constData()) == 0;
    }
    const QString error = SystemError();
    if (!done || !overwrite)
        ::unlink(temporary.constData());
    if (!done && why)
        *why = Tr("%1 cannot be written: %2").arg(path, error);
    return done;
}

std::optional<QByteArray> ReadSmallFile(const QString& path, qsizetype limit, QString* why) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (why)
            *why = file.errorString();
        return std::nullopt;
    }
    const QByteArray bytes = file.read(limit + 1);
    if (file.error() != QFileDevice::NoError) {
        if (why)
            *why = file.errorString();
        return std::nullopt;
    }
    if (bytes.size() > limit) {
        if (why)
            *why = Tr("It is longer than %1 bytes.").arg(limit);
        return std::nullopt;
    }
    return bytes;
}

#include "platform/DurableFile.h"
#include "platform/FdGuard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr const char* kTemporaryInfix = ".tmp.";

int MakeFolders(const QString& folder, mode_t mode) {
    struct stat info {};
    const QByteArray local = QFile::encodeName(folder);
    if (::stat(local.constData(), &info) == 0)
        return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    const QString parent = QFileInfo(folder).path();
    if (parent != folder) {
        const int result = MakeFolders(parent, mode);
        if (result != 0)
            return result;
    }
    if (::mkdir(local.constData(), mode) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

int WriteAll(int fd, const QByteArray& content) {
    const char* data = content.constData();
    qsizetype left = content.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += written;
        left -= written;
    }
    return 0;
}
} // namespace

CDurableFile::CDurableFile(QString path, mode_t newFileMode, mode_t folderMode)
    : m_path(std::move(path)), m_newFileMode(newFileMode), m_folderMode(folderMode) {}

QString CDurableFile::ResolvedPath() const {
    // A hive kept as a link (a managed dot-file, say) is changed where it really lives;
    // renaming over the link would silently replace it by a plain file.
    const QFileInfo info(m_path);
    if (info.isSymLink()) {
        const QString target = info.canonicalFilePath();
        if (!target.isEmpty())
            return target;
    }
    return m_path;
}

int CDurableFile::Read(QByteArray& content, bool* exists) const {
    content.clear();
    if (exists)
        *exists = false;
    const QByteArray local = QFile::encodeName(m_path);
    // Without O_NONBLOCK, opening a FIFO planted in place of the file waits for a writer
    // that never comes (and opening some devices waits for the device). The type is checked
    // before a single byte is read; for a regular file the flag changes nothing.
    const int fd = ::open(local.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : errno;
    FdGuard guard(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode))
        return EINVAL;
    if (info.st_size > kMaxSize)
        return EFBIG;
    content.resize(static_cast<qsizetype>(info.st_size));
    qsizetype done = 0;
    while (done < content.size()) {
        const ssize_t got =
            ::read(fd, content.data() + done, static_cast<size_t>(content.size() - done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (got == 0)
            break;
        done += got;
    }
    content.truncate(done);
    if (exists)
        *exists = true;
    return 0;
}

int CDurableFile::CheckWritable() const {
    const QString path = ResolvedPath();
    const QByteArray local = QFile::encodeName(path);
    if (::access(local.constData(), F_OK) == 0 && ::access(local.constData(), W_OK) != 0)
        return errno;
    // The replacement is made beside the file, so its folder (or, when that does not exist
    // yet, the nearest folder that does) must take new files.
    QString folder = QFileInfo(path).path();
    while (!QFileInfo::exists(folder) && QFileInfo(folder).path() != folder)
        folder = QFileInfo(folder).path();
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0)
        return errno;
    return 0;
}

void CDurableFile::RemoveStaleTemporaries(const QString& path) const {
    // Only a writer killed between creating and renaming its temporary leaves one behind;
    // under the lock no live writer owns one, so they can all go.
    const QFileInfo info(path);
    QDir folder = info.dir();
    const QStringList stale = folder.entryList(
        {info.fileName() + QLatin1String(kTemporaryInfix) + u'*'}, QDir::Files | QDir::Hidden);
    for (const QString& name : stale)
        ::unlink(QFile::encodeName(folder.filePath(name)).constData());
}

int CDurableFile::WriteReplacing(const QByteArray& local, const QByteArray& content) const {
    struct stat old {};
    const bool existed = ::stat(local.constData(), &old) == 0;

    QByteArray temporary = local + kTemporaryInfix + "XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    FdGuard guard(fd);
    auto fail = [&temporary](int error) {
        ::unlink(temporary.constData());
        return error;
    };
    const mode_t mode = existed ? (old.st_mode & 07777) : m_newFileMode;
    if (::fchmod(fd, mode) != 0)
        return fail(errno);
    // An administrator editing a user's hive must not take it away from its owner.
    if (existed && ::geteuid() == 0 && ::fchown(fd, old.st_uid, old.st_gid) != 0)
        return fail(errno);
    if (const int error = WriteAll(fd, content))
        return fail(error);
    if (::fsync(fd) != 0)
        return fail(errno);
    if (::close(guard.Release()) != 0)
        return fail(errno);
    if (::rename(temporary.constData(), local.constData()) != 0)
        return fail(errno);
    // The rename itself must reach the disk, or a crash could bring the old file back.
    const QByteArray folder = QFile::encodeName(QFileInfo(QFile::decodeName(local)).path());
    const int folderFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return 0;
}

int CDurableFile::Update(const std::function<bool(QByteArray&, bool)>& edit) const {
    const QString path = ResolvedPath();
    if (const int error = MakeFolders(QFileInfo(path).path(), m_folderMode))
        return error;
    if (const int error = CheckWritable())
        return error;

    const QByteArray local = QFile::encodeName(path);
    const QByteArray lockPath = local + ".lock";
    const int lockFd =
        ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, m_newFileMode);
    if (lockFd < 0)
        return errno;
    // Closing the descriptor releases the lock, also when the process dies.
    FdGuard lock(lockFd);
    while (::flock(lockFd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return errno;
    }
    RemoveStaleTemporaries(path);

    const CDurableFile current(path, m_newFileMode, m_folderMode);
    QByteArray content;
    bool exists = false;
    if (const int error = current.Read(content, &exists))
        return error;
    QByteArray edited = content;
    if (!edit(edited, exists))
        return 0;
    if (exists && edited == content)
        return 0;
    return WriteReplacing(local, edited);
}

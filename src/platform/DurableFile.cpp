#include "platform/DurableFile.h"
#include "platform/FdGuard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
constexpr const char* kTemporaryInfix = ".tmp.";
std::atomic<int64_t> g_lockTimeoutMs{CDurableFile::kDefaultLockTimeout.count()};

QString UserName(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return QString::fromLocal8Bit(found->pw_name);
    return QStringLiteral("uid %1").arg(uid);
}

// A group that is one user's alone gives no one else write access. Systems that give each
// user such a group (Debian among them) set the umask 002, so a user's own folders are
// group-writable there.
bool IsPrivateGroupOf(gid_t gid, uid_t uid) {
    std::vector<char> userBuffer(16384), groupBuffer(16384);
    passwd user{};
    passwd* foundUser = nullptr;
    group entry{};
    group* foundGroup = nullptr;
    if (::getpwuid_r(uid, &user, userBuffer.data(), userBuffer.size(), &foundUser) != 0 ||
        foundUser == nullptr || foundUser->pw_gid != gid)
        return false;
    if (::getgrgid_r(gid, &entry, groupBuffer.data(), groupBuffer.size(), &foundGroup) != 0 ||
        foundGroup == nullptr || std::strcmp(foundGroup->gr_name, foundUser->pw_name) != 0)
        return false;
    for (char** member = foundGroup->gr_mem; *member != nullptr; ++member) {
        if (std::strcmp(*member, foundUser->pw_name) != 0)
            return false;
    }
    return true;
}

// Who other than root and uid could change what path names (info is its lstat), as the
// start of a sentence naming path; empty when no one could. A sticky folder (like /tmp) is
// harmless on the way to the file, since no one else may rename or remove what root or
// uid made in it; as the file's own folder it is not, as anyone could plant there the
// names the writer is about to use.
QString OtherWriter(const QString& path, const struct stat& info, uid_t uid, bool onTheWay) {
    if (info.st_uid != 0 && info.st_uid != uid)
        return QStringLiteral("%1 belongs to %2").arg(path, UserName(info.st_uid));
    if (S_ISLNK(info.st_mode) || (onTheWay && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX)))
        return {};
    if ((info.st_mode & S_IWOTH) != 0 ||
        ((info.st_mode & S_IWGRP) != 0 && !IsPrivateGroupOf(info.st_gid, uid))) {
        const QString others =
            uid == 0 ? QStringLiteral("root") : QStringLiteral("%1 and root").arg(UserName(uid));
        return QStringLiteral("%1 can be written by users other than %2").arg(path, others);
    }
    return {};
}

// Why a write to path could be redirected by someone other than root and this process's
// user: path is walked from "/" as the kernel resolves it, so every folder on the way,
// every symbolic link and the file itself are checked, and the file's folder strictly.
// Empty when no one else could. Parts that do not exist yet pass: the writer makes them.
QString WhyOthersCouldRedirect(const QString& path) {
    const uid_t uid = ::geteuid();
    const QString absolute = path.startsWith(u'/') ? path : QDir::currentPath() + u'/' + path;
    QStringList pending = absolute.split(u'/', Qt::SkipEmptyParts);
    QString folder = QStringLiteral("/");
    struct stat info {};
    int links = 0;
    while (!pending.isEmpty()) {
        const QString name = pending.takeFirst();
        if (name == QLatin1String("."))
            continue;
        // Every folder above this one was checked on the way down.
        if (name == QLatin1String("..")) {
            folder = QFileInfo(folder).path();
            continue;
        }
        const QString next = folder.endsWith(u'/') ? folder + name : folder + u'/' + name;
        if (::lstat(QFile::encodeName(next).constData(), &info) != 0) {
            if (errno == ENOENT)
                break;
            return QStringLiteral("%1 cannot be examined (%2)")
                .arg(next, QString::fromLocal8Bit(std::strerror(errno)));
        }
        if (const QString why = OtherWriter(next, info, uid, true); !why.isEmpty())
            return why;
        if (S_ISLNK(info.st_mode)) {
            QByteArray target(PATH_MAX, '\0');
            const ssize_t size = ::readlink(QFile::encodeName(next).constData(), target.data(),
                                            static_cast<size_t>(target.size()));
            if (size < 0 || size >= target.size() || ++links > 40)
                return QStringLiteral("%1 cannot be followed").arg(next);
            const QString text = QFile::decodeName(target.left(size));
            pending = text.split(u'/', Qt::SkipEmptyParts) + pending;
            if (text.startsWith(u'/'))
                folder = QStringLiteral("/");
            continue;
        }
        // Anything but a folder ends the walk: the file, or a name the write fails on anyway.
        if (!S_ISDIR(info.st_mode))
            break;
        folder = next;
    }
    if (::lstat(QFile::encodeName(folder).constData(), &info) != 0)
        return {};
    return OtherWriter(folder, info, uid, false);
}

// Only those who may write the file may open its lock: flock works on any descriptor, even
// one opened only for reading, so a lock others can open is a lock others can hold.
mode_t LockMode(mode_t fileMode) {
    mode_t mode = S_IRUSR | S_IWUSR;
    if ((fileMode & S_IWGRP) != 0)
        mode |= S_IRGRP | S_IWGRP;
    if ((fileMode & S_IWOTH) != 0)
        mode |= S_IROTH | S_IWOTH;
    return mode;
}

// EWOULDBLOCK when another holder keeps the lock past the time limit. A blocking flock
// cannot be given a limit, so this polls; the pauses stay short so that a writer queued
// behind a busy one still finds the gaps between that one's writes.
int TakeLock(int fd) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(g_lockTimeoutMs.load());
    std::chrono::microseconds pause(200);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return errno;
        const auto now = Clock::now();
        if (now >= deadline)
            return EWOULDBLOCK;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::microseconds(5000));
    }
}

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

int CDurableFile::Read(QByteArray& content, bool* exists, struct stat* status,
                       int* keepOpen) const {
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
    if (status)
        *status = info;
    if (keepOpen)
        *keepOpen = guard.Release();
    return 0;
}

int CDurableFile::CheckWritable() const {
    if (!WhyOthersCouldRedirect(m_path).isEmpty())
        return EPERM;
    return CheckAccess();
}

int CDurableFile::CheckAccess() const {
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

QString CDurableFile::TooLargeReason(const QString& path, qint64 size) {
    return QStringLiteral("Refusing to change %1: it would grow to %2 bytes, past the limit of "
                          "%3 MiB up to which settings files are read back")
        .arg(path)
        .arg(size)
        .arg(kMaxSize / (1024 * 1024));
}

void CDurableFile::SetLockTimeout(std::chrono::milliseconds timeout) {
    g_lockTimeoutMs = timeout.count();
}

int CDurableFile::Update(QString* why, const std::function<bool(QByteArray&, bool)>& edit) const {
    auto refuse = [&](int error, const QString& reason) {
        if (why != nullptr)
            *why = reason + QStringLiteral("; nothing was changed.");
        return error;
    };
    auto redirected = [&]() {
        const QString reason = WhyOthersCouldRedirect(m_path);
        return reason.isEmpty() ? reason
                                : QStringLiteral("Refusing to change %1: %2, who could put "
                                                 "another file in its place")
                                      .arg(m_path, reason);
    };
    if (const QString reason = redirected(); !reason.isEmpty())
        return refuse(EPERM, reason);
    if (const int error = MakeFolders(QFileInfo(ResolvedPath()).path(), m_folderMode))
        return error;
    // Again now that the missing folders exist: someone else may have made one of them first.
    if (const QString reason = redirected(); !reason.isEmpty())
        return refuse(EPERM, reason);
    const QString path = ResolvedPath();
    if (const int error = CheckAccess())
        return error;

    const QByteArray local = QFile::encodeName(path);
    const QByteArray lockPath = local + ".lock";
    struct stat file {};
    const bool fileExists = ::stat(local.constData(), &file) == 0;
    const mode_t lockMode = LockMode(fileExists ? file.st_mode : m_newFileMode);
    const int lockFd = ::open(lockPath.constData(),
                              O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, lockMode);
    if (lockFd < 0)
        return errno;
    // Closing the descriptor releases the lock, also when the process dies.
    FdGuard lock(lockFd);
    struct stat lockInfo {};
    if (::fstat(lockFd, &lockInfo) != 0)
        return errno;
    if (!S_ISREG(lockInfo.st_mode))
        return EINVAL;
    // Older versions made every lock readable by all: narrowing it keeps others out from
    // now on (one opened before still holds writers off, but only up to the time limit).
    // The group of the file shares the lock when it shares the file. Neither can be done
    // to another writer's lock, which already has the right mode then.
    if ((lockInfo.st_mode & 07777) != lockMode && ::fchmod(lockFd, lockMode) != 0 && errno != EPERM)
        return errno;
    if (fileExists && lockInfo.st_gid != file.st_gid && ::fchown(lockFd, -1, file.st_gid) != 0 &&
        errno != EPERM)
        return errno;
    if (const int error = TakeLock(lockFd)) {
        if (error != EWOULDBLOCK)
            return error;
        return refuse(error, QStringLiteral("The lock file %1 has been held by another "
                                            "program for more than %2 s")
                                 .arg(QFile::decodeName(lockPath))
                                 .arg(double(g_lockTimeoutMs.load()) / 1000.0));
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
    // Read() refuses a file past the limit, so a larger one would make every value in it
    // unreachable, to this program and to every other that reads it.
    if (edited.size() > kMaxSize)
        return refuse(EFBIG, TooLargeReason(path, edited.size()));
    return WriteReplacing(local, edited);
}

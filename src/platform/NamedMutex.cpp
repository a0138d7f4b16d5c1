#include "platform/NamedMutex.h"

#include "platform/ErrorCodes.h"
#include "platform/FdGuard.h"
#include "platform/Locations.h"

#include <QCryptographicHash>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

CNamedMutex::~CNamedMutex() {
    if (m_fd >= 0)
        ::close(m_fd);
}

uint32_t CNamedMutex::Create(const CAtlString& name) {
    // A sandboxed run (ORVEX_ROOT) gets its own lock, so test sandboxes do not block each
    // other or a real session, while two runs in one sandbox still do.
    QByteArray key = name.toUtf8();
    const QByteArray root = qgetenv("ORVEX_ROOT");
    if (!root.isEmpty())
        key += '\0' + root;
    const QString folder = LockFolder();
    if (folder.isEmpty())
        return ERROR_GEN_FAILURE;
    // The name may hold any character and be longer than a file name may be.
    const QByteArray digest =
        QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(32);
    const QByteArray path = QFile::encodeName(folder) + "/orvex-product-update-" + digest + ".lock";

    FdGuard fd(::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    struct stat info {};
    // The folder is private, so the file is ours; checked all the same, as a file someone
    // else could open is a lock someone else could hold.
    if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != ::geteuid())
        return ERROR_GEN_FAILURE;
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
        // Any other failure is ERROR_GEN_FAILURE: raw errno values are not passed on because
        // EIO (5) would read as "access denied" and wrongly refuse the run.
        return errno == EWOULDBLOCK ? ERROR_ALREADY_EXISTS : ERROR_GEN_FAILURE;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd.Release();
    return 0;
}

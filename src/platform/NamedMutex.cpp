#include "platform/NamedMutex.h"
#include "platform/ErrorCodes.h"

#include <QCryptographicHash>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
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
    // The name may be longer than a socket address holds, so a digest of it is used.
    const QByteArray digest =
        QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(64);
    const QByteArray socketName = QByteArrayLiteral("orvex-product-update-") + digest;

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Leading NUL: abstract namespace, no file system entry.
    std::memcpy(address.sun_path + 1, socketName.constData(), socketName.size());
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + socketName.size());

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return ERROR_GEN_FAILURE;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        const int error = errno;
        ::close(fd);
        // Any other failure is ERROR_GEN_FAILURE: raw errno values are not passed on because
        // EIO (5) would read as "access denied" and wrongly refuse the run.
        return error == EADDRINUSE ? ERROR_ALREADY_EXISTS : ERROR_GEN_FAILURE;
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    return 0;
}

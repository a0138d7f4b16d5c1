// Local version files and fetched update information: any bytes must read without harm, a
// file accepted must carry what the check needs, an installed version that is no usable
// version number is never offered anything and says why, and the offer must agree with the
// entry.
// The first line is the local file, the rest the update information.
#include "FuzzCheck.h"
#include "catalogue/ProductVersion.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype split = bytes.indexOf('\n');
    const QByteArray local = split < 0 ? bytes : bytes.left(split);
    const QByteArray remote = split < 0 ? QByteArray() : bytes.mid(split + 1);

    CProductVersion version(QStringLiteral("unused"));
    const bool localRead = version.ParseLocal(local);
    Check(localRead == version.IsLocalRead());
    if (localRead)
        Check(version.RemoteUrl().endsWith(u'/') && !version.RemoteFile().isEmpty());
    Check(version.IsInstalledVersionUsable() == version.InvalidVersionReason().isEmpty());

    const bool remoteRead = version.ParseRemote(remote);
    Check(remoteRead == version.IsRemoteRead());
    // Only a document that says it comes from the server is taken.
    Check(!remoteRead || remote.contains("Server"));
    Check(version.HasUpdate() == (localRead && remoteRead && version.IsInstalledVersionUsable() &&
                                  version.GetInstalledVersion() < version.GetUpdateVersion()));
    return 0;
}

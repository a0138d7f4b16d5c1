// Version texts come from downloaded update information and local version files, so any
// byte sequence must parse without harm, and the order must stay a strict weak order.
#include "FuzzCheck.h"
#include "catalogue/VersionString.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype split = bytes.indexOf('\n');
    const QString first = QString::fromUtf8(split < 0 ? bytes : bytes.left(split));
    const QString second = QString::fromUtf8(split < 0 ? QByteArray() : bytes.mid(split + 1));

    const CVersionString a(first);
    const CVersionString b(second);
    Check(a.Text() == first);
    Check(a == a && !(a < a) && !(a > a));
    // Exactly one of less, equal, greater holds, and the mirror image agrees.
    Check(int(a < b) + int(a == b) + int(a > b) == 1);
    Check((a < b) == (b > a) && (a == b) == (b == a));
    if (a.IsValid()) {
        // The printed form reads back as the same version.
        const CVersionString again(a.ToString());
        Check(again.IsValid() && again == a);
    } else {
        Check(a.ToString() == first);
    }
    const CVersionStringRange range(a, b);
    Check(!(range.From() > range.To()));
    Check(range.Contains(range.From()) && range.Contains(range.To()));
    return 0;
}

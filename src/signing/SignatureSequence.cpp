#include "signing/SignatureSequence.h"

#include "platform/Settings.h"

namespace {
const CAtlString kKeyPath = QStringLiteral("Software/ORVEX Technologies/Product Update/Signatures");
} // namespace

std::optional<uint64_t> LastSeenSequence(const QString& product) {
    int32_t error = 0;
    // Kept as decimal text: a time stamp does not fit the 32-bit integers of the registry.
    const CAtlString text =
        ReadSettingString(CurrentUser, kKeyPath, product, CAtlString(), &error, kRegistryMarker);
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    if (error != 0 || !ok)
        return std::nullopt;
    return value;
}

bool RememberSequence(const QString& product, uint64_t sequence) {
    const std::optional<uint64_t> last = LastSeenSequence(product);
    if (last && *last > sequence)
        return false;
    if (!last || *last < sequence)
        WriteSettingString(CurrentUser, kKeyPath, product, QString::number(sequence),
                           kRegistryMarker);
    return true;
}

SignatureCheck AcceptSequence(const QString& product, SignatureCheck check) {
    if (check.status == SignatureStatus::Verified && check.sequence &&
        !RememberSequence(product, *check.sequence))
        check.status = SignatureStatus::Older;
    return check;
}

// Signature files and key lists come from the network and from version files, so any bytes
// must read without harm and be refused with a reason before use; what is read has the exact
// sizes the cryptography needs; a check that passes names a key from the list.
// The first line is the "UpdatePublicKey" text, the rest the ".minisig" file; the signed
// bytes are fixed (the seeds sign them).
#include "FuzzCheck.h"
#include "signing/Minisign.h"
#include "signing/SignatureCheck.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype split = bytes.indexOf('\n');
    const QString keyText = QString::fromUtf8(split < 0 ? bytes : bytes.left(split));
    const QByteArray file = split < 0 ? QByteArray() : bytes.mid(split + 1);

    QString why;
    const auto keys = ParsePublicKeys(keyText, &why);
    Check(keys.has_value() == why.isEmpty());
    if (keys) {
        Check(keys->size() <= size_t(kMaxPublicKeys));
        for (const MinisignKey& key : *keys)
            Check(key.id.size() == 8 && key.key.size() == 32 && key.IdText().size() <= 16);
    }
    why.clear();
    const auto signatures = ParseMinisignSignatures(file, &why);
    Check(signatures.has_value() == why.isEmpty());
    if (signatures) {
        Check(file.size() <= kMaxSignatureFileSize && !signatures->empty() &&
              signatures->size() <= size_t(kMaxSignaturesPerFile));
        for (const MinisignSignature& signature : *signatures) {
            Check(signature.keyId.size() == 8 && signature.signature.size() == 64 &&
                  signature.globalSignature.size() == 64);
            Check(!signature.trustedComment.contains('\n') &&
                  !signature.trustedComment.contains('\r') &&
                  !signature.trustedComment.contains('\0'));
        }
    }

    const SignedItem item{SignedKind::Product, QStringLiteral("fuzz")};
    const SignatureCheck check = VerifySignature(
        "signed document\n", file, PublicKeyList::FromText(keyText), item, QDate(2026, 6, 1));
    Check(check.Accepted() == SignatureFailureText(check).isEmpty());
    Check((check.status == SignatureStatus::Malformed) == !check.detail.isEmpty());
    if (check.status == SignatureStatus::NoKey)
        Check(keys && keys->empty());
    if (check.status == SignatureStatus::Verified || check.status == SignatureStatus::Expired) {
        Check(keys && signatures && check.signedFor == item.identity && check.sequence);
        bool named = false;
        for (const MinisignKey& key : *keys) {
            for (const MinisignSignature& signature : *signatures)
                named =
                    named || (key.id == signature.keyId && check.keyId == signature.KeyIdText());
        }
        Check(named);
        Check(!check.expires || check.status == SignatureStatus::Expired ||
              *check.expires >= QDate(2026, 6, 1));
    }
    return 0;
}

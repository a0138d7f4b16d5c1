// The files orvex-sign reads before it signs: a secret key file (any file a maker names with
// --key) and the ".minisig" already beside a file. Any bytes must read without harm; a key
// that is read has the sizes the cryptography needs, and a plain one that opens signs what its
// public half verifies, for the identity and sequence written, which the signature reader then
// reads back. Password keys are not opened: each opening asks scrypt for a gigabyte.
// The whole input is the key file and, as well, the ".minisig"; its bytes are also handed to
// the opening as a key's sealed bytes, whatever their size.
#include "FuzzCheck.h"
#include "sign/MinisigFile.h"
#include "sign/SecretKey.h"
#include "signing/SignatureCheck.h"

#include <sodium.h>

#include <cstddef>
#include <cstdint>

namespace {
// A key that opened signs the document, and the program's check and the reader of the
// signature beside a file both take what it wrote.
void CheckSigns(const MinisignSecretKey& key) {
    Check(key.Id().size() == 8 && key.Secret().size() == 64);
    const QByteArray document = "signed document\n";
    QByteArray digest(crypto_generichash_BYTES_MAX, '\0');
    crypto_generichash(reinterpret_cast<unsigned char*>(digest.data()),
                       static_cast<size_t>(digest.size()),
                       reinterpret_cast<const unsigned char*>(document.constData()),
                       static_cast<unsigned long long>(document.size()), nullptr, 0);
    const TrustedComment comment{QStringLiteral("fuzz"), 7, QDate(2026, 7, 1)};
    const QByteArray lines = SignatureLines(key, digest, comment.Text());
    const MinisignKey publicKey = key.PublicKey();
    const PublicKeyList keys = PublicKeyList::FromText(
        QString::fromLatin1(("Ed" + publicKey.id + publicKey.key).toBase64()));
    const SignatureCheck check = VerifySignature(
        document, lines, keys, {SignedKind::Product, QStringLiteral("fuzz")}, QDate(2026, 6, 1));
    Check(check.status == SignatureStatus::Verified && check.sequence == 7u);
    QString why;
    const std::optional<PreviousSignature> previous = ReadPreviousSignature(lines, &why);
    Check(previous && previous->sequence == 7u && previous->forId == QLatin1String("fuzz"));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    QString why;
    const std::optional<SealedSecretKey> sealed = ParseSecretKeyFile(bytes, &why);
    Check(sealed.has_value() == why.isEmpty());
    if (sealed) {
        Check(bytes.size() <= kMaxSecretKeyFileSize && sealed->salt.size() == 32 &&
              sealed->sealed.size() == 104);
        if (!sealed->encrypted) {
            why.clear();
            const std::optional<MinisignSecretKey> key = OpenSecretKey(*sealed, {}, &why);
            Check(key.has_value() == why.isEmpty());
            if (key)
                CheckSigns(*key);
        }
    }

    // Whatever a caller hands in as a key's sealed bytes: only the size a key file holds
    // opens, and no other size is read past its end.
    SealedSecretKey raw;
    raw.sealed = bytes;
    why.clear();
    const std::optional<MinisignSecretKey> opened = OpenSecretKey(raw, {}, &why);
    Check(opened.has_value() == why.isEmpty());
    Check(!opened || bytes.size() == 104);
    if (opened)
        CheckSigns(*opened);

    why.clear();
    const std::optional<PreviousSignature> previous = ReadPreviousSignature(bytes, &why);
    Check(previous.has_value() == why.isEmpty());
    if (previous) {
        Check(!previous->forId.contains(u' ') && !previous->forId.contains(u'\n'));
        Check(!previous->sequence || bytes.contains("sequence=") || bytes.contains("timestamp:"));
    }
    return 0;
}

#include "signing/SignatureCheck.h"

#include "platform/FilePath.h"
#include "signing/Minisign.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QRegularExpression>

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("SignatureCheck", text);
}

SignatureCheck Refused(SignatureStatus status, const SignedItem& item, const QString& detail = {}) {
    SignatureCheck check;
    check.status = status;
    check.item = item;
    check.detail = detail;
    return check;
}

// The signature file read, or the check that ends before any signature is tried.
std::optional<std::vector<MinisignSignature>> Prepare(const std::optional<QByteArray>& file,
                                                      const PublicKeyList& keys,
                                                      const SignedItem& item,
                                                      SignatureCheck& ended) {
    if (!keys.refusal.isEmpty()) {
        ended = Refused(SignatureStatus::Malformed, item, keys.refusal);
        return std::nullopt;
    }
    if (keys.keys.empty()) {
        ended = Refused(SignatureStatus::NoKey, item);
        return std::nullopt;
    }
    if (!file) {
        ended = Refused(SignatureStatus::Missing, item);
        return std::nullopt;
    }
    QString why;
    auto signatures = ParseMinisignSignatures(*file, &why);
    if (!signatures) {
        ended = Refused(SignatureStatus::Malformed, item, why);
        return std::nullopt;
    }
    return signatures;
}

const unsigned char* Bytes(const QByteArray& bytes) {
    return reinterpret_cast<const unsigned char*>(bytes.constData());
}

bool SignatureMatches(const QByteArray& signature, const QByteArray& message,
                      const QByteArray& key) {
    // Safe to call from any thread and any number of times; it fails only when the system
    // cannot give it randomness, which verifying does not need.
    if (sodium_init() < 0)
        return false;
    return crypto_sign_verify_detached(Bytes(signature), Bytes(message),
                                       static_cast<unsigned long long>(message.size()),
                                       Bytes(key)) == 0;
}

std::optional<uint64_t> Number(const QByteArray& text) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,20}$"));
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    if (!digits.match(QString::fromLatin1(text)).hasMatch() || !ok)
        return std::nullopt;
    return value;
}

bool Unusable(SignatureCheck& check, const QString& word) {
    check.detail = Tr("Its trusted comment has an unusable \"%1\".").arg(word.left(40));
    return false;
}

// Reads the signed trusted comment into check; false (with the reason in check) when a word
// it knows is malformed or given twice.
bool ReadTrustedComment(const QByteArray& comment, SignatureCheck& check) {
    std::optional<uint64_t> timestamp;
    static const QRegularExpression words(QStringLiteral("[ \\t]+"));
    for (const QString& word : QString::fromUtf8(comment).split(words, Qt::SkipEmptyParts)) {
        const QByteArray latin = word.toLatin1();
        if (word.startsWith(QLatin1String("for="))) {
            if (check.signedFor || word.size() == 4)
                return Unusable(check, word);
            check.signedFor = word.mid(4);
        } else if (word.startsWith(QLatin1String("expires="))) {
            const QString day = word.mid(8);
            const QDate date = QDate::fromString(day, Qt::ISODate);
            if (check.expires || day.size() != 10 || !date.isValid())
                return Unusable(check, word);
            check.expires = date;
        } else if (word.startsWith(QLatin1String("sequence=")) ||
                   word.startsWith(QLatin1String("timestamp:"))) {
            const bool isSequence = word.startsWith(u's');
            const std::optional<uint64_t> value = Number(latin.mid(isSequence ? 9 : 10));
            std::optional<uint64_t>& target = isSequence ? check.sequence : timestamp;
            if (!value || target)
                return Unusable(check, word);
            target = value;
        }
    }
    if (!check.sequence)
        check.sequence = timestamp;
    return true;
}

// The verdict of one signature made by key once the file's own signature was checked: the
// global signature, then what the trusted comment says, in the order a maker fixes them.
SignatureCheck Judge(const MinisignSignature& signature, const MinisignKey& key, bool fileMatches,
                     const SignedItem& item, const QDate& today) {
    SignatureCheck check = Refused(SignatureStatus::Mismatch, item);
    check.keyId = signature.KeyIdText();
    if (!fileMatches || !SignatureMatches(signature.globalSignature,
                                          signature.signature + signature.trustedComment, key.key))
        return check;
    if (!ReadTrustedComment(signature.trustedComment, check))
        check.status = SignatureStatus::Malformed;
    else if (check.signedFor != item.identity)
        check.status = SignatureStatus::OtherIdentity;
    else if (!check.sequence)
        check.status = SignatureStatus::NoSequence;
    else if (check.expires && today > *check.expires)
        check.status = SignatureStatus::Expired;
    else
        check.status = SignatureStatus::Verified;
    check.expiresSoon = check.status == SignatureStatus::Verified && check.expires &&
                        today.daysTo(*check.expires) < kExpiryWarningDays;
    return check;
}

// How far a refused signature got: the refusal shown is the one of the signature that came
// closest to counting, so a maker reads what to mend.
int Progress(SignatureStatus status) {
    switch (status) {
    case SignatureStatus::UnknownKey:
        return 0;
    case SignatureStatus::Mismatch:
        return 1;
    default:
        return 2;
    }
}

// Every signature against every named key of its key id; matches says whether the file's
// own signature matches for a signature and key.
template <typename Matches>
SignatureCheck JudgeAll(const std::vector<MinisignSignature>& signatures, const PublicKeyList& keys,
                        const SignedItem& item, const QDate& today, Matches matches) {
    SignatureCheck best = Refused(SignatureStatus::UnknownKey, item);
    QStringList ids;
    for (const MinisignSignature& signature : signatures) {
        ids << signature.KeyIdText();
        for (const MinisignKey& key : keys.keys) {
            if (key.id != signature.keyId)
                continue;
            SignatureCheck check = Judge(signature, key, matches(signature, key), item, today);
            if (check.status == SignatureStatus::Verified)
                return check;
            if (Progress(check.status) > Progress(best.status))
                best = std::move(check);
        }
    }
    if (best.status == SignatureStatus::UnknownKey)
        best.keyId = ids.join(QStringLiteral(", "));
    return best;
}

QByteArray Blake2b(const QByteArray& data) {
    QByteArray digest(crypto_generichash_BYTES_MAX, '\0');
    crypto_generichash(reinterpret_cast<unsigned char*>(digest.data()),
                       static_cast<size_t>(digest.size()), Bytes(data),
                       static_cast<unsigned long long>(data.size()), nullptr, 0);
    return digest;
}

constexpr qsizetype kMaxLegacySignedFile = 64 * 1024 * 1024;

// Reads fd from its start without moving its offset, handing each piece to take; false when
// reading fails or take refuses.
template <typename Take> bool ReadAll(int fd, Take take) {
    QByteArray buffer(64 * 1024, '\0');
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(fd, buffer.data(), static_cast<size_t>(buffer.size()), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!take(QByteArrayView(buffer.constData(), got)))
            return false;
        offset += got;
    }
}
} // namespace

QDate TodayUtc() {
    return QDateTime::currentDateTimeUtc().date();
}

SignatureCheck VerifySignature(const QByteArray& data, const std::optional<QByteArray>& signature,
                               const PublicKeyList& keys, const SignedItem& item,
                               const QDate& today) {
    SignatureCheck ended;
    const auto signatures = Prepare(signature, keys, item, ended);
    if (!signatures)
        return ended;
    const QByteArray digest = Blake2b(data);
    SignatureCheck check = JudgeAll(
        *signatures, keys, item, today, [&](const MinisignSignature& one, const MinisignKey& key) {
            return SignatureMatches(one.signature, one.prehashed ? digest : data, key.key);
        });
    if (check.status == SignatureStatus::Verified)
        check.digest = digest;
    return check;
}

SignatureCheck VerifyFileSignature(int fd, const std::optional<QByteArray>& signature,
                                   const PublicKeyList& keys, const SignedItem& item,
                                   const QDate& today) {
    SignatureCheck ended;
    const auto signatures = Prepare(signature, keys, item, ended);
    if (!signatures)
        return ended;
    // The digest is needed for the sequence whatever the signatures' kind; the bytes
    // themselves only for a legacy signature.
    const bool legacy = std::any_of(signatures->begin(), signatures->end(),
                                    [](const MinisignSignature& one) { return !one.prehashed; });
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
    QByteArray message;
    const bool read = ReadAll(fd, [&](QByteArrayView piece) {
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(piece.data()),
                                  static_cast<unsigned long long>(piece.size()));
        if (legacy)
            message.append(piece);
        return message.size() <= kMaxLegacySignedFile;
    });
    QByteArray digest(crypto_generichash_BYTES_MAX, '\0');
    crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(digest.data()),
                             static_cast<size_t>(digest.size()));
    if (message.size() > kMaxLegacySignedFile)
        return Refused(SignatureStatus::Malformed, item,
                       Tr("A file this large must be signed with minisign's default "
                          "(prehashed) signatures."));
    if (!read)
        return Refused(SignatureStatus::Malformed, item, Tr("The signed file could not be read."));
    SignatureCheck check = JudgeAll(
        *signatures, keys, item, today, [&](const MinisignSignature& one, const MinisignKey& key) {
            return SignatureMatches(one.signature, one.prehashed ? digest : message, key.key);
        });
    if (check.status == SignatureStatus::Verified)
        check.digest = digest;
    return check;
}

std::optional<QByteArray> ReadSignatureFile(const QString& path) {
    if (path.isEmpty())
        return std::nullopt;
    const FilePath file(path);
    QFile input(file.LocalPath());
    std::optional<QByteArray> bytes;
    if (input.open(QIODevice::ReadOnly))
        bytes = input.read(kMaxSignatureFileSize + 1);
    input.close();
    file.DeleteFile();
    return bytes;
}

QString SignatureFailureText(const SignatureCheck& check) {
    switch (check.status) {
    case SignatureStatus::NoKey:
    case SignatureStatus::Verified:
        return {};
    case SignatureStatus::Missing:
        return Tr("Its signature is missing.");
    case SignatureStatus::UnknownKey:
        return Tr("It was signed with an unknown key (%1).").arg(check.keyId);
    case SignatureStatus::Mismatch:
        return Tr("Its signature does not match.");
    case SignatureStatus::Malformed:
        return Tr("Its signature is not usable: %1").arg(check.detail);
    case SignatureStatus::Expired:
        return Tr("It expired on %1.").arg(check.expires.value_or(QDate()).toString(Qt::ISODate));
    case SignatureStatus::Older:
        return Tr("It is older than the last one seen.");
    case SignatureStatus::OtherIdentity:
        return check.signedFor
                   ? Tr("It was signed for \"%1\", not for \"%2\".")
                         .arg(check.signedFor->left(80), check.item.identity)
                   : Tr("Its signature does not say what it is for (\"for=%1\" is missing).")
                         .arg(check.item.identity);
    case SignatureStatus::NoSequence:
        return Tr("Its signature carries no sequence, so it cannot be told from an older one.");
    case SignatureStatus::Replayed:
        return Tr("It differs from the file last seen under the same sequence (%1).")
            .arg(check.sequence.value_or(0));
    }
    return {};
}

QString SignatureSummaryText(const SignatureCheck& check) {
    if (check.status == SignatureStatus::NoKey)
        return {};
    if (!check.Accepted())
        return SignatureFailureText(check);
    const QString expiry = check.expires ? check.expires->toString(Qt::ISODate) : Tr("never");
    QString text = Tr("Signature checked: key %1, sequence %2, expires %3.")
                       .arg(check.keyId)
                       .arg(check.sequence.value_or(0))
                       .arg(expiry);
    if (check.expiresSoon)
        text += QLatin1Char(' ') + Tr("Warning: it expires within %1 days; the maker must sign "
                                      "it again before then.")
                                       .arg(kExpiryWarningDays);
    return text;
}

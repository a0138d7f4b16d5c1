#include "signing/SignatureCheck.h"

#include "platform/FilePath.h"
#include "signing/Minisign.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

#include <sodium.h>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("SignatureCheck", text);
}

SignatureCheck Refused(SignatureStatus status, const QString& detail = {}) {
    SignatureCheck check;
    check.status = status;
    check.detail = detail;
    return check;
}

// A signature file read and the key that made it, or the check that ends here.
struct Prepared {
    SignatureCheck check;
    MinisignSignature signature;
    MinisignKey key;
};

std::optional<Prepared> Prepare(const std::optional<QByteArray>& file, const QString& keyText,
                                SignatureCheck& ended) {
    QString why;
    const auto keys = ParsePublicKeys(keyText, &why);
    if (!keys) {
        ended = Refused(SignatureStatus::Malformed, why);
        return std::nullopt;
    }
    if (keys->empty()) {
        ended = Refused(SignatureStatus::NoKey);
        return std::nullopt;
    }
    if (!file) {
        ended = Refused(SignatureStatus::Missing);
        return std::nullopt;
    }
    const auto signature = ParseMinisignSignature(*file, &why);
    if (!signature) {
        ended = Refused(SignatureStatus::Malformed, why);
        return std::nullopt;
    }
    Prepared prepared;
    prepared.signature = *signature;
    prepared.check.keyId = signature->KeyIdText();
    for (const MinisignKey& key : *keys) {
        if (key.id == signature->keyId) {
            prepared.key = key;
            return prepared;
        }
    }
    ended = prepared.check;
    ended.status = SignatureStatus::UnknownKey;
    return std::nullopt;
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

// Reads the signed trusted comment into check; false (with the reason in check) when a word
// it knows is malformed or given twice.
bool ReadTrustedComment(const QByteArray& comment, SignatureCheck& check) {
    std::optional<uint64_t> timestamp;
    static const QRegularExpression words(QStringLiteral("[ \\t]+"));
    for (const QString& word : QString::fromUtf8(comment).split(words, Qt::SkipEmptyParts)) {
        const QByteArray latin = word.toLatin1();
        if (word.startsWith(QLatin1String("expires="))) {
            const QString day = word.mid(8);
            const QDate date = QDate::fromString(day, Qt::ISODate);
            if (check.expires || day.size() != 10 || !date.isValid()) {
                check.detail = Tr("Its trusted comment has an unusable \"%1\".").arg(word.left(40));
                return false;
            }
            check.expires = date;
        } else if (word.startsWith(QLatin1String("sequence=")) ||
                   word.startsWith(QLatin1String("timestamp:"))) {
            const bool isSequence = word.startsWith(u's');
            const std::optional<uint64_t> value = Number(latin.mid(isSequence ? 9 : 10));
            std::optional<uint64_t>& target = isSequence ? check.sequence : timestamp;
            if (!value || target) {
                check.detail = Tr("Its trusted comment has an unusable \"%1\".").arg(word.left(40));
                return false;
            }
            target = value;
        }
    }
    if (!check.sequence)
        check.sequence = timestamp;
    return true;
}

// The end of every check once the file's own signature matched: the global signature and
// what the trusted comment says.
SignatureCheck Finish(const Prepared& prepared, bool fileMatches, const QDate& today) {
    SignatureCheck check = prepared.check;
    const MinisignSignature& signature = prepared.signature;
    if (!fileMatches ||
        !SignatureMatches(signature.globalSignature, signature.signature + signature.trustedComment,
                          prepared.key.key)) {
        check.status = SignatureStatus::Mismatch;
        return check;
    }
    if (!ReadTrustedComment(signature.trustedComment, check)) {
        check.status = SignatureStatus::Malformed;
        return check;
    }
    check.status = check.expires && today > *check.expires ? SignatureStatus::Expired
                                                           : SignatureStatus::Verified;
    return check;
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

SignatureCheck VerifySignature(const QByteArray& data, const std::optional<QByteArray>& signature,
                               const QString& keys, const QDate& today) {
    SignatureCheck ended;
    const std::optional<Prepared> prepared = Prepare(signature, keys, ended);
    if (!prepared)
        return ended;
    const QByteArray message = prepared->signature.prehashed ? Blake2b(data) : data;
    return Finish(*prepared,
                  SignatureMatches(prepared->signature.signature, message, prepared->key.key),
                  today);
}

SignatureCheck VerifyFileSignature(int fd, const std::optional<QByteArray>& signature,
                                   const QString& keys, const QDate& today) {
    SignatureCheck ended;
    const std::optional<Prepared> prepared = Prepare(signature, keys, ended);
    if (!prepared)
        return ended;
    QByteArray message;
    bool read = false;
    if (prepared->signature.prehashed) {
        crypto_generichash_state state;
        crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
        read = ReadAll(fd, [&](QByteArrayView piece) {
            crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(piece.data()),
                                      static_cast<unsigned long long>(piece.size()));
            return true;
        });
        message.resize(crypto_generichash_BYTES_MAX);
        crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(message.data()),
                                 static_cast<size_t>(message.size()));
    } else {
        read = ReadAll(fd, [&](QByteArrayView piece) {
            message.append(piece);
            return message.size() <= kMaxLegacySignedFile;
        });
        if (message.size() > kMaxLegacySignedFile) {
            SignatureCheck check = prepared->check;
            check.status = SignatureStatus::Malformed;
            check.detail = Tr("A file this large must be signed with minisign's default "
                              "(prehashed) signatures.");
            return check;
        }
    }
    if (!read) {
        SignatureCheck check = prepared->check;
        check.status = SignatureStatus::Malformed;
        check.detail = Tr("The signed file could not be read.");
        return check;
    }
    return Finish(*prepared,
                  SignatureMatches(prepared->signature.signature, message, prepared->key.key),
                  today);
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
    }
    return {};
}

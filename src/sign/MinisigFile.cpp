#include "sign/MinisigFile.h"

#include "signing/Minisign.h"

#include <QFile>
#include <QRegularExpression>

#include <sodium.h>

namespace {
const unsigned char* Bytes(const QByteArray& bytes) {
    return reinterpret_cast<const unsigned char*>(bytes.constData());
}

QByteArray Sign(const MinisignSecretKey& key, const QByteArray& message) {
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                         Bytes(message), static_cast<unsigned long long>(message.size()),
                         Bytes(key.Secret()));
    return signature;
}

std::optional<uint64_t> Number(const QString& text) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,20}$"));
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    if (!digits.match(text).hasMatch() || !ok)
        return std::nullopt;
    return value;
}
} // namespace

QByteArray TrustedComment::Text() const {
    return QStringLiteral("for=%1 sequence=%2 expires=%3")
        .arg(forId)
        .arg(sequence)
        .arg(expires.toString(Qt::ISODate))
        .toUtf8();
}

bool IsUsableIdentity(const QString& id) {
    if (id.isEmpty() || id.size() > kMaxIdentityLength)
        return false;
    for (const QChar c : id) {
        if (c.isSpace() || c.category() == QChar::Other_Control ||
            c.category() == QChar::Other_Format)
            return false;
    }
    return true;
}

std::optional<PreviousSignature> ReadPreviousSignature(const QByteArray& file, QString* why) {
    const std::optional<std::vector<MinisignSignature>> signatures =
        ParseMinisignSignatures(file, why);
    if (!signatures)
        return std::nullopt;
    PreviousSignature previous;
    static const QRegularExpression blanks(QStringLiteral("[ \\t]+"));
    for (std::size_t i = 0; i < signatures->size(); ++i) {
        std::optional<uint64_t> sequence, timestamp;
        QString forId;
        for (const QString& word :
             QString::fromUtf8((*signatures)[i].trustedComment).split(blanks, Qt::SkipEmptyParts)) {
            if (word.startsWith(QLatin1String("sequence=")))
                sequence = Number(word.mid(9));
            else if (word.startsWith(QLatin1String("timestamp:")))
                timestamp = Number(word.mid(10));
            else if (word.startsWith(QLatin1String("for=")))
                forId = word.mid(4);
        }
        if (!sequence)
            sequence = timestamp;
        if (sequence && (!previous.sequence || *sequence > *previous.sequence))
            previous.sequence = sequence;
        if (i == 0)
            previous.forId = forId;
    }
    return previous;
}

std::optional<QByteArray> FileDigest(const QString& path, QString* why) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (why)
            *why = file.errorString();
        return std::nullopt;
    }
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
    QByteArray buffer(64 * 1024, '\0');
    for (;;) {
        const qint64 got = file.read(buffer.data(), buffer.size());
        if (got < 0) {
            if (why)
                *why = file.errorString();
            return std::nullopt;
        }
        if (got == 0)
            break;
        crypto_generichash_update(&state, Bytes(buffer), static_cast<unsigned long long>(got));
    }
    QByteArray digest(crypto_generichash_BYTES_MAX, '\0');
    crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(digest.data()),
                             static_cast<size_t>(digest.size()));
    return digest;
}

QByteArray SignatureLines(const MinisignSecretKey& key, const QByteArray& digest,
                          const QByteArray& trustedComment) {
    const QByteArray signature = Sign(key, digest);
    const QByteArray global = Sign(key, signature + trustedComment);
    return "untrusted comment: signature from orvex-sign, key " +
           key.PublicKey().IdText().toLatin1() + "\n" + ("ED" + key.Id() + signature).toBase64() +
           "\ntrusted comment: " + trustedComment + "\n" + global.toBase64() + "\n";
}

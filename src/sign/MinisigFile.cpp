#include "sign/MinisigFile.h"

#include "signing/Minisign.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

#include <sodium.h>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("MinisigFile", text);
}

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

std::optional<std::vector<QByteArray>> SplitSignatures(const QByteArray& file) {
    QList<QByteArray> lines = file.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (lines.isEmpty() || lines.size() % 4 != 0)
        return std::nullopt;
    std::vector<QByteArray> signatures;
    for (qsizetype i = 0; i < lines.size(); i += 4)
        signatures.push_back(lines[i] + '\n' + lines[i + 1] + '\n' + lines[i + 2] + '\n' +
                             lines[i + 3] + '\n');
    return signatures;
}

std::optional<PreviousSignature> ReadPreviousSignature(const QByteArray& file, QString* why) {
    const std::optional<std::vector<QByteArray>> parts = SplitSignatures(file);
    if (!parts) {
        if (why)
            *why = Tr("it does not consist of minisign signatures of four lines each.");
        return std::nullopt;
    }
    PreviousSignature previous;
    static const QRegularExpression blanks(QStringLiteral("[ \\t]+"));
    for (std::size_t i = 0; i < parts->size(); ++i) {
        const std::optional<MinisignSignature> signature = ParseMinisignSignature((*parts)[i], why);
        if (!signature)
            return std::nullopt;
        std::optional<uint64_t> sequence, timestamp;
        QString forId;
        for (const QString& word :
             QString::fromUtf8(signature->trustedComment).split(blanks, Qt::SkipEmptyParts)) {
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

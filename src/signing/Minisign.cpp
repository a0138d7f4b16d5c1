#include "signing/Minisign.h"

#include <QCoreApplication>
#include <QRegularExpression>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("Minisign", text);
}

void Set(QString* why, const QString& text) {
    if (why)
        *why = text;
}

// The form minisign prints: the id's bytes read as a little-endian number, in upper-case
// hexadecimal without leading zeros.
QString HexId(const QByteArray& id) {
    quint64 value = 0;
    for (qsizetype i = id.size() - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(id[i]);
    return QString::number(value, 16).toUpper();
}

// Standard base64 with its padding and nothing else (a character outside its alphabet ends
// the decoding as failed), of exactly size bytes.
std::optional<QByteArray> Base64(const QByteArray& text, qsizetype size) {
    const auto decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return std::nullopt;
    return decoded.decoded;
}

// A comment line's text may hold tabs (minisign's own trusted comment does), never another
// control character: a line end inside it would let a comment pass for another line.
bool PlainComment(const QByteArray& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f)
            return false;
    }
    return true;
}
} // namespace

QString MinisignKey::IdText() const {
    return HexId(id);
}

QString MinisignSignature::KeyIdText() const {
    return HexId(keyId);
}

std::optional<std::vector<MinisignKey>> ParsePublicKeys(const QString& text, QString* why) {
    static const QRegularExpression separators(QStringLiteral("[\\s,]+"));
    const QStringList tokens = text.split(separators, Qt::SkipEmptyParts);
    if (tokens.size() > kMaxPublicKeys) {
        Set(why, Tr("The version file names more than %1 public keys.").arg(kMaxPublicKeys));
        return std::nullopt;
    }
    if (tokens.isEmpty() && !text.trimmed().isEmpty()) {
        Set(why, Tr("The version file's public key names no key."));
        return std::nullopt;
    }
    std::vector<MinisignKey> keys;
    for (const QString& token : tokens) {
        // Algorithm "Ed", 8 bytes of id and 32 of key: 56 characters of base64.
        const std::optional<QByteArray> bytes =
            token.size() == 56 ? Base64(token.toLatin1(), 42) : std::nullopt;
        if (!bytes || !bytes->startsWith("Ed")) {
            Set(why, Tr("The version file's public key \"%1\" is not a minisign public key.")
                         .arg(token.left(60)));
            return std::nullopt;
        }
        keys.push_back({bytes->mid(2, 8), bytes->mid(10, 32)});
    }
    return keys;
}

PublicKeyList PublicKeyList::FromText(const QString& text) {
    PublicKeyList list;
    if (auto keys = ParsePublicKeys(text, &list.refusal))
        list.keys = std::move(*keys);
    return list;
}

PublicKeyList PublicKeyList::Refused(const QString& why) {
    PublicKeyList list;
    list.refusal = why;
    return list;
}

namespace {
// The four lines of one signature, from lines[first].
std::optional<MinisignSignature> ParseOne(const QList<QByteArray>& lines, qsizetype first,
                                          QString* why) {
    static const QByteArray untrusted = "untrusted comment: ";
    static const QByteArray trusted = "trusted comment: ";
    if (!lines[first].startsWith(untrusted) || !PlainComment(lines[first])) {
        Set(why, Tr("The signature file's first line is not an untrusted comment."));
        return std::nullopt;
    }
    MinisignSignature signature;
    const std::optional<QByteArray> main = Base64(lines[first + 1], 74);
    if (!main || !(main->startsWith("ED") || main->startsWith("Ed"))) {
        Set(why, Tr("The signature file's second line is not a minisign signature."));
        return std::nullopt;
    }
    signature.prehashed = main->startsWith("ED");
    signature.keyId = main->mid(2, 8);
    signature.signature = main->mid(10, 64);
    if (!lines[first + 2].startsWith(trusted) || !PlainComment(lines[first + 2])) {
        Set(why, Tr("The signature file's third line is not a trusted comment."));
        return std::nullopt;
    }
    signature.trustedComment = lines[first + 2].mid(trusted.size());
    const std::optional<QByteArray> global = Base64(lines[first + 3], 64);
    if (!global) {
        Set(why, Tr("The signature file's last line is not a minisign signature."));
        return std::nullopt;
    }
    signature.globalSignature = *global;
    return signature;
}
} // namespace

std::optional<std::vector<MinisignSignature>> ParseMinisignSignatures(const QByteArray& file,
                                                                      QString* why) {
    if (file.size() > kMaxSignatureFileSize) {
        Set(why, Tr("The signature file is larger than %1 bytes.").arg(kMaxSignatureFileSize));
        return std::nullopt;
    }
    QList<QByteArray> lines = file.split('\n');
    // One line end after the last line is usual, and Windows line ends are tolerated.
    if (lines.size() % 4 == 1 && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    if (lines.isEmpty() || lines.size() % 4 != 0 || lines.size() / 4 > kMaxSignaturesPerFile) {
        Set(why, Tr("The signature file does not hold whole minisign signatures of four lines "
                    "each (at most %1).")
                     .arg(kMaxSignaturesPerFile));
        return std::nullopt;
    }
    std::vector<MinisignSignature> signatures;
    for (qsizetype first = 0; first < lines.size(); first += 4) {
        std::optional<MinisignSignature> signature = ParseOne(lines, first, why);
        if (!signature)
            return std::nullopt;
        signatures.push_back(std::move(*signature));
    }
    return signatures;
}

#include "sign/SecretKey.h"

#include <QCoreApplication>

#include <sodium.h>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("SecretKey", text);
}

void Set(QString* why, const QString& text) {
    if (why)
        *why = text;
}

constexpr qsizetype kSaltSize = 32;
constexpr qsizetype kIdSize = 8;
constexpr qsizetype kSecretSize = crypto_sign_SECRETKEYBYTES;
constexpr qsizetype kChecksumSize = 32;
constexpr qsizetype kSealedSize = kIdSize + kSecretSize + kChecksumSize;
// "Ed", the key derivation's name, "B2", the salt, two 8-byte limits, the sealed bytes.
constexpr qsizetype kKeyBytes = 2 + 2 + 2 + kSaltSize + 8 + 8 + kSealedSize;
const QByteArray kPlainKdf("\0\0", 2);
const QByteArray kScryptKdf("Sc");
// The limits minisign writes into every password key; twice as much is still taken, as a
// newer tool may ask for more, but not the terabytes a damaged field could name.
constexpr quint64 kMinisignOpslimit = crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE;
constexpr quint64 kMinisignMemlimit = crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE;

unsigned char* Bytes(QByteArray& bytes) {
    return reinterpret_cast<unsigned char*>(bytes.data());
}
const unsigned char* Bytes(const QByteArray& bytes) {
    return reinterpret_cast<const unsigned char*>(bytes.constData());
}

QByteArray LittleEndian(quint64 value) {
    QByteArray bytes(8, '\0');
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xff);
    return bytes;
}

quint64 FromLittleEndian(const QByteArray& bytes) {
    quint64 value = 0;
    for (qsizetype i = bytes.size() - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

QByteArray Checksum(const QByteArray& id, const QByteArray& secret) {
    const QByteArray message = "Ed" + id + secret;
    QByteArray digest(kChecksumSize, '\0');
    crypto_generichash(Bytes(digest), static_cast<size_t>(digest.size()), Bytes(message),
                       static_cast<unsigned long long>(message.size()), nullptr, 0);
    return digest;
}

// The stream a password key's bytes are XORed with; nothing when the memory it needs cannot
// be had.
std::optional<QByteArray> Stream(const QByteArray& password, const QByteArray& salt,
                                 quint64 opslimit, quint64 memlimit) {
    QByteArray stream(kSealedSize, '\0');
    if (crypto_pwhash_scryptsalsa208sha256(
            Bytes(stream), static_cast<unsigned long long>(stream.size()), password.constData(),
            static_cast<unsigned long long>(password.size()), Bytes(salt), opslimit,
            static_cast<size_t>(memlimit)) != 0)
        return std::nullopt;
    return stream;
}

void Xor(QByteArray& bytes, const QByteArray& stream) {
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ stream[i]);
}
} // namespace

MinisignSecretKey::MinisignSecretKey(QByteArray id, QByteArray secret)
    : m_id(std::move(id)), m_secret(std::move(secret)) {}

MinisignSecretKey::~MinisignSecretKey() {
    // Only this object's own copy is wiped when it is shared with another; that copy keeps
    // the bytes until it goes in turn.
    if (m_secret.isDetached())
        sodium_memzero(m_secret.data(), static_cast<size_t>(m_secret.size()));
}

MinisignKey MinisignSecretKey::PublicKey() const {
    return {m_id, m_secret.mid(crypto_sign_SEEDBYTES)};
}

std::optional<SealedSecretKey> ParseSecretKeyFile(const QByteArray& file, QString* why) {
    const QString notAKey = Tr("It is not a minisign secret key.");
    if (file.size() > kMaxSecretKeyFileSize) {
        Set(why, notAKey);
        return std::nullopt;
    }
    QList<QByteArray> lines = file.split('\n');
    if (lines.size() == 3 && lines.last().isEmpty())
        lines.removeLast();
    if (lines.size() != 2 || !lines[0].startsWith("untrusted comment: ")) {
        Set(why, notAKey);
        return std::nullopt;
    }
    const auto decoded =
        QByteArray::fromBase64Encoding(lines[1].trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != kKeyBytes) {
        Set(why, Tr("It is not a minisign secret key, or it was cut short."));
        return std::nullopt;
    }
    const QByteArray& bytes = decoded.decoded;
    const QByteArray kdf = bytes.mid(2, 2);
    if (!bytes.startsWith("Ed") || bytes.mid(4, 2) != "B2" ||
        (kdf != kPlainKdf && kdf != kScryptKdf)) {
        Set(why, Tr("It is a key of a kind orvex-sign does not know (only Ed25519 keys with "
                    "scrypt or no password)."));
        return std::nullopt;
    }
    SealedSecretKey key;
    key.encrypted = kdf == kScryptKdf;
    key.salt = bytes.mid(6, kSaltSize);
    key.opslimit = FromLittleEndian(bytes.mid(6 + kSaltSize, 8));
    key.memlimit = FromLittleEndian(bytes.mid(6 + kSaltSize + 8, 8));
    key.sealed = bytes.mid(6 + kSaltSize + 16);
    if (key.encrypted &&
        (key.opslimit > 2 * kMinisignOpslimit || key.memlimit > 2 * kMinisignMemlimit)) {
        Set(why, Tr("Its password protection asks for more work or memory than any minisign key "
                    "does; the file is damaged."));
        return std::nullopt;
    }
    return key;
}

std::optional<MinisignSecretKey> OpenSecretKey(const SealedSecretKey& key,
                                               const QByteArray& password, QString* why) {
    if (sodium_init() < 0) {
        Set(why, Tr("The cryptography library could not start."));
        return std::nullopt;
    }
    // Only the sizes ParseSecretKeyFile reads: the derivation reads a whole salt, and the
    // stream covers no more than a key's sealed bytes.
    if (key.sealed.size() != kSealedSize || (key.encrypted && key.salt.size() != kSaltSize)) {
        Set(why, Tr("It is not a minisign secret key, or it was cut short."));
        return std::nullopt;
    }
    QByteArray opened = key.sealed;
    if (key.encrypted) {
        std::optional<QByteArray> stream = Stream(password, key.salt, key.opslimit, key.memlimit);
        if (!stream) {
            Set(why, Tr("The memory that opening it needs could not be had."));
            return std::nullopt;
        }
        Xor(opened, *stream);
        sodium_memzero(stream->data(), static_cast<size_t>(stream->size()));
    }
    MinisignSecretKey result(opened.left(kIdSize), opened.mid(kIdSize, kSecretSize));
    const QByteArray checksum = opened.mid(kIdSize + kSecretSize);
    sodium_memzero(opened.data(), static_cast<size_t>(opened.size()));
    // minisign leaves the checksum of a key without a password empty; one that is there must
    // match all the same.
    const bool unchecked = !key.encrypted && checksum == QByteArray(kChecksumSize, '\0');
    if (!unchecked && checksum != Checksum(result.Id(), result.Secret())) {
        Set(why, key.encrypted ? Tr("The password is wrong (or the key file is damaged).")
                               : Tr("The key file is damaged: its checksum does not match."));
        return std::nullopt;
    }
    // A key without a checksum is checked this way at least: its public half must be the one
    // its seed makes, or every signature it makes would fail with the published key.
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, '\0'), derived(kSecretSize, '\0');
    crypto_sign_seed_keypair(Bytes(publicKey), Bytes(derived), Bytes(result.Secret()));
    const bool consistent = derived == result.Secret();
    sodium_memzero(derived.data(), static_cast<size_t>(derived.size()));
    if (!consistent) {
        Set(why,
            Tr("The key file is damaged: its secret and public halves do not belong together."));
        return std::nullopt;
    }
    return result;
}

std::optional<KeyPairFiles> GenerateKeyPair(const QByteArray& password) {
    if (sodium_init() < 0)
        return std::nullopt;
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, '\0');
    QByteArray secret(kSecretSize, '\0');
    QByteArray id(kIdSize, '\0');
    crypto_sign_keypair(Bytes(publicKey), Bytes(secret));
    randombytes_buf(id.data(), static_cast<size_t>(id.size()));

    const bool encrypted = !password.isEmpty();
    QByteArray salt(kSaltSize, '\0');
    QByteArray sealed = id + secret + Checksum(id, secret);
    sodium_memzero(secret.data(), static_cast<size_t>(secret.size()));
    if (encrypted) {
        randombytes_buf(salt.data(), static_cast<size_t>(salt.size()));
        std::optional<QByteArray> stream =
            Stream(password, salt, kMinisignOpslimit, kMinisignMemlimit);
        if (!stream)
            return std::nullopt;
        Xor(sealed, *stream);
        sodium_memzero(stream->data(), static_cast<size_t>(stream->size()));
    }
    const QByteArray keyBytes = "Ed" + (encrypted ? kScryptKdf : kPlainKdf) + "B2" + salt +
                                LittleEndian(encrypted ? kMinisignOpslimit : 0) +
                                LittleEndian(encrypted ? kMinisignMemlimit : 0) + sealed;
    sodium_memzero(sealed.data(), static_cast<size_t>(sealed.size()));

    KeyPairFiles files;
    const MinisignKey key{id, publicKey};
    files.keyId = key.IdText();
    files.publicKey = "untrusted comment: minisign public key " + files.keyId.toLatin1() + "\n" +
                      ("Ed" + id + publicKey).toBase64() + "\n";
    files.secretKey =
        "untrusted comment: minisign encrypted secret key\n" + keyBytes.toBase64() + "\n";
    return files;
}

#pragma once

#include "signing/Minisign.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The secret half of a minisign key pair, in the file format the minisign tool writes ("-G"):
// an untrusted comment line, then one base64 line of the algorithm names, the scrypt
// parameters and the 104 bytes of key id, secret key and checksum, which a password key holds
// XORed with a stream derived from the password. Reading and writing share this one place, so
// a key made here is read as minisign reads it, and the other way round.

// The longest key file read: a minisign key file is about 260 bytes.
inline constexpr qsizetype kMaxSecretKeyFileSize = 4096;

// A key file read but not yet opened: what it says about itself.
struct SealedSecretKey {
    // The key is XORed with a stream scrypt derives from a password; otherwise it is plain.
    bool encrypted = false;
    QByteArray salt; // 32 bytes
    quint64 opslimit = 0;
    quint64 memlimit = 0;
    QByteArray sealed; // key id 8, secret key 64, checksum 32
};

// An opened key: what signing needs. The secret bytes are wiped when it goes.
class MinisignSecretKey {
public:
    MinisignSecretKey(QByteArray id, QByteArray secret);
    MinisignSecretKey(const MinisignSecretKey&) = default;
    MinisignSecretKey& operator=(const MinisignSecretKey&) = default;
    ~MinisignSecretKey();

    const QByteArray& Id() const { return m_id; }
    // Ed25519's 64 bytes: the seed, then the public key.
    const QByteArray& Secret() const { return m_secret; }
    MinisignKey PublicKey() const;

private:
    QByteArray m_id;
    QByteArray m_secret;
};

// Reads a key file's bytes; nothing (and *why) for anything that is not a minisign secret key
// of the Ed25519 kind, including one cut short, and for a key whose scrypt asks for more
// memory or work than any minisign key does (such a file would only stall the signing).
std::optional<SealedSecretKey> ParseSecretKeyFile(const QByteArray& file, QString* why = nullptr);

// Opens a read key with the password (ignored for a plain key). Nothing (and *why) when the
// checksum does not match: the wrong password, or a damaged file; or when its bytes are not
// the sizes a key file holds. Deriving the stream takes
// the memory the file names (1 GiB for minisign's keys) and about a second.
std::optional<MinisignSecretKey> OpenSecretKey(const SealedSecretKey& key,
                                               const QByteArray& password, QString* why = nullptr);

// The two files of a new key pair.
struct KeyPairFiles {
    QByteArray publicKey; // the ".pub" file: comment line and "RW..." line
    QByteArray secretKey; // the secret key file
    QString keyId;        // as minisign prints it
};

// A new random key pair; an empty password makes a plain key (minisign's "-W"), another one
// encrypts it with the scrypt parameters minisign uses. Nothing when the system gives no
// randomness or the derivation cannot have its memory.
std::optional<KeyPairFiles> GenerateKeyPair(const QByteArray& password);

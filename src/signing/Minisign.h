#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

// The two file formats of the minisign tool that makers sign with, read strictly: anything
// that is not exactly the expected shape is refused with the reason, before any byte of it
// is used. Plain parsing; nothing here checks a signature (see SignatureCheck.h).

// An Ed25519 public key as minisign writes it: the base64 line "RW..." of a ".pub" file.
struct MinisignKey {
    QByteArray id;  // 8 bytes, as stored
    QByteArray key; // 32 bytes
    // The key's id as minisign prints it: up to 16 upper-case hexadecimal digits.
    QString IdText() const;
    bool operator==(const MinisignKey&) const = default;
};

// The longest list of keys a version file may name: two for a rotation, with room to spare.
inline constexpr int kMaxPublicKeys = 8;

// The keys of an "UpdatePublicKey" attribute: one or more key lines separated by blanks or
// commas. Empty text gives an empty list. Nothing (and *why, when given) for a text that is
// not such a list; a list naming no key is then refused as well as a key with odd bytes.
std::optional<std::vector<MinisignKey>> ParsePublicKeys(const QString& text,
                                                        QString* why = nullptr);

// The keys a local file names for the documents it points to, read once where that file is
// read and handed down as this value. A refusal (text that is no key list, an attribute on
// the wrong element or spelt in another case) makes every document the file guards refused,
// never unsigned.
struct PublicKeyList {
    std::vector<MinisignKey> keys;
    // Why the file's keys cannot be used, in the run's language; empty when they can.
    QString refusal;

    // Whatever the signature, a document counts only with one: a key is named, or the
    // attempt to name one went wrong.
    bool RequiresSignature() const { return !keys.empty() || !refusal.isEmpty(); }
    // The list of an "UpdatePublicKey" attribute's text (ParsePublicKeys); empty text names
    // no key.
    static PublicKeyList FromText(const QString& text);
    static PublicKeyList Refused(const QString& why);
    bool operator==(const PublicKeyList&) const = default;
};

// The largest ".minisig" file read; minisign's own signatures are about 300 bytes each.
inline constexpr qsizetype kMaxSignatureFileSize = 4096;
// The most signatures one ".minisig" may hold: one per key of a rotation, with room to spare.
inline constexpr int kMaxSignaturesPerFile = 8;

// One signature of a ".minisig" file: an untrusted comment line, the signature line, the
// trusted comment line and the global signature line, which signs the signature and the
// trusted comment.
struct MinisignSignature {
    // "ED": the signature is over the BLAKE2b-512 digest of the file (minisign's default);
    // "Ed": over the file's bytes themselves (the legacy mode, "minisign -S -l").
    bool prehashed = true;
    QByteArray keyId;     // 8 bytes
    QByteArray signature; // 64 bytes
    // The text after "trusted comment: ", as signed (UTF-8, no line end).
    QByteArray trustedComment;
    QByteArray globalSignature; // 64 bytes

    QString KeyIdText() const;
};

// Reads a ".minisig" file's bytes: one signature, or several written one after another (a
// maker signing with an old and a new key across a key change). Nothing (and *why, when
// given) for anything else: more than kMaxSignatureFileSize bytes or kMaxSignaturesPerFile
// signatures, a line missing or added, control characters in a comment, a base64 line of the
// wrong length or alphabet, an unknown algorithm.
std::optional<std::vector<MinisignSignature>> ParseMinisignSignatures(const QByteArray& file,
                                                                      QString* why = nullptr);

#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>

#include <cstdint>
#include <optional>

// What the check of a published file against its ".minisig" found. A failure stays this value
// until SignatureFailureText words it for the person.
enum class SignatureStatus {
    // No key is named for the file: it counts as it always did, unsigned.
    NoKey,
    Verified,
    // A key is named and no signature file was had.
    Missing,
    // Signed with a key other than the ones named.
    UnknownKey,
    // The signature or the signed trusted comment does not match the bytes.
    Mismatch,
    // The signature file, a named key or the signed trusted comment cannot be read.
    Malformed,
    // Correctly signed, and its "expires=" day has passed.
    Expired,
    // Correctly signed, and older than the newest one already seen (see AcceptSequence).
    Older,
};

struct SignatureCheck {
    SignatureStatus status = SignatureStatus::NoKey;
    // The signature's key id (as minisign prints it) once the signature file was read.
    QString keyId;
    // From the signed trusted comment, once verified.
    std::optional<QDate> expires;
    std::optional<uint64_t> sequence;
    // Why a Malformed file was refused, in the run's language.
    QString detail;

    // The file may be used: verified, or no key named for it.
    bool Accepted() const {
        return status == SignatureStatus::Verified || status == SignatureStatus::NoKey;
    }
    bool operator==(const SignatureCheck&) const = default;
};

// Checks data against the ".minisig" file's bytes (nothing: none was had) with the keys of
// an "UpdatePublicKey" attribute (ParsePublicKeys; empty text: NoKey, whatever the
// signature). A signature counts when one of the keys made it, it matches the bytes and its
// global signature matches the trusted comment; the comment's "expires=YYYY-MM-DD" is the
// last day the file counts (compared with today). The sequence is read but not compared:
// that is AcceptSequence's, which knows the product.
//
// The trusted comment is words separated by blanks or tabs; the ones read are
// "expires=YYYY-MM-DD", "sequence=N" and minisign's default "timestamp:N". The sequence is N
// of "sequence=" when given, otherwise the time stamp, so a maker who signs with the default
// comment is protected as well. Other words are ignored; a malformed "expires=" or number
// refuses the file.
SignatureCheck VerifySignature(const QByteArray& data, const std::optional<QByteArray>& signature,
                               const QString& keys, const QDate& today);

// The same for the file open at fd, read from its start: a prehashed signature streams the
// file; a legacy one ("minisign -S -l") signs the bytes themselves, which are then held in
// memory, so a file above 64 MiB signed that way is refused as Malformed.
SignatureCheck VerifyFileSignature(int fd, const std::optional<QByteArray>& signature,
                                   const QString& keys, const QDate& today);

// The ".minisig" downloaded to path (empty: its download failed, so it is missing), read no
// further than a signature file may be long (the reader refuses a longer one) and deleted.
std::optional<QByteArray> ReadSignatureFile(const QString& path);

// Why a file that is not Accepted was refused, in the run's language; empty when accepted.
QString SignatureFailureText(const SignatureCheck& check);

#pragma once

#include "signing/Minisign.h"

#include <QByteArray>
#include <QDate>
#include <QString>

#include <cstdint>
#include <optional>

// The kinds of published file a signature vouches for. Each kind keeps its own sequences
// (see SignatureSequence.h), so what one kind accepts never moves another's.
enum class SignedKind {
    // A product's update information; its identity is the product's "BaseXml".
    Product,
    // The program's own update information; identity kProgramIdentity.
    ProgramInformation,
    // The product list; identity kProductListIdentity.
    ProductList,
    // A gallery pack's published categories; identity the pack's GUID.
    Gallery,
    // A notice; identity its "BaseXML".
    Notice,
    // The program's installer, when signed apart from its update information; identity
    // kProgramIdentity.
    Installer,
};

// What the trusted comment's "for=" names for the program's own files and for the list.
inline const QString kProgramIdentity = QStringLiteral("OrvexProductUpdate");
inline const QString kProductListIdentity = QStringLiteral("productlist");

// One thing a signature must vouch for: its kind and its identity, compared exactly (case
// matters: "Editor" and "editor" are two things).
struct SignedItem {
    SignedKind kind = SignedKind::Product;
    QString identity;
    bool operator==(const SignedItem&) const = default;
};

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
    // Correctly signed for another identity ("for=" naming another item), or for none.
    OtherIdentity,
    // Correctly signed without a sequence: it cannot be told from an older file.
    NoSequence,
    // Correctly signed with the sequence last seen, over other bytes than the ones seen then.
    Replayed,
};

struct SignatureCheck {
    SignatureStatus status = SignatureStatus::NoKey;
    // What the signature had to vouch for.
    SignedItem item;
    // The signature's key id (as minisign prints it) once the signature file was read; the
    // ids of every signature, separated by ", ", when none was made with a named key.
    QString keyId;
    // From the signed trusted comment, once verified.
    std::optional<QDate> expires;
    std::optional<uint64_t> sequence;
    // The "for=" of the signed trusted comment; nothing when it names none.
    std::optional<QString> signedFor;
    // Verified, and the last valid day is less than kExpiryWarningDays away.
    bool expiresSoon = false;
    // BLAKE2b-512 of the signed bytes, once verified: a file signed again under an equal
    // sequence counts only for the same bytes.
    QByteArray digest;
    // Why a Malformed file was refused, in the run's language.
    QString detail;

    // The file may be used: verified, or no key named for it.
    bool Accepted() const {
        return status == SignatureStatus::Verified || status == SignatureStatus::NoKey;
    }
    bool operator==(const SignatureCheck&) const = default;
};

// A verified file whose last valid day is closer than this is accepted with a warning.
inline constexpr int kExpiryWarningDays = 14;

// The day that "expires=" is compared with: today in UTC, wherever the machine is.
QDate TodayUtc();

// Checks data against the ".minisig" file's bytes (nothing: none was had) with keys (NoKey,
// whatever the signature, when they name none; Malformed with their refusal when they could
// not be read). The file may hold several signatures; it counts when one of them was made by
// one of the keys (every key of its key id is tried), matches the bytes, its global
// signature matches its trusted comment, and that comment is for item.identity, carries a
// sequence and has not expired. When none counts, the refusal is the one of the signature
// that came closest. The sequence is read but not compared: that is AcceptSequence's.
//
// The trusted comment is words separated by blanks or tabs; the ones read are "for=ID",
// "expires=YYYY-MM-DD" (the last day the file counts, in UTC, compared with today),
// "sequence=N" and minisign's default "timestamp:N". The sequence is N of "sequence=" when
// given, otherwise the time stamp. Other words are ignored; a malformed or repeated word that
// is read refuses the file.
SignatureCheck VerifySignature(const QByteArray& data, const std::optional<QByteArray>& signature,
                               const PublicKeyList& keys, const SignedItem& item,
                               const QDate& today);

// The same for the file open at fd, read from its start: a prehashed signature streams the
// file; a legacy one ("minisign -S -l") signs the bytes themselves, which are then held in
// memory, so a file above 64 MiB signed that way is refused as Malformed.
SignatureCheck VerifyFileSignature(int fd, const std::optional<QByteArray>& signature,
                                   const PublicKeyList& keys, const SignedItem& item,
                                   const QDate& today);

// The ".minisig" downloaded to path (empty: its download failed, so it is missing), read no
// further than a signature file may be long (the reader refuses a longer one) and deleted.
std::optional<QByteArray> ReadSignatureFile(const QString& path);

// Why a file that is not Accepted was refused, in the run's language; empty when accepted.
QString SignatureFailureText(const SignatureCheck& check);

// What an accepted signed file's check found, for a person confirming that signatures are
// checked: key id, sequence and expiry, with a warning when it expires soon. Empty for NoKey.
QString SignatureSummaryText(const SignatureCheck& check);

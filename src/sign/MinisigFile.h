#pragma once

#include "sign/SecretKey.h"

#include <QByteArray>
#include <QDate>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// The ".minisig" files orvex-sign writes and the ones it finds beside a file before it signs
// it again. A file holds one four-line signature per key, one after another; minisign itself
// reads the first.

// What the trusted comment of a signature says: the identity it is for, the sequence number
// and the last day it counts (UTC). Written as "for=ID sequence=N expires=YYYY-MM-DD".
struct TrustedComment {
    QString forId;
    uint64_t sequence = 0;
    QDate expires;

    QByteArray Text() const;
};

// An identity can be written into a comment only when it is one word of plain characters:
// the program splits the comment at blanks and would never find it again otherwise.
// It is also at most kMaxIdentityLength characters, so that a file with one signature for
// each of the most keys a version file names stays within what the program reads.
inline constexpr qsizetype kMaxIdentityLength = 100;
bool IsUsableIdentity(const QString& id);

// What an existing ".minisig" says about the signing before this one.
struct PreviousSignature {
    // "sequence=N", or minisign's own "timestamp:N" when it has none; the highest of its
    // signatures. Nothing when no signature of it names one.
    std::optional<uint64_t> sequence;
    // The "for=" of its first signature; empty when it names none.
    QString forId;
};

// Reads the bytes of an existing ".minisig": nothing (and *why) when any of its signatures
// cannot be read as minisign's format, since signing again over a file nobody can read would
// lose the sequence it held.
std::optional<PreviousSignature> ReadPreviousSignature(const QByteArray& file, QString* why);

// The BLAKE2b-512 digest of the file at path, read in pieces (a prehashed signature is over
// it); nothing (and *why) when it cannot be read.
std::optional<QByteArray> FileDigest(const QString& path, QString* why);

// One signature in minisign's prehashed form: the untrusted comment naming the key, the
// signature of the digest, the trusted comment and the global signature over both.
QByteArray SignatureLines(const MinisignSecretKey& key, const QByteArray& digest,
                          const QByteArray& trustedComment);

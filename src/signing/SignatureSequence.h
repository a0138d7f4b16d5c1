#pragma once

#include "signing/SignatureCheck.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

// The newest sequence number (see VerifySignature) of a correctly signed file seen for one
// item, with the digest of its bytes. It is what keeps a replayed older document from hiding
// the updates published since. Kept per user under
// "Software/ORVEX Technologies/Product Update/Signatures/<kind>" (Product, Program,
// ProductList, Gallery, Notice, Installer), one value per identity, whose text is the
// sequence and the digest. Value names are compared without regard to case by the settings
// store, so each upper-case letter of the identity is written escaped ("%45ditor" for
// "Editor"): two identities that differ in case never share a value.
//
// The values written directly under "Signatures" by earlier versions were shared by every
// kind and compared without case; only the program's own three ("OrvexProductUpdate",
// "OrvexProductUpdate product list", "OrvexProductUpdate installer") are still read, as the
// start of their kinds. Those of products, packs and notices start afresh.

struct SeenSequence {
    uint64_t sequence = 0;
    // BLAKE2b-512 of the file seen; empty when an earlier version remembered the number alone.
    QByteArray digest;
    bool operator==(const SeenSequence&) const = default;
};

// What is remembered for item; nothing when nothing was.
std::optional<SeenSequence> LastSeenSequence(const SignedItem& item);

// Remembers seen for item unless it goes back: false, remembering nothing, when a newer
// sequence is remembered, or the same one for other bytes. The same file again is accepted.
bool RememberSequence(const SignedItem& item, const SeenSequence& seen);

// For a Verified check: remembers its sequence and digest (RememberSequence), or turns the
// check into Older (a newer one was seen) or Replayed (other bytes under the sequence last
// seen). Any other check comes back unchanged.
SignatureCheck AcceptSequence(SignatureCheck check);

#pragma once

#include "signing/SignatureCheck.h"

#include <QString>

#include <cstdint>
#include <optional>

// The newest sequence number (see VerifySignature) of a correctly signed file seen for a
// product, kept per user under "Software/ORVEX Technologies/Product Update/Signatures", one
// value named after the product's id. It is what keeps a replayed older document from
// hiding the updates published since.

// The number remembered for product; nothing when none was.
std::optional<uint64_t> LastSeenSequence(const QString& product);

// Remembers sequence for product unless a newer one is remembered. False, remembering
// nothing, when the remembered one is newer; an equal one (the same file again) is accepted.
bool RememberSequence(const QString& product, uint64_t sequence);

// For a Verified check with a sequence: remembers it (RememberSequence) or turns the check
// into Older when the product has seen a newer one. Any other check comes back unchanged.
SignatureCheck AcceptSequence(const QString& product, SignatureCheck check);

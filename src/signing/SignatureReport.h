#pragma once

#include "signing/SignatureCheck.h"

#include <QString>

// Tells what the check of a signed file found to the people who were not looking at the
// window: every refusal, and every accepted file that expires soon, goes to the system log
// (see platform/SystemLog.h) with the file's address; with verbose on, every checked
// signature is also printed to standard error (key id, sequence and expiry, or the refusal),
// so a maker can confirm that signatures are checked. Addresses are written without any
// login they name. Safe from any thread.

// Whether checked signatures are printed; off until the run's "-verbose" turns it on.
void SetSignatureVerbose(bool verbose);

// What the check of the file at address found; nothing for a file that names no key.
void ReportSignature(const QString& address, const SignatureCheck& check);

// A file at address refused for reason (in the run's language), signature or not.
void ReportRefusal(const QString& address, const QString& reason);

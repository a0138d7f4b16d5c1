#pragma once

#include "signing/Minisign.h"

#include <QString>

// The keys that guard the program's own documents (its update information, its installer and
// the product list). Three places name them, and a document signed with a key of any of them
// counts:
// - the maker's keys built into the package (scripts/package --public-key), which a package
//   update replaces with the maker's current ones;
// - "UpdatePublicKey" of the program's version file, which the package owns and a reinstall
//   writes anew;
// - the machine setting "UpdatePublicKey" (REG_SZ under HKEY_LOCAL_MACHINE\Software\ORVEX
//   Technologies\Product Update), an administrator's, which no install, upgrade or reinstall
//   touches. With the machine's DWORD "UpdatePublicKeyOnly" = 1 its keys replace the others.
// Text in either of the first or the last place that is no key list refuses every document
// (never unsigned), with a reason that names the place.
PublicKeyList ProgramPublicKeys(const PublicKeyList& versionFileKeys);

// The same from given parts: builtIn and administrator are key texts (empty: none).
PublicKeyList MergeProgramKeys(const QString& builtIn, const PublicKeyList& versionFileKeys,
                               const QString& administrator, bool administratorOnly);

// The key text built in when the program was made; empty when none was given.
QString BuiltInPublicKeyText();

// Replaces the built-in key text while it lives: the tests' way to a package with a key.
class ScopedBuiltInPublicKeys {
public:
    explicit ScopedBuiltInPublicKeys(const QString& text);
    ~ScopedBuiltInPublicKeys();
    ScopedBuiltInPublicKeys(const ScopedBuiltInPublicKeys&) = delete;
    ScopedBuiltInPublicKeys& operator=(const ScopedBuiltInPublicKeys&) = delete;

private:
    QString m_previous;
};

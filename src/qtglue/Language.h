#pragma once

#include "platform/AtlString.h"

// The run's language, settled once at start-up before any window exists and not changed
// afterwards. Codes are locale-style names: en_CA, pt_BR, de.

// Sets the code that GetLanguageCode answers from now on; an empty code lets it fall back to
// the installed language again.
void SetLocaleOverride(const CAtlString& code);
// The override when set, else GetInstalledLanguageCode.
CAtlString GetLanguageCode();
// The language the user chose for the maker's Tavlo product, else for its Folivo product
// (the "LanguageID" values under the current user's "Language Setup" key), as the
// catalogue's code for that identifier; else GetSystemLanguageCode. An identifier the
// catalogue does not list gives an empty code.
CAtlString GetInstalledLanguageCode();
// The system locale's language (see SystemLanguageCodeFor).
CAtlString GetSystemLanguageCode();
// The code for a Qt locale name: "C" is en_CA, no_NO is nb_NO; English, Portuguese, Chinese
// and Hindi keep their country (pt_BR), every other language is the language alone (de).
CAtlString SystemLanguageCodeFor(const CAtlString& localeName);

// Installs the translator for the run's language, whose texts come from
// Languages/<code>/baseName.strings in the program's languages folder, and sets the layout
// direction the catalogue gives that language. Call once the application object exists. An
// empty base name installs no translator. False when nothing was installed.
bool SetupLanguage(const CAtlString& baseName);

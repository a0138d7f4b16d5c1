#pragma once

#include "platform/AtlString.h"
#include "platform/FilePath.h"

#include <QByteArray>

#include <cstdint>

// The language catalogue "languages.xml" that the maker's products share: under a root
// element of any name, one element per language whose attributes "Code" (en_CA, de),
// "ID" (the Windows language identifier in four hexadecimal digits) and "RightToLeft" ("1"
// for a right-to-left language) are read.
//
// Two readers exist, as the maker's products have them: the Qt reader, which finds the file
// through the settings reached the way QSettings reaches them, and the native reader, which
// finds it through the registry reads of the settings functions. They look in different
// places and fall back differently when no element matches: the Qt reader answers empty
// text, the native reader the key it was given. Both answer the key when no catalogue can be
// read at all. After the registry's places both readers take the program's own catalogue
// (languages.xml in its languages folder), and last "languages.xml" in the current folder.

enum class CatalogueReader { Qt, Native };

// Where the catalogue is, by the reader's sources in order; empty when none names an
// existing file.
FilePath FindLanguageCatalogue(CatalogueReader reader);

// The folder of the program's own languages: "Languages" beside the executable, else in the
// shared data folder (LocateDataFile), else share/orvex/Languages beside the executable's
// folder, where an installation under any prefix puts it. The first place when none exists.
FilePath ProgramLanguagesFolder();

enum class CatalogueMatch { Unreadable, NoMatch, Found };

// Looks through a catalogue's text: the first element whose keyAttribute equals key without
// regard to case gives its wantedAttribute (empty when absent) in value.
CatalogueMatch MatchLanguageAttribute(const QByteArray& document, const CAtlString& key,
                                      const char* keyAttribute, const char* wantedAttribute,
                                      CAtlString& value);

// One lookup of the given reader in the catalogue at path (or, when that cannot be read, in
// "languages.xml" of the current folder), with that reader's fall-backs.
CAtlString LookupLanguageAttributeIn(CatalogueReader reader, const FilePath& path,
                                     const CAtlString& key, const char* keyAttribute,
                                     const char* wantedAttribute);

CAtlString LookupLanguageAttribute(const CAtlString& key, const char* keyAttribute,
                                   const char* wantedAttribute);
CAtlString LookupLanguageAttributeNative(const CAtlString& key, const char* keyAttribute,
                                         const char* wantedAttribute);

// Whether code can be a language code and so name a translation folder: 1 to
// kMaxLanguageCodeLength ASCII letters, digits, "-" and "_" (en_CA, pt-BR, 0409). Anything
// else (a path, a dot, a space) names no folder.
constexpr qsizetype kMaxLanguageCodeLength = 32;
bool IsLanguageCode(const CAtlString& code);

// Hexadecimal digits as a 16-bit identifier: any other character, or no text, gives 0.
uint16_t ParseLanguageId(const CAtlString& text);

// The identifier of a language code (native reader); 0 for a code the catalogue does not
// list unless the code itself reads as hexadecimal ("de" gives 0x00DE).
uint16_t LanguageIdFromCode(const CAtlString& code);
// The code of an identifier: through the Qt reader (empty when not listed) and through the
// native reader (the identifier's four hexadecimal digits when not listed).
CAtlString CodeFromLanguageId(uint32_t id);
CAtlString CodeFromLanguageIdNative(uint32_t id);

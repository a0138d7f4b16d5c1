#pragma once

#include "platform/AtlString.h"
#include "platform/Registry.h"

#include <cstdint>

// Which registry root a setting lives under. Callers pass plain numbers; any other value
// selects no root at all.
enum SettingsScope : int32_t { LocalMachine = 0, CurrentUser = 1, ClassesRoot = 2 };

// Error results are Windows system error numbers: 0 written/read, 2 not found, 1010 when
// the INI file that replaces the registry could not be read or written, and any other code
// of the registry store unchanged. A scope that names no root reads and writes nothing: the
// string read gives an empty text and the integer read its default, both leaving the error
// output untouched; both writes answer 2.

// The registry root of a scope; false for a number that names none.
bool ScopeRoot(int32_t scope, HKEY& root);

// Passed as the last argument of a settings function when the key path is complete;
// anything else is taken as one more key name below the path.
extern const CAtlString kRegistryMarker;

CAtlString ReadSettingString(int32_t scope, const CAtlString& keyPath, const CAtlString& valueName,
                             const CAtlString& defaultValue, int32_t* error,
                             const CAtlString& markerOrKey);
int32_t ReadSettingInt(int32_t scope, const CAtlString& keyPath, const CAtlString& valueName,
                       int32_t defaultValue, int32_t* error, const CAtlString& markerOrKey);
int32_t WriteSettingString(int32_t scope, const CAtlString& keyPath, const CAtlString& valueName,
                           const CAtlString& value, const CAtlString& markerOrKey);
int32_t WriteSettingInt(int32_t scope, const CAtlString& keyPath, const CAtlString& valueName,
                        int32_t value, const CAtlString& markerOrKey);

// Path of the INI file that replaces the maker's top-level key, or empty. Looked up once
// per process, on the first settings call; later changes of the registry value take effect
// at the next start.
CAtlString GetIniSettingsFile();
// Forgets the looked-up path so that the next settings call looks it up again. For tests
// and tools that change the redirect within one process.
void ResetIniSettingsFile();

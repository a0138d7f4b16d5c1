#pragma once

#include "platform/AtlString.h"

#include <cstdint>

// Which registry root a setting lives under. Callers pass plain numbers; any other value
// selects no root at all.
enum SettingsScope : int32_t { LocalMachine = 0, CurrentUser = 1, ClassesRoot = 2 };

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
// per process; the first settings call must finish before another thread makes one.
CAtlString GetIniSettingsFile();

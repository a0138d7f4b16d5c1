#pragma once

#include "platform/AtlString.h"

#include <cstdint>

// Registry root handles, with the values the Windows headers give them so that code and
// hive files written on either system agree on which root is meant.
using HKEY = std::uintptr_t;
constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;

// Raw registry access. Sub-keys use "\" separators. Error outputs are optional and receive
// Windows system error numbers (0 success, 2 not found, ...).
CAtlString RegReadString(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                         const CAtlString& defaultValue, int32_t* error = nullptr);
uint32_t RegReadDword(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                      uint32_t defaultValue, int32_t* error = nullptr);
int32_t RegWriteString(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                       const CAtlString& value);
int32_t RegWriteDword(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                      uint32_t value);

// Read-only queries that never go through the INI redirect.
uint32_t RegQueryDword(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                       uint32_t defaultValue);
bool RegQueryString(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                    CAtlString& out);

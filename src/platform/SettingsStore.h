#pragma once

#include "platform/AtlString.h"
#include "platform/ErrorCodes.h"
#include "platform/Registry.h"
#include "platform/RegistryTypes.h"

#include <cstdint>
#include <memory>

// The registry and INI-file operations the settings layer is written against, with the
// arguments and results of their Windows namesakes. Keys opened here must be closed with
// RegCloseKey; every operation may be called from any thread.
class ISettingsStore {
public:
    virtual ~ISettingsStore() = default;

    // root is a predefined root or a key opened before; subKey uses "\" separators.
    virtual int32_t RegOpenKeyExW(HKEY root, const CAtlString& subKey, uint32_t options,
                                  uint32_t access, HKEY* result) = 0;
    // With data null only the size (and type) is reported. A buffer smaller than the value
    // gives ERROR_MORE_DATA with the needed size in *size; nothing is read past the value.
    virtual int32_t RegQueryValueExW(HKEY key, const CAtlString& valueName, uint32_t* type,
                                     uint8_t* data, uint32_t* size) = 0;
    // Opens the key, creating it and any missing parent first.
    virtual int32_t RegCreateKeyExW(HKEY root, const CAtlString& subKey, uint32_t options,
                                    uint32_t access, HKEY* result, uint32_t* disposition) = 0;
    virtual int32_t RegSetValueExW(HKEY key, const CAtlString& valueName, uint32_t type,
                                   const uint8_t* data, uint32_t size) = 0;
    virtual int32_t RegCloseKey(HKEY key) = 0;

    // Copies the value (or the default when the key is absent) into buffer, cut to size - 1
    // characters and nul-terminated; returns the number of characters copied.
    virtual uint32_t GetPrivateProfileStringW(const CAtlString& section, const CAtlString& key,
                                              const CAtlString& defaultValue, char16_t* buffer,
                                              uint32_t size, const CAtlString& fileName) = 0;
    virtual int32_t GetPrivateProfileIntW(const CAtlString& section, const CAtlString& key,
                                          int32_t defaultValue, const CAtlString& fileName) = 0;
    // A null key removes the section, a null value removes the key. False when not written.
    virtual bool WritePrivateProfileStringW(const CAtlString& section, const CAtlString* key,
                                            const CAtlString* value,
                                            const CAtlString& fileName) = 0;
};

// The store every registry and settings function uses: by default the hive and INI files
// of this machine. A test hands in its own; passing null goes back to the files.
std::shared_ptr<ISettingsStore> GetSettingsStore();
void SetSettingsStore(std::shared_ptr<ISettingsStore> store);

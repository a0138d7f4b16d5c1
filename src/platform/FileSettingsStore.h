#pragma once

#include "platform/DurableFile.h"
#include "platform/Hive.h"
#include "platform/HiveCache.h"
#include "platform/SettingsStore.h"

#include <functional>
#include <mutex>
#include <unordered_map>

// The store on Linux: two hive files in the registry's text format, one for the machine
// (HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT) and one for the user (HKEY_CURRENT_USER), and
// INI files by name. Every read sees what the last writer of any process left: a hive is
// parsed again whenever its file changed (see CHiveCache), and every write is a locked
// read-modify-write (see CDurableFile).
//
// A hive this process may not write behaves like HKEY_LOCAL_MACHINE for an ordinary user on
// Windows: opening it for writing fails with ERROR_ACCESS_DENIED and nothing changes.
class CFileSettingsStore : public ISettingsStore {
public:
    // Empty paths stand for the hive files of this machine or sandbox, looked up on every
    // call so that a changed ORVEX_ROOT takes effect at once.
    explicit CFileSettingsStore(QString machineHive = {}, QString userHive = {});

    int32_t RegOpenKeyExW(HKEY root, const CAtlString& subKey, uint32_t options, uint32_t access,
                          HKEY* result) override;
    int32_t RegQueryValueExW(HKEY key, const CAtlString& valueName, uint32_t* type, uint8_t* data,
                             uint32_t* size) override;
    int32_t RegCreateKeyExW(HKEY root, const CAtlString& subKey, uint32_t options, uint32_t access,
                            HKEY* result, uint32_t* disposition) override;
    int32_t RegSetValueExW(HKEY key, const CAtlString& valueName, uint32_t type,
                           const uint8_t* data, uint32_t size) override;
    int32_t RegCloseKey(HKEY key) override;

    uint32_t GetPrivateProfileStringW(const CAtlString& section, const CAtlString& key,
                                      const CAtlString& defaultValue, char16_t* buffer,
                                      uint32_t size, const CAtlString& fileName) override;
    int32_t GetPrivateProfileIntW(const CAtlString& section, const CAtlString& key,
                                  int32_t defaultValue, const CAtlString& fileName) override;
    bool WritePrivateProfileStringW(const CAtlString& section, const CAtlString* key,
                                    const CAtlString* value, const CAtlString& fileName) override;

    // Whole-hive access for the administrator's tool. root picks the hive. EditHive runs
    // edit under the hive's lock and writes the result when edit returns 0; a file whose
    // text could not be read without loss is refused with ERROR_REGISTRY_CORRUPT. A hive
    // above CDurableFile::kMaxSize gives ERROR_FILE_TOO_LARGE, a folder in its place
    // ERROR_DIRECTORY_NOT_SUPPORTED, any other file that is not a regular one
    // ERROR_BAD_FILE_TYPE. A write refused for the hive's surroundings (see
    // CDurableFile::Update) also fills *why.
    int32_t ReadHive(HKEY root, CHive& hive) const;
    int32_t EditHive(HKEY root, const std::function<int32_t(CHive&)>& edit) const {
        return EditHive(root, nullptr, edit);
    }
    int32_t EditHive(HKEY root, QString* why, const std::function<int32_t(CHive&)>& edit) const;
    // The local path of the hive file that holds root, for messages.
    QString HivePath(HKEY root) const;

    // "HKEY_LOCAL_MACHINE" and so on, or empty for a handle that is no predefined root.
    static CAtlString RootName(HKEY root);
    // Win32 error code for an errno value of the file layer.
    static int32_t ErrorFromErrno(int error);

private:
    struct OpenKey {
        HKEY root = 0;
        CAtlString path;
        uint32_t access = 0;
    };
    // Full key name ("HKEY_CURRENT_USER\Software\X") of subKey below root, which may be a
    // predefined root or an open key; false for an unknown handle.
    bool Resolve(HKEY root, const CAtlString& subKey, HKEY& predefined, CAtlString& path) const;
    // A copy of what an open key handle stands for; false for an unknown handle.
    bool FindOpenKey(HKEY key, OpenKey& open) const;
    CDurableFile HiveFile(HKEY root) const;
    // Calls use with the current hive of root; the error of reading it otherwise.
    int32_t UseHive(HKEY root, const std::function<void(const CHive&)>& use) const;
    // The Win32 error for a failed read or update of file.
    static int32_t HiveError(const CDurableFile& file, int error);
    HKEY AddHandle(HKEY root, const CAtlString& path, uint32_t access);

    QString m_machineHive;
    QString m_userHive;
    mutable CHiveCache m_cache;
    mutable std::mutex m_mutex;
    std::unordered_map<HKEY, OpenKey> m_open;
    HKEY m_nextHandle = 0x1000;
};

#include "platform/FileSettingsStore.h"

#include "platform/FilePath.h"
#include "platform/IniFile.h"
#include "platform/Locations.h"

#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {
constexpr uint32_t kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

QString FullName(HKEY root, const CAtlString& path) {
    const QString rootName = CFileSettingsStore::RootName(root);
    return path.isEmpty() ? rootName : rootName + u'\\' + path;
}

// Names that could not be written back to a line of the hive file as they are; a nul would
// make the file unwritable for every later change.
bool HasLineBreak(const QString& text) {
    return text.contains(u'\n') || text.contains(u'\r') || text.contains(QChar(0));
}

bool ValidSubKey(const CAtlString& subKey) {
    if (subKey.isEmpty())
        return true;
    if (HasLineBreak(subKey))
        return false;
    const QStringList parts = subKey.split(u'\\');
    for (const QString& part : parts) {
        if (part.isEmpty())
            return false;
    }
    return true;
}

QString IniLocalPath(const CAtlString& fileName) {
    FilePath path(fileName);
    // Windows looks for an INI file named without a folder in the Windows folder.
    if (path.IsRelative())
        path = FilePath(QStringLiteral("C:\\Windows")).Join(fileName);
    return path.LocalPath();
}

std::optional<CAtlString> ReadIni(const CAtlString& section, const CAtlString& key,
                                  const CAtlString& fileName) {
    if (fileName.isEmpty())
        return std::nullopt;
    QByteArray bytes;
    if (CDurableFile(IniLocalPath(fileName)).Read(bytes) != 0)
        return std::nullopt;
    CIniFile ini;
    ini.Parse(bytes);
    return ini.Get(section, key);
}
} // namespace

CFileSettingsStore::CFileSettingsStore(QString machineHive, QString userHive)
    : m_machineHive(std::move(machineHive)), m_userHive(std::move(userHive)) {}

CAtlString CFileSettingsStore::RootName(HKEY root) {
    switch (root) {
    case HKEY_LOCAL_MACHINE:
        return QStringLiteral("HKEY_LOCAL_MACHINE");
    case HKEY_CURRENT_USER:
        return QStringLiteral("HKEY_CURRENT_USER");
    case HKEY_CLASSES_ROOT:
        return QStringLiteral("HKEY_CLASSES_ROOT");
    default:
        return {};
    }
}

int32_t CFileSettingsStore::ErrorFromErrno(int error) {
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_OUTOFMEMORY;
    case EWOULDBLOCK:
        return ERROR_LOCK_VIOLATION;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case EISDIR:
        return ERROR_DIRECTORY_NOT_SUPPORTED;
    case EINVAL:
        return ERROR_REGISTRY_CORRUPT;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

bool CFileSettingsStore::FindOpenKey(HKEY key, OpenKey& open) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_open.find(key);
    if (it == m_open.end())
        return false;
    open = it->second;
    return true;
}

CDurableFile CFileSettingsStore::HiveFile(HKEY root) const {
    if (root == HKEY_CURRENT_USER) {
        // The user's settings are nobody else's business.
        return CDurableFile(m_userHive.isEmpty() ? UserHivePath() : m_userHive, 0600, 0700);
    }
    return CDurableFile(m_machineHive.isEmpty() ? MachineHivePath() : m_machineHive, 0644, 0755);
}

bool CFileSettingsStore::Resolve(HKEY root, const CAtlString& subKey, HKEY& predefined,
                                 CAtlString& path) const {
    if (!RootName(root).isEmpty()) {
        predefined = root;
        path = subKey;
        return true;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_open.find(root);
    if (it == m_open.end())
        return false;
    predefined = it->second.root;
    path = it->second.path;
    if (!subKey.isEmpty())
        path = path.isEmpty() ? subKey : path + u'\\' + subKey;
    return true;
}

HKEY CFileSettingsStore::AddHandle(HKEY root, const CAtlString& path, uint32_t access) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const HKEY handle = m_nextHandle++;
    m_open[handle] = OpenKey{root, path, access};
    return handle;
}

int32_t CFileSettingsStore::UseHive(HKEY root, const std::function<void(const CHive&)>& use) const {
    const CDurableFile file = HiveFile(root);
    return HiveError(file, m_cache.Use(file, use));
}

QString CFileSettingsStore::HivePath(HKEY root) const {
    return HiveFile(root).Path();
}

int32_t CFileSettingsStore::HiveError(const CDurableFile& file, int error) {
    // What the read fails with does not tell that a folder, a pipe or a device is in the way
    // (a folder even opens like a file); the file's type does.
    const QFileInfo info(file.Path());
    if (error != 0 && info.isDir())
        return ERROR_DIRECTORY_NOT_SUPPORTED;
    if (error != 0 && info.exists() && !info.isFile())
        return ERROR_BAD_FILE_TYPE;
    return ErrorFromErrno(error);
}

int32_t CFileSettingsStore::ReadHive(HKEY root, CHive& hive) const {
    return UseHive(root, [&hive](const CHive& current) { hive = current; });
}

int32_t CFileSettingsStore::EditHive(HKEY root, QString* why,
                                     const std::function<int32_t(CHive&)>& edit) const {
    int32_t result = ERROR_SUCCESS;
    const CDurableFile file = HiveFile(root);
    const int error = file.Update(why, [&](QByteArray& content, bool) {
        CHive hive;
        hive.Parse(content);
        if (!hive.IsLossless()) {
            result = ERROR_REGISTRY_CORRUPT;
            return false;
        }
        result = edit(hive);
        if (result != ERROR_SUCCESS)
            return false;
        content = hive.Serialize();
        return true;
    });
    return error != 0 ? HiveError(file, error) : result;
}

int32_t CFileSettingsStore::RegOpenKeyExW(HKEY root, const CAtlString& subKey, uint32_t,
                                          uint32_t access, HKEY* result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    HKEY predefined = 0;
    CAtlString path;
    if (!Resolve(root, subKey, predefined, path))
        return ERROR_INVALID_HANDLE;
    if (!ValidSubKey(path))
        return ERROR_FILE_NOT_FOUND;
    if ((access & kWriteAccess) != 0) {
        if (const int error = HiveFile(predefined).CheckWritable())
            return ErrorFromErrno(error);
    }
    bool exists = false;
    if (const int32_t error = UseHive(predefined, [&](const CHive& hive) {
            exists = hive.KeyExists(FullName(predefined, path));
        }))
        return error;
    if (!exists)
        return ERROR_FILE_NOT_FOUND;
    *result = AddHandle(predefined, path, access);
    return ERROR_SUCCESS;
}

int32_t CFileSettingsStore::RegQueryValueExW(HKEY key, const CAtlString& valueName, uint32_t* type,
                                             uint8_t* data, uint32_t* size) {
    if (data != nullptr && size == nullptr)
        return ERROR_INVALID_PARAMETER;
    OpenKey open;
    if (!FindOpenKey(key, open))
        return ERROR_INVALID_HANDLE;
    if ((open.access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    int32_t result = ERROR_SUCCESS;
    const int32_t error = UseHive(open.root, [&](const CHive& hive) {
        const QString name = FullName(open.root, open.path);
        if (!hive.KeyExists(name)) {
            result = ERROR_KEY_DELETED;
            return;
        }
        const CHive::Value* value = hive.FindValue(name, valueName);
        if (value == nullptr) {
            result = ERROR_FILE_NOT_FOUND;
            return;
        }
        if (type != nullptr)
            *type = value->type;
        const auto needed = static_cast<uint32_t>(value->data.size());
        if (data == nullptr) {
            if (size != nullptr)
                *size = needed;
            return;
        }
        if (*size < needed) {
            *size = needed;
            result = ERROR_MORE_DATA;
            return;
        }
        std::memcpy(data, value->data.constData(), needed);
        *size = needed;
    });
    return error != ERROR_SUCCESS ? error : result;
}

int32_t CFileSettingsStore::RegCreateKeyExW(HKEY root, const CAtlString& subKey, uint32_t,
                                            uint32_t access, HKEY* result, uint32_t* disposition) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    HKEY predefined = 0;
    CAtlString path;
    if (!Resolve(root, subKey, predefined, path))
        return ERROR_INVALID_HANDLE;
    if (!ValidSubKey(path))
        return ERROR_INVALID_PARAMETER;
    const QString name = FullName(predefined, path);
    bool created = false;
    if ((access & kWriteAccess) == 0) {
        // Opening an existing key only for reading needs no write to its hive, so it works
        // also where the hive is read-only.
        bool exists = false;
        UseHive(predefined, [&](const CHive& hive) { exists = hive.KeyExists(name); });
        if (exists) {
            if (disposition != nullptr)
                *disposition = REG_OPENED_EXISTING_KEY;
            *result = AddHandle(predefined, path, access);
            return ERROR_SUCCESS;
        }
    }
    const int32_t error = EditHive(predefined, [&](CHive& hive) {
        created = !hive.KeyExists(name);
        if (created)
            hive.CreateKey(name);
        return ERROR_SUCCESS;
    });
    if (error != ERROR_SUCCESS)
        return error;
    if (disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = AddHandle(predefined, path, access);
    return ERROR_SUCCESS;
}

int32_t CFileSettingsStore::RegSetValueExW(HKEY key, const CAtlString& valueName, uint32_t type,
                                           const uint8_t* data, uint32_t size) {
    if (data == nullptr && size > 0)
        return ERROR_INVALID_PARAMETER;
    if (HasLineBreak(valueName))
        return ERROR_INVALID_PARAMETER;
    OpenKey open;
    if (!FindOpenKey(key, open))
        return ERROR_INVALID_HANDLE;
    if ((open.access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    const QString name = FullName(open.root, open.path);
    CHive::Value value;
    value.name = valueName;
    value.type = type;
    value.data = QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    return EditHive(open.root, [&](CHive& hive) {
        if (!hive.KeyExists(name))
            return ERROR_KEY_DELETED;
        hive.SetValue(name, value);
        return ERROR_SUCCESS;
    });
}

int32_t CFileSettingsStore::RegCloseKey(HKEY key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open.erase(key) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

uint32_t CFileSettingsStore::GetPrivateProfileStringW(const CAtlString& section,
                                                      const CAtlString& key,
                                                      const CAtlString& defaultValue,
                                                      char16_t* buffer, uint32_t size,
                                                      const CAtlString& fileName) {
    if (buffer == nullptr || size == 0)
        return 0;
    const CAtlString text = ReadIni(section, key, fileName).value_or(defaultValue);
    const auto count = std::min<uint32_t>(static_cast<uint32_t>(text.size()), size - 1);
    std::memcpy(buffer, text.utf16(), count * sizeof(char16_t));
    buffer[count] = u'\0';
    return count;
}

int32_t CFileSettingsStore::GetPrivateProfileIntW(const CAtlString& section, const CAtlString& key,
                                                  int32_t defaultValue,
                                                  const CAtlString& fileName) {
    const std::optional<CAtlString> text = ReadIni(section, key, fileName);
    if (!text)
        return defaultValue;
    // Leading decimal digits with an optional sign, as Windows reads them; text without any
    // counts as 0. Out-of-range numbers stop at the 32-bit limits instead of wrapping.
    const QString value = text->trimmed();
    qsizetype pos = 0;
    bool negative = false;
    if (pos < value.size() && (value[pos] == u'-' || value[pos] == u'+'))
        negative = value[pos++] == u'-';
    int64_t number = 0;
    for (; pos < value.size() && value[pos].isDigit() && value[pos].unicode() < 0x80; ++pos) {
        number = number * 10 + (value[pos].unicode() - u'0');
        if (number > int64_t{1} << 31)
            number = int64_t{1} << 31;
    }
    if (negative)
        number = -number;
    number = std::clamp<int64_t>(number, INT32_MIN, INT32_MAX);
    return static_cast<int32_t>(number);
}

bool CFileSettingsStore::WritePrivateProfileStringW(const CAtlString& section,
                                                    const CAtlString* key, const CAtlString* value,
                                                    const CAtlString& fileName) {
    if (fileName.isEmpty() || section.isEmpty())
        return false;
    bool accepted = true;
    const int error = CDurableFile(IniLocalPath(fileName)).Update([&](QByteArray& content, bool) {
        CIniFile ini;
        ini.Parse(content);
        if (key == nullptr)
            ini.DeleteSection(section);
        else if (value == nullptr)
            ini.DeleteKey(section, *key);
        else
            accepted = ini.Set(section, *key, *value);
        accepted = accepted && ini.Serialize(content);
        return accepted;
    });
    return error == 0 && accepted;
}

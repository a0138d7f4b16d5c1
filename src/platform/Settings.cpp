#include "platform/Settings.h"

#include "platform/Registry.h"
#include "platform/SettingsStore.h"

#include <mutex>

const CAtlString kRegistryMarker = QStringLiteral("com.orvexsys.Registry");

bool ScopeRoot(int32_t scope, HKEY& root) {
    switch (scope) {
    case LocalMachine:
        root = HKEY_LOCAL_MACHINE;
        return true;
    case CurrentUser:
        root = HKEY_CURRENT_USER;
        return true;
    case ClassesRoot:
        root = HKEY_CLASSES_ROOT;
        return true;
    default:
        return false;
    }
}

namespace {
const CAtlString kMakerKey = QStringLiteral("Software\\ORVEX Technologies");
const CAtlString kIniFileValue = QStringLiteral("Tavlo_INI_Settings_File");
constexpr uint32_t kIniBufferCharacters = 255;

struct IniState {
    std::mutex mutex;
    bool firstCall = true;
    CAtlString path;
};

IniState& Ini() {
    static IniState state;
    return state;
}

// Steps shared by every settings function: the optional last key name, the separators, and
// the root of the scope. False for a scope that names no root.
bool Prepare(int32_t scope, CAtlString keyPath, const CAtlString& markerOrKey, HKEY& root,
             CAtlString& path) {
    if (markerOrKey != kRegistryMarker)
        keyPath += u'\\' + markerOrKey;
    keyPath.replace(u'/', u'\\');
    while (keyPath.startsWith(u'\\'))
        keyPath.remove(0, 1);
    while (keyPath.endsWith(u'\\'))
        keyPath.chop(1);
    path = keyPath;
    return ScopeRoot(scope, root);
}

// The INI section that replaces the key, or empty when the registry is used. Only values
// directly under the maker's top-level key are redirected, and only for the machine and
// the user; sub-keys and the classes root always stay in the registry.
CAtlString IniSection(HKEY root, const CAtlString& path, CAtlString& iniFile) {
    iniFile = GetIniSettingsFile();
    if (iniFile.isEmpty() || path.compare(kMakerKey, Qt::CaseInsensitive) != 0)
        return {};
    if (root == HKEY_LOCAL_MACHINE)
        return QStringLiteral("HKEY_LM\\") + path;
    if (root == HKEY_CURRENT_USER)
        return QStringLiteral("HKEY_CU\\") + path;
    return {};
}
} // namespace

CAtlString GetIniSettingsFile() {
    IniState& state = Ini();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.firstCall)
        return state.path;
    state.path = RegReadString(HKEY_CURRENT_USER, kMakerKey, kIniFileValue, {});
    if (!state.path.isEmpty()) {
        const CAtlString drivers = RegReadString(
            HKEY_LOCAL_MACHINE,
            QStringLiteral("Software\\ORVEX Technologies\\Tavlo Drivers\\Install Information"),
            QStringLiteral("Drivers Directory"), {});
        // Installed Tavlo drivers keep their settings in the registry; the INI file of an
        // older installation must not shadow them, now or in later runs.
        if (!drivers.isEmpty()) {
            state.path.clear();
            RegWriteString(HKEY_CURRENT_USER, kMakerKey, kIniFileValue, {});
        }
    }
    state.firstCall = false;
    return state.path;
}

void ResetIniSettingsFile() {
    IniState& state = Ini();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.firstCall = true;
    state.path.clear();
}

CAtlString ReadSettingString(int32_t scope, const CAtlString& keyPath, const CAtlString& valueName,
                             const CAtlString& defaultValue, int32_t* error,
                             const CAtlString& markerOrKey) {
    HKEY root{};
    CAtlString path;
    // Without a root nothing is read. Callers have always been answered here with an empty
    // text, not their default, and with their error output left as they set it.
    if (!Prepare(scope, keyPath, markerOrKey, root, path))
        return {};
    CAtlString iniFile;
    const CAtlString section = IniSection(root, path, iniFile);
    if (section.isEmpty())
        return RegReadString(root, path, valueName, defaultValue, error);

    if (error != nullptr)
        *error = ERROR_SUCCESS;
    char16_t buffer[kIniBufferCharacters] = {};
    const uint32_t count = GetSettingsStore()->GetPrivateProfileStringW(
        section, valueName, defaultValue, buffer, kIniBufferCharacters, iniFile);
    if (count == 0 && error != nullptr)
        *error = ERROR_BADKEY;
    return QString::fromUtf16(buffer, count);
}

int32_t ReadSettingInt(int32_t scope, const CAtlString& keyPath, const CAtlString& valueName,
                       int32_t defaultValue, int32_t* error, const CAtlString& markerOrKey) {
    HKEY root{};
    CAtlString path;
    if (!Prepare(scope, keyPath, markerOrKey, root, path))
        return defaultValue;
    CAtlString iniFile;
    const CAtlString section = IniSection(root, path, iniFile);
    if (section.isEmpty()) {
        return static_cast<int32_t>(
            RegReadDword(root, path, valueName, static_cast<uint32_t>(defaultValue), error));
    }
    if (error != nullptr)
        *error = ERROR_SUCCESS;
    return GetSettingsStore()->GetPrivateProfileIntW(section, valueName, defaultValue, iniFile);
}

int32_t WriteSettingString(int32_t scope, const CAtlString& keyPath, const CAtlString& valueName,
                           const CAtlString& value, const CAtlString& markerOrKey) {
    HKEY root{};
    CAtlString path;
    // Nothing was written, so the caller must not be told it was.
    if (!Prepare(scope, keyPath, markerOrKey, root, path))
        return ERROR_FILE_NOT_FOUND;
    CAtlString iniFile;
    const CAtlString section = IniSection(root, path, iniFile);
    if (section.isEmpty())
        return RegWriteString(root, path, valueName, value);
    return GetSettingsStore()->WritePrivateProfileStringW(section, &valueName, &value, iniFile)
               ? ERROR_SUCCESS
               : ERROR_BADKEY;
}

int32_t WriteSettingInt(int32_t scope, const CAtlString& keyPath, const CAtlString& valueName,
                        int32_t value, const CAtlString& markerOrKey) {
    HKEY root{};
    CAtlString path;
    if (!Prepare(scope, keyPath, markerOrKey, root, path))
        return ERROR_FILE_NOT_FOUND;
    CAtlString iniFile;
    const CAtlString section = IniSection(root, path, iniFile);
    if (section.isEmpty())
        return RegWriteDword(root, path, valueName, static_cast<uint32_t>(value));
    const CAtlString text = QString::asprintf("%d", value);
    return GetSettingsStore()->WritePrivateProfileStringW(section, &valueName, &text, iniFile)
               ? ERROR_SUCCESS
               : ERROR_BADKEY;
}

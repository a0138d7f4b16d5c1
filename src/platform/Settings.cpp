#include "platform/Settings.h"

#include "platform/Registry.h"

const CAtlString kRegistryMarker = QStringLiteral("com.orvexsys.Registry");

// Stand-in: path normalisation and scopes only; the INI redirect comes with the hive store.
namespace {
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
} // namespace

CAtlString ReadSettingString(int32_t scope, const CAtlString& keyPath, const CAtlString& valueName,
                             const CAtlString& defaultValue, int32_t* error,
                             const CAtlString& markerOrKey) {
    HKEY root{};
    CAtlString path;
    if (!Prepare(scope, keyPath, markerOrKey, root, path))
        return {};
    return RegReadString(root, path, valueName, defaultValue, error);
}

int32_t ReadSettingInt(int32_t scope, const CAtlString& keyPath, const CAtlString& valueName,
                       int32_t defaultValue, int32_t* error, const CAtlString& markerOrKey) {
    HKEY root{};
    CAtlString path;
    if (!Prepare(scope, keyPath, markerOrKey, root, path))
        return defaultValue;
    return static_cast<int32_t>(
        RegReadDword(root, path, valueName, static_cast<uint32_t>(defaultValue), error));
}

int32_t WriteSettingString(int32_t scope, const CAtlString& keyPath, const CAtlString& valueName,
                           const CAtlString& value, const CAtlString& markerOrKey) {
    HKEY root{};
    CAtlString path;
    if (!Prepare(scope, keyPath, markerOrKey, root, path))
        return 0;
    return RegWriteString(root, path, valueName, value);
}

int32_t WriteSettingInt(int32_t scope, const CAtlString& keyPath, const CAtlString& valueName,
                        int32_t value, const CAtlString& markerOrKey) {
    HKEY root{};
    CAtlString path;
    if (!Prepare(scope, keyPath, markerOrKey, root, path))
        return 2;
    return RegWriteDword(root, path, valueName, static_cast<uint32_t>(value));
}

CAtlString GetIniSettingsFile() {
    return {};
}

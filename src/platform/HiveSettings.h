#pragma once

#include "platform/AtlString.h"
#include "platform/Settings.h"

#include <QStringList>
#include <QVariant>

// Read-only access to one registry key in the manner of QSettings with the native format on
// Windows, for code written against that class: "/" in a key name goes down to a sub-key,
// groups nest, and a value comes back typed as QSettings types it (text for the string
// types, int for REG_DWORD, qlonglong for REG_QWORD, the raw bytes otherwise), or invalid
// when it is absent. Reads go through the same store as the settings functions, so hives and
// sandboxes are shared; the INI redirect does not apply, as it did not to QSettings.
class CHiveSettings {
public:
    // keyPath below the scope's root, with "\" or "/" separators.
    CHiveSettings(SettingsScope scope, const CAtlString& keyPath);
    // The key QSettings opens for an organisation and an application in that scope:
    // "Software\organisation\application".
    CHiveSettings(SettingsScope scope, const CAtlString& organisation,
                  const CAtlString& application);

    void BeginGroup(const CAtlString& group);
    void EndGroup();
    QVariant Value(const CAtlString& key) const;

private:
    SettingsScope m_scope;
    CAtlString m_keyPath;
    QStringList m_groups;
};

#pragma once

#include "platform/FilePath.h"
#include "platform/Registry.h"
#include "support/Sandbox.h"

// A sandbox with the maker's language set-up on drive C: a catalogue in C:\Lang\Languages,
// named by the "Path" value both catalogue readers look at first, and translations below it.
class LanguageSandbox : public Sandbox {
public:
    static inline const QString kSetupKey =
        QStringLiteral("Software\\ORVEX Technologies\\Language Setup");

    void InstallCatalogue(const QByteArray& xml) const {
        Write(QStringLiteral("drive_c/Lang/Languages/languages.xml"), xml);
        RegWriteString(HKEY_LOCAL_MACHINE, kSetupKey, QStringLiteral("Path"),
                       QStringLiteral("C:\\Lang"));
    }
    FilePath LanguagesFolder() const { return FilePath(QStringLiteral("C:\\Lang\\Languages")); }
    void WriteStrings(const QString& code, const QString& baseName, const QString& text) const {
        Write(QStringLiteral("drive_c/Lang/Languages/%1/%2.strings").arg(code, baseName),
              Utf16Le(text));
    }
};

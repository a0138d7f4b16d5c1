#pragma once

#include "platform/FilePath.h"
#include "platform/Registry.h"
#include "support/Sandbox.h"

#include <QString>

// A sandbox with the maker's language set-up below drive C: a catalogue in
// C:\Lang\Languages named by the "Path" value that both catalogue readers look at first, and
// the translations in folders below it.
class LanguageSandbox : public Sandbox {
public:
    static constexpr const char* kSetupKey = "Software\\ORVEX Technologies\\Language Setup";

    void InstallCatalogue(const QByteArray& xml) const {
        Write(QStringLiteral("drive_c/Lang/Languages/languages.xml"), xml);
        RegWriteString(HKEY_LOCAL_MACHINE, QString::fromLatin1(kSetupKey), QStringLiteral("Path"),
                       QStringLiteral("C:\\Lang"));
    }
    FilePath LanguagesFolder() const { return FilePath(QStringLiteral("C:\\Lang\\Languages")); }
    void WriteStrings(const QString& code, const QString& baseName, const QByteArray& bytes) const {
        Write(QStringLiteral("drive_c/Lang/Languages/") + code + u'/' + baseName +
                  QStringLiteral(".strings"),
              bytes);
    }
    // The user's language choice for one of the maker's products, as it stores it.
    static void SetLanguageId(const char* product, uint32_t id) {
        RegWriteDword(HKEY_CURRENT_USER,
                      QString::fromLatin1(kSetupKey) + u'\\' + QString::fromLatin1(product),
                      QStringLiteral("LanguageID"), id);
    }
};

// UTF-16LE bytes of text after a byte-order mark, as the string tables are stored.
inline QByteArray StringsBytes(const QString& text) {
    QByteArray bytes("\xFF\xFE", 2);
    for (QChar c : text) {
        bytes += static_cast<char>(c.unicode() & 0xff);
        bytes += static_cast<char>(c.unicode() >> 8);
    }
    return bytes;
}

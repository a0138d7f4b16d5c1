#include "qtglue/Language.h"

#include "platform/HiveSettings.h"
#include "qtglue/LanguageCatalogue.h"
#include "qtglue/OrvexResourceManager.h"
#include "qtglue/ResourceTranslator.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLocale>

namespace {
CAtlString& Override() {
    static CAtlString code;
    return code;
}

ResourceTranslator& Translator() {
    static ResourceTranslator translator;
    return translator;
}
} // namespace

void SetLocaleOverride(const CAtlString& code) {
    Override() = code;
}

CAtlString GetLanguageCode() {
    if (!Override().isEmpty())
        return Override();
    return GetInstalledLanguageCode();
}

CAtlString GetInstalledLanguageCode() {
    // The maker's products record the user's choice as a Windows language identifier; Tavlo's
    // choice wins over Folivo's.
    for (const char* product : {"Tavlo", "Folivo"}) {
        const CHiveSettings settings(
            CurrentUser, QStringLiteral("Software\\ORVEX Technologies\\Language Setup\\") +
                             QString::fromLatin1(product));
        const QVariant id = settings.Value(QStringLiteral("LanguageID"));
        if (id.isValid())
            return CodeFromLanguageId(static_cast<uint32_t>(id.toInt()));
    }
    return GetSystemLanguageCode();
}

CAtlString GetSystemLanguageCode() {
    return SystemLanguageCodeFor(QLocale::system().name());
}

CAtlString SystemLanguageCodeFor(const CAtlString& localeName) {
    if (localeName == QLatin1String("C"))
        return QStringLiteral("en_CA");
    const CAtlString name =
        localeName == QLatin1String("no_NO") ? QStringLiteral("nb_NO") : localeName;
    const CAtlString language = name.section(u'_', 0, 0);
    static const QStringList withCountry = {QStringLiteral("en"), QStringLiteral("pt"),
                                            QStringLiteral("zh"), QStringLiteral("hi")};
    return withCountry.contains(language) ? name : language;
}

bool SetupLanguage(const CAtlString& baseName) {
    if (!QDir(QCoreApplication::applicationDirPath()).exists())
        return false;
    const CAtlString code = GetLanguageCode();
    bool installed = false;
    if (!baseName.isEmpty()) {
        SetResourceLanguage(LanguageIdFromCode(code), ProgramLanguagesFolder(), baseName);
        // Installing twice would ask the same tables twice for every text.
        QCoreApplication::removeTranslator(&Translator());
        installed = QCoreApplication::installTranslator(&Translator());
    }
    // A program without a GUI has no layout to mirror.
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
        const bool rightToLeft = LookupLanguageAttribute(code, "Code", "RightToLeft") == u"1";
        QGuiApplication::setLayoutDirection(rightToLeft ? Qt::RightToLeft : Qt::LeftToRight);
    }
    return installed;
}

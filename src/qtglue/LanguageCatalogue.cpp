#include "qtglue/LanguageCatalogue.h"

#include "platform/DataFile.h"
#include "platform/ErrorCodes.h"
#include "platform/HiveSettings.h"
#include "platform/Locations.h"
#include "platform/Settings.h"
#include "platform/XmlDocument.h"

#include <algorithm>
#include <memory>

namespace {
const CAtlString kCatalogueName = QStringLiteral("languages.xml");

// An absent or empty setting names no place: with the file name appended it would point at
// the root of the file system, outside any sandbox.
bool Accept(const CAtlString& folder, const CAtlString& tail, FilePath& found) {
    if (folder.isEmpty())
        return false;
    const FilePath path(folder + tail);
    if (!path.Exists())
        return false;
    found = path;
    return true;
}

bool FindThroughSettings(FilePath& found) {
    // The machine-wide key that QSettings opens for this organisation and application.
    CHiveSettings settings(LocalMachine, QStringLiteral("ORVEX Technologies"),
                           QStringLiteral("Language Setup"));
    if (Accept(settings.Value(QStringLiteral("Path")).toString(),
               QStringLiteral("/Languages/languages.xml"), found))
        return true;
    for (const char* product : {"Folivo", "Tavlo"}) {
        settings.BeginGroup(QString::fromLatin1(product));
        const QString folder = settings.Value(QStringLiteral("LanguagesFolder")).toString();
        settings.EndGroup();
        if (Accept(folder, QStringLiteral("/languages.xml"), found))
            return true;
    }
    return false;
}

bool FindThroughRegistry(FilePath& found) {
    static const struct {
        const char* key;
        const char* value;
    } sources[] = {
        {"Software\\ORVEX Technologies\\Language Setup", "Path"},
        {"Software\\ORVEX Technologies\\Folivo Software\\Install Information", "FolivoExePath"},
        {"Software\\ORVEX Technologies\\Tavlo Drivers\\Install Information", "Drivers Directory"},
    };
    for (const auto& source : sources) {
        int32_t error = 0;
        const CAtlString folder =
            ReadSettingString(LocalMachine, QString::fromLatin1(source.key),
                              QString::fromLatin1(source.value), {}, &error, kRegistryMarker);
        if (error == ERROR_SUCCESS &&
            Accept(folder, QStringLiteral("\\Languages\\languages.xml"), found))
            return true;
    }
    return false;
}

QByteArray ReadFile(const FilePath& path) {
    return path.IsEmpty() ? QByteArray() : ReadDocumentFile(path.Text());
}
} // namespace

FilePath ProgramLanguagesFolder() {
    const FilePath located = LocateDataFile(QStringLiteral("Languages"));
    if (located.Exists())
        return located;
    FilePath prefixed = ModuleFolder();
    if (prefixed.RemoveLastComponent()) {
        prefixed.Append(QStringLiteral("share\\orvex\\Languages"));
        if (prefixed.Exists())
            return prefixed;
    }
    return ModuleFolder().Join(QStringLiteral("Languages"));
}

FilePath FindLanguageCatalogue(CatalogueReader reader) {
    FilePath found;
    if (reader == CatalogueReader::Qt ? FindThroughSettings(found) : FindThroughRegistry(found))
        return found;
    const FilePath own = ProgramLanguagesFolder().Join(kCatalogueName);
    return own.Exists() ? own : FilePath();
}

CatalogueMatch MatchLanguageAttribute(const QByteArray& document, const CAtlString& key,
                                      const char* keyAttribute, const char* wantedAttribute,
                                      CAtlString& value) {
    // Bounded like every other document: an administrator's setting can name the folder.
    CXmlDocument xml;
    if (!xml.Parse(document))
        return CatalogueMatch::Unreadable;
    const tinyxml2::XMLElement* root = xml.Root();
    for (const tinyxml2::XMLElement* element = root ? root->FirstChildElement() : nullptr;
         element != nullptr; element = element->NextSiblingElement()) {
        // A missing attribute reads as empty text, which only an empty key matches.
        const CAtlString candidate = QString::fromUtf8(element->Attribute(keyAttribute));
        if (candidate.compare(key, Qt::CaseInsensitive) == 0) {
            value = QString::fromUtf8(element->Attribute(wantedAttribute));
            return CatalogueMatch::Found;
        }
    }
    return CatalogueMatch::NoMatch;
}

CAtlString LookupLanguageAttributeIn(CatalogueReader reader, const FilePath& path,
                                     const CAtlString& key, const char* keyAttribute,
                                     const char* wantedAttribute) {
    CAtlString value;
    CatalogueMatch match =
        MatchLanguageAttribute(ReadFile(path), key, keyAttribute, wantedAttribute, value);
    if (match == CatalogueMatch::Unreadable) {
        match = MatchLanguageAttribute(ReadFile(FilePath(kCatalogueName)), key, keyAttribute,
                                       wantedAttribute, value);
    }
    switch (match) {
    case CatalogueMatch::Found:
        return value;
    case CatalogueMatch::NoMatch:
        return reader == CatalogueReader::Qt ? CAtlString() : key;
    case CatalogueMatch::Unreadable:
        break;
    }
    return key;
}

CAtlString LookupLanguageAttribute(const CAtlString& key, const char* keyAttribute,
                                   const char* wantedAttribute) {
    return LookupLanguageAttributeIn(CatalogueReader::Qt,
                                     FindLanguageCatalogue(CatalogueReader::Qt), key, keyAttribute,
                                     wantedAttribute);
}

CAtlString LookupLanguageAttributeNative(const CAtlString& key, const char* keyAttribute,
                                         const char* wantedAttribute) {
    return LookupLanguageAttributeIn(CatalogueReader::Native,
                                     FindLanguageCatalogue(CatalogueReader::Native), key,
                                     keyAttribute, wantedAttribute);
}

bool IsLanguageCode(const CAtlString& code) {
    if (code.isEmpty() || code.size() > kMaxLanguageCodeLength)
        return false;
    return std::all_of(code.begin(), code.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
               u == u'-' || u == u'_';
    });
}

uint16_t ParseLanguageId(const CAtlString& text) {
    // Accumulated in 32 bits, which wrap harmlessly: only the low 16 bits are kept.
    uint32_t value = 0;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        uint32_t digit = 0;
        if (u >= u'0' && u <= u'9')
            digit = u - u'0';
        else if (u >= u'A' && u <= u'F')
            digit = u - u'A' + 10;
        else if (u >= u'a' && u <= u'f')
            digit = u - u'a' + 10;
        else
            return 0;
        value = value * 16 + digit;
    }
    return static_cast<uint16_t>(value);
}

uint16_t LanguageIdFromCode(const CAtlString& code) {
    return ParseLanguageId(LookupLanguageAttributeNative(code, "Code", "ID"));
}

CAtlString CodeFromLanguageId(uint32_t id) {
    return LookupLanguageAttribute(QString::asprintf("%.4X", id), "ID", "Code");
}

CAtlString CodeFromLanguageIdNative(uint32_t id) {
    return LookupLanguageAttributeNative(QString::asprintf("%.4X", id), "ID", "Code");
}

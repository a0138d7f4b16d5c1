#include "qtglue/Language.h"
#include "qtglue/LanguageCatalogue.h"
#include "qtglue/StringsFile.h"

#include "LanguageSandbox.h"
#include "support/QtPrinters.h"

#include <QApplication>
#include <QLocale>
#include <QSet>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

using namespace Qt::StringLiterals;

namespace {
const QByteArray kCatalogue = R"(<?xml version="1.0" encoding="UTF-8"?>
<Catalogue>
    <Entry Code="EN_ca" ID="1009"/>
    <Entry Code="de" ID="0407" RightToLeft="true"/>
    <Entry Code="de" ID="0C07"/>
    <Entry Code="x-one" ID="0401" RightToLeft="1"/>
    <Entry Code="x-yes" ID="0402" RightToLeft="yes"/>
    <Entry Code="x-spaced" ID="0403" RightToLeft=" 1"/>
    <Entry Code="fr" ID="040c"/>
</Catalogue>)";

// Leaves the process with the default language and a left-to-right layout, whatever a test
// set up.
class LanguageTest : public ::testing::Test {
protected:
    void TearDown() override {
        SetLocaleOverride(u"en_CA"_s);
        SetupLanguage(u"ORVEXProductUpdate"_s);
        SetLocaleOverride(QString());
    }
    LanguageSandbox sandbox;
};

TEST(SystemLanguageCode, KeepsTheCountryOnlyWhereItMatters) {
    const std::pair<const char*, const char*> cases[] = {
        {"C", "en_CA"},  {"no_NO", "nb"},    {"nb_NO", "nb"},    {"pt_BR", "pt_BR"},
        {"de_DE", "de"}, {"en_GB", "en_GB"}, {"zh_TW", "zh_TW"}, {"hi_IN", "hi_IN"},
        {"fr", "fr"},    {"he_IL", "he"},
    };
    for (const auto& [locale, code] : cases)
        EXPECT_EQ(SystemLanguageCodeFor(QString::fromLatin1(locale)), QString::fromLatin1(code))
            << locale;
}

TEST_F(LanguageTest, CommandLineOverRegistryOverSystemLocale) {
    sandbox.InstallCatalogue(kCatalogue);
    const QString system = SystemLanguageCodeFor(QLocale::system().name());
    ASSERT_EQ(GetLanguageCode(), system) << "nothing recorded yet";

    LanguageSandbox::SetLanguageId("Folivo", 0x040C);
    EXPECT_EQ(GetLanguageCode(), u"fr"_s) << "Folivo's choice";
    LanguageSandbox::SetLanguageId("Tavlo", 0x1009);
    EXPECT_EQ(GetLanguageCode(), u"EN_ca"_s) << "Tavlo's choice wins, as the catalogue spells it";
    SetLocaleOverride(u"he"_s);
    EXPECT_EQ(GetLanguageCode(), u"he"_s) << "the command line wins";
    SetLocaleOverride(QString());

    LanguageSandbox::SetLanguageId("Tavlo", 0x0409);
    EXPECT_EQ(GetLanguageCode(), QString()) << "an identifier the catalogue does not list";
    sandbox.Write(u"drive_c/Lang/Languages/languages.xml"_s, "<unreadable");
    EXPECT_EQ(GetLanguageCode(), u"0409"_s) << "without a catalogue the digits stand for the code";
}

// The catalogue's places in the registry, first to last, for each reader; a place whose
// file is missing passes to the next, and the program's own catalogue comes last.
TEST_F(LanguageTest, EachReaderFindsTheCatalogueInItsOwnOrder) {
    const QString machine = u"Software\\ORVEX Technologies\\"_s;
    struct Source {
        const char* key;
        const char* value;
        const char* file; // below drive_c, given the value "C:\<name>"
    };
    const std::pair<CatalogueReader, std::vector<Source>> readers[] = {
        {CatalogueReader::Qt,
         {{"Language Setup", "Path", "Q1/Languages/languages.xml"},
          {"Language Setup\\Folivo", "LanguagesFolder", "Q2/languages.xml"},
          {"Language Setup\\Tavlo", "LanguagesFolder", "Q3/languages.xml"}}},
        {CatalogueReader::Native,
         {{"Language Setup", "Path", "N1/Languages/languages.xml"},
          {"Folivo Software\\Install Information", "FolivoExePath", "N2/Languages/languages.xml"},
          {"Tavlo Drivers\\Install Information", "Drivers Directory",
           "N3/Languages/languages.xml"}}},
    };
    for (const auto& [reader, sources] : readers) {
        SCOPED_TRACE(reader == CatalogueReader::Qt ? "Qt" : "Native");
        for (const Source& source : sources) {
            const QString file = QString::fromLatin1(source.file);
            sandbox.Write(u"drive_c/"_s + file, "<L/>");
            RegWriteString(HKEY_LOCAL_MACHINE, machine + QString::fromLatin1(source.key),
                           QString::fromLatin1(source.value), u"C:\\"_s + file.section(u'/', 0, 0));
        }
        for (const Source& source : sources) {
            const QString file = QString::fromLatin1(source.file);
            EXPECT_EQ(FindLanguageCatalogue(reader).LocalPath(),
                      sandbox.Path(u"drive_c/"_s + file));
            QFile::remove(sandbox.Path(u"drive_c/"_s + file));
        }
        EXPECT_EQ(FindLanguageCatalogue(reader), ProgramLanguagesFolder().Join(u"languages.xml"_s));
    }
}

TEST_F(LanguageTest, ReadersFallBackDifferently) {
    sandbox.Write(u"catalogue.xml"_s, kCatalogue);
    sandbox.Write(u"broken.xml"_s, "<Catalogue><Entry Code=\"de\"");
    const FilePath good(sandbox.Path(u"catalogue.xml"_s));
    struct Case {
        const char* name;
        QString file;
        const char* key;
        const char* keyAttribute;
        const char* wanted;
        const char* qt;
        const char* native;
    };
    // clang-format off
    const Case cases[] = {
        {"Found", u"catalogue.xml"_s, "de", "Code", "ID", "0407", "0407"},
        {"KeyIgnoresCase", u"catalogue.xml"_s, "en_CA", "Code", "ID", "1009", "1009"},
        {"HexKeyIgnoresCase", u"catalogue.xml"_s, "040C", "ID", "Code", "fr", "fr"},
        {"AbsentAttributeIsEmpty", u"catalogue.xml"_s, "fr", "Code", "RightToLeft", "", ""},
        {"NoMatch", u"catalogue.xml"_s, "0409", "ID", "Code", "", "0409"},
        {"MissingFile", u"missing.xml"_s, "0407", "ID", "Code", "0407", "0407"},
        {"MalformedFile", u"broken.xml"_s, "de", "Code", "ID", "de", "de"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FilePath path(sandbox.Path(c.file));
        const QString key = QString::fromLatin1(c.key);
        EXPECT_EQ(
            LookupLanguageAttributeIn(CatalogueReader::Qt, path, key, c.keyAttribute, c.wanted),
            QString::fromLatin1(c.qt));
        EXPECT_EQ(
            LookupLanguageAttributeIn(CatalogueReader::Native, path, key, c.keyAttribute, c.wanted),
            QString::fromLatin1(c.native));
    }

    sandbox.InstallCatalogue(kCatalogue);
    EXPECT_EQ(LanguageIdFromCode(u"DE"_s), 0x0407) << "the first entry of a code counts";
    EXPECT_EQ(LanguageIdFromCode(u"x-unlisted"_s), 0) << "the code itself is no number";
    EXPECT_EQ(LanguageIdFromCode(u"abc"_s), 0x0ABC) << "the code itself reads as a number";
    EXPECT_EQ(CodeFromLanguageId(0x0C07), u"de"_s);
    EXPECT_EQ(CodeFromLanguageId(0x11009), QString()) << "more than four digits are kept";
    EXPECT_EQ(CodeFromLanguageIdNative(0x0409), u"0409"_s);
}

TEST(LanguageId, ReadsHexadecimalDigitsOnly) {
    const std::pair<const char*, uint16_t> cases[] = {
        {"0407", 0x0407}, {"040c", 0x040C}, {"DE", 0x00DE},        {"12345", 0x2345},
        {"04x7", 0},      {"", 0},          {"FFFFFFFFF", 0xFFFF}, {" 0407", 0},
    };
    for (const auto& [text, id] : cases)
        EXPECT_EQ(ParseLanguageId(QString::fromLatin1(text)), id) << text;
}

TEST_F(LanguageTest, OnlyRightToLeftOneMirrorsTheLayout) {
    sandbox.InstallCatalogue(kCatalogue);
    const std::pair<const char*, Qt::LayoutDirection> cases[] = {
        {"x-one", Qt::RightToLeft}, {"x-yes", Qt::LeftToRight}, {"x-spaced", Qt::LeftToRight},
        {"de", Qt::LeftToRight},    {"X-ONE", Qt::RightToLeft}, {"x-unlisted", Qt::LeftToRight},
    };
    for (const auto& [code, direction] : cases) {
        SetLocaleOverride(QString::fromLatin1(code));
        SetupLanguage(u"ORVEXProductUpdate"_s);
        EXPECT_EQ(QApplication::layoutDirection(), direction) << code;
    }
}

// The translations the program ships: found beside the program through its own catalogue,
// complete (every language translates every text the others do), and in use once set up.
TEST_F(LanguageTest, ShippedTranslationsLoadAndMirrorHebrew) {
    const FilePath folder = ProgramLanguagesFolder();
    std::optional<QSet<QString>> keys;
    for (const char* code : {"de", "fr", "he"}) {
        SCOPED_TRACE(code);
        std::unique_ptr<char[]> buffer;
        const int32_t size = folder.Join(QString::fromLatin1(code))
                                 .Join(u"ORVEXProductUpdate.strings"_s)
                                 .ReadAll(buffer);
        QSet<QString> found;
        ReadStringsPairs(QByteArray(buffer.get(), size),
                         [&](const QString& key, const QString& value) {
                             EXPECT_FALSE(value.isEmpty()) << key.toStdString();
                             found.insert(key);
                         });
        EXPECT_GE(found.size(), 20);
        if (keys) {
            EXPECT_EQ(found, *keys);
        }
        keys = found;
    }

    struct Case {
        const char* code;
        const char* title;
        const char* retry;
        const char* browser;
        Qt::LayoutDirection direction;
    };
    const Case cases[] = {
        {"de", "ORVEX Produktaktualisierung", "Wiederholen", "Bitte öffnen Sie", Qt::LeftToRight},
        {"fr", "Mise à jour des produits ORVEX", "Réessayer", "Veuillez ouvrir", Qt::LeftToRight},
        {"he", "עדכון מוצרי ORVEX", "נסה שוב", "פתח דפדפן", Qt::RightToLeft},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        SetLocaleOverride(QString::fromLatin1(c.code));
        EXPECT_TRUE(SetupLanguage(u"ORVEXProductUpdate"_s));
        EXPECT_EQ(QCoreApplication::translate("MainWindow", "ORVEX Product Update"),
                  QString::fromUtf8(c.title));
        EXPECT_EQ(QCoreApplication::translate("MainWindow", "Retry"), QString::fromUtf8(c.retry));
        const QString browser = QCoreApplication::translate(
            "CProductVersions",
            "Could not open a Web browser. Please open a Web browser manually and go to: \n");
        EXPECT_TRUE(browser.contains(QString::fromUtf8(c.browser)) && browser.endsWith(u": \n"_s))
            << browser.toStdString();
        EXPECT_EQ(QApplication::layoutDirection(), c.direction);
    }
}
} // namespace

#include "qtglue/Language.h"
#include "qtglue/LanguageCatalogue.h"

#include "LanguageSandbox.h"

#include <QGuiApplication>
#include <QLocale>

using namespace Qt::StringLiterals;

// Leaves the process with the default language and a left-to-right layout.
class LanguageTest : public ::testing::Test {
protected:
    void TearDown() override {
        SetLocaleOverride(u"en_CA"_s);
        SetupLanguage(u"ORVEXProductUpdate"_s);
        SetLocaleOverride(QString());
    }
    LanguageSandbox sandbox;
};

TEST(LanguageCodes, SystemLocalesAndLongOrSpacedIdentifiers) {
    // The default, a renamed language, a country kept, a country dropped.
    const std::pair<const char*, const char*> locales[] = {
        {"C", "en_CA"}, {"no_NO", "nb"}, {"pt_BR", "pt_BR"}, {"de_DE", "de"}};
    for (const auto& [locale, code] : locales)
        EXPECT_EQ(SystemLanguageCodeFor(QString::fromLatin1(locale)), QString::fromLatin1(code));
    // Only the low 16 bits of a long number count; anything but hexadecimal digits is none.
    // (Four digits read back as printed: the fuzz target's.)
    EXPECT_EQ(ParseLanguageId("12345"), 0x2345);
    EXPECT_EQ(ParseLanguageId(" 0407"), 0);
    // A code names a folder: 1 to 32 letters, digits, "-" and "_", the ranges' ends included.
    for (const QString& accepted : {u"azAZ09-_"_s, QString(32, u'x')})
        EXPECT_TRUE(IsLanguageCode(accepted)) << accepted.toStdString();
    for (const QString& refused : {u""_s, QString(33, u'x'), u"`"_s, u"{"_s, u"@"_s, u"["_s, u"/"_s,
                                   u":"_s, u"../x"_s, u"\u00e9"_s})
        EXPECT_FALSE(IsLanguageCode(refused)) << refused.toStdString();
}

// Each reader has registry places of its own, Folivo's before Tavlo's (a place both readers
// know is InstallCatalogue's); without one the program's own catalogue is read.
TEST_F(LanguageTest, EachReaderLooksAtItsOwnPlacesThenTheProgramsCatalogue) {
    // A registry key below the maker's, its value, and the catalogue that value leads to.
    struct Place {
        const char* key;
        const char* value;
        QString file;
    };
    // Each reader with Tavlo's place, then Folivo's, which is found although Tavlo's is there.
    // One folder's name is outside Latin-1, so that every byte of a registry text counts.
    // clang-format off
    const std::tuple<CatalogueReader, Place, Place> readers[] = {
        {CatalogueReader::Qt, {"Language Setup\\Tavlo", "LanguagesFolder", u"Q\u03a9/languages.xml"_s},
                              {"Language Setup\\Folivo", "LanguagesFolder", u"QF/languages.xml"_s}},
        {CatalogueReader::Native, {"Tavlo Drivers\\Install Information", "Drivers Directory", u"NT/Languages/languages.xml"_s},
                                  {"Folivo Software\\Install Information", "FolivoExePath", u"NF/Languages/languages.xml"_s}}};
    // clang-format on
    for (const auto& [reader, tavlo, folivo] : readers) {
        EXPECT_EQ(FindLanguageCatalogue(reader), ProgramLanguagesFolder().Join(u"languages.xml"_s));
        for (const Place& place : {tavlo, folivo}) {
            sandbox.Write(u"drive_c/"_s + place.file, "<L/>");
            RegWriteString(HKEY_LOCAL_MACHINE,
                           u"Software\\ORVEX Technologies\\"_s + QLatin1String(place.key),
                           QLatin1String(place.value), u"C:\\"_s + place.file.section(u'/', 0, 0));
            EXPECT_EQ(FindLanguageCatalogue(reader).LocalPath(),
                      sandbox.Path(u"drive_c/"_s + place.file));
        }
    }
}

// The catalogue has two entries for one code and RightToLeft spelt in ways only "1" counts as:
// not "0", "true", " 1", an empty value, nor none. The language is the command line's, else the
// registry's, else the system locale's.
TEST_F(LanguageTest, OnlyOneMeansRightToLeftAndCommandLineOverRegistryOverSystemLocale) {
    sandbox.InstallCatalogue(Sandbox::Data(u"languages.xml"_s));
    const std::pair<const char*, Qt::LayoutDirection> rows[] = {
        {"x-one", Qt::RightToLeft},    {"x-zero", Qt::LeftToRight},  {"de", Qt::LeftToRight},
        {"x-spaced", Qt::LeftToRight}, {"x-empty", Qt::LeftToRight}, {"fr", Qt::LeftToRight}};
    for (const auto& [code, direction] : rows) {
        SetLocaleOverride(QString::fromLatin1(code));
        SetupLanguage(QString());
        EXPECT_EQ(QGuiApplication::layoutDirection(), direction) << code;
    }
    SetLocaleOverride(QString());
    const auto choose = [](const QString& product, uint32_t id) {
        RegWriteDword(HKEY_CURRENT_USER, LanguageSandbox::kSetupKey + product, u"LanguageID"_s, id);
    };
    ASSERT_EQ(GetLanguageCode(), SystemLanguageCodeFor(QLocale::system().name()));
    choose(u"\\Folivo"_s, 0x040C);
    EXPECT_EQ(GetLanguageCode(), u"fr"_s);
    choose(u"\\Tavlo"_s, 0x1009);
    EXPECT_EQ(GetLanguageCode(), u"EN_ca"_s) << "Tavlo's choice wins, as the catalogue spells it";
    SetLocaleOverride(u"he"_s);
    EXPECT_EQ(GetLanguageCode(), u"he"_s) << "the command line wins";
    SetLocaleOverride(QString());
    choose(u"\\Tavlo"_s, 0x0409);
    EXPECT_EQ(GetLanguageCode(), QString()) << "an identifier the catalogue does not list";
    sandbox.Write(u"drive_c/Lang/Languages/languages.xml"_s, "<unreadable");
    EXPECT_EQ(GetLanguageCode(), u"0409"_s) << "without a catalogue the digits are the code";
}

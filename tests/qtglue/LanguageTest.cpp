#include "qtglue/Language.h"
#include "qtglue/LanguageCatalogue.h"

#include "LanguageSandbox.h"

#include <QLocale>

using namespace Qt::StringLiterals;

// Two entries for one code; RightToLeft spelt in ways only "1" counts as (the mirrored window
// is MainWindowLanguage's).
static QByteArray Catalogue() {
    return Sandbox::Data(u"languages.xml"_s);
}

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
}

TEST_F(LanguageTest, CommandLineOverRegistryOverSystemLocale) {
    sandbox.InstallCatalogue(Catalogue());
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

// Each reader has registry places of its own, the last of them Tavlo's (a place both readers
// know is InstallCatalogue's); without one the program's own catalogue is read.
TEST_F(LanguageTest, EachReaderLooksAtItsOwnPlacesThenTheProgramsCatalogue) {
    // clang-format off
    const std::tuple<CatalogueReader, const char*, const char*, QString> places[] = {
        {CatalogueReader::Qt, "Language Setup\\Tavlo", "LanguagesFolder", u"Q/languages.xml"_s},
        {CatalogueReader::Native, "Tavlo Drivers\\Install Information", "Drivers Directory", u"N/Languages/languages.xml"_s}};
    // clang-format on
    for (const auto& [reader, key, value, file] : places) {
        EXPECT_EQ(FindLanguageCatalogue(reader), ProgramLanguagesFolder().Join(u"languages.xml"_s));
        sandbox.Write(u"drive_c/"_s + file, "<L/>");
        RegWriteString(HKEY_LOCAL_MACHINE, u"Software\\ORVEX Technologies\\"_s + QLatin1String(key),
                       QLatin1String(value), u"C:\\"_s + file.section(u'/', 0, 0));
        EXPECT_EQ(FindLanguageCatalogue(reader).LocalPath(), sandbox.Path(u"drive_c/"_s + file));
    }
}

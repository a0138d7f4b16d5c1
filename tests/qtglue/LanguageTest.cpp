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

// Each reader's registry places in order; a place whose file is missing passes to the next,
// and the program's own catalogue comes last.
TEST_F(LanguageTest, EachReaderFindsTheCatalogueInItsOwnOrder) {
    // clang-format off
    const std::pair<CatalogueReader, std::vector<std::array<const char*, 3>>> readers[] = {
        {CatalogueReader::Qt, {{{"Language Setup", "Path", "Q1/Languages/languages.xml"}},
                               {{"Language Setup\\Folivo", "LanguagesFolder", "Q2/languages.xml"}},
                               {{"Language Setup\\Tavlo", "LanguagesFolder", "Q3/languages.xml"}}}},
        {CatalogueReader::Native, {{{"Language Setup", "Path", "N1/Languages/languages.xml"}},
                                   {{"Folivo Software\\Install Information", "FolivoExePath", "N2/Languages/languages.xml"}},
                                   {{"Tavlo Drivers\\Install Information", "Drivers Directory", "N3/Languages/languages.xml"}}}},
    };
    // clang-format on
    for (const auto& [reader, places] : readers) {
        for (const auto& [key, value, file] : places) {
            sandbox.Write(u"drive_c/"_s + QLatin1String(file), "<L/>");
            RegWriteString(
                HKEY_LOCAL_MACHINE, u"Software\\ORVEX Technologies\\"_s + QLatin1String(key),
                QLatin1String(value), u"C:\\"_s + QString::fromLatin1(file).section(u'/', 0, 0));
        }
        for (const auto& place : places) {
            const QString file = sandbox.Path(u"drive_c/"_s + QLatin1String(place[2]));
            EXPECT_EQ(FindLanguageCatalogue(reader).LocalPath(), file);
            QFile::remove(file);
        }
        EXPECT_EQ(FindLanguageCatalogue(reader), ProgramLanguagesFolder().Join(u"languages.xml"_s));
    }
}

// Looking a code or an identifier up in any catalogue, whatever the case, is the fuzz target's.
TEST_F(LanguageTest, CodesAndIdentifiersFallBackDifferently) {
    sandbox.InstallCatalogue(Catalogue());
    EXPECT_EQ(LanguageIdFromCode(u"de"_s), 0x0407) << "the first entry of a code counts";
    EXPECT_EQ(LanguageIdFromCode(u"abc"_s), 0x0ABC) << "an unlisted code read as a number";
    EXPECT_EQ(CodeFromLanguageId(0x11009), QString()) << "more than four digits are kept";
    EXPECT_EQ(CodeFromLanguageIdNative(0x0409), u"0409"_s);
}

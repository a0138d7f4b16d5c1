#include "qtglue/StringsResourceManager.h"

#include "LanguageSandbox.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {
const QByteArray kCatalogue = R"(<Languages>
    <L Code="de" ID="0407"/>
    <L Code="fr" ID="040C"/>
</Languages>)";

class StringsResourceManagerTest : public ::testing::Test {
protected:
    void SetUp() override { sandbox.InstallCatalogue(kCatalogue); }
    // A manager that has loaded text as the German "Test" table.
    void Load(CStringsResourceManager& manager, const QString& text) {
        sandbox.WriteStrings(u"de"_s, u"Test"_s, StringsBytes(text));
        manager.Init(0x0407, sandbox.LanguagesFolder(), u"Test"_s);
    }

    LanguageSandbox sandbox;
};

TEST_F(StringsResourceManagerTest, LooksUpBothWaysWithLaterEntriesWinning) {
    CStringsResourceManager manager;
    Load(manager, u"a=1;a=2;b=x;e=\"\""_s);
    EXPECT_EQ(manager.GetString(u"a"_s), u"2"_s);
    EXPECT_EQ(manager.GetString(u"A"_s), u"A"_s) << "keys are case-sensitive";
    EXPECT_EQ(manager.GetString(u"e"_s), u"e"_s) << "an empty translation answers its key";
    EXPECT_EQ(manager.GetString(u"missing"_s), u"missing"_s);
    EXPECT_EQ(manager.ReverseLookup(u"x"_s), u"b"_s);
    EXPECT_EQ(manager.ReverseLookup(u"1"_s), u"a"_s);
    EXPECT_EQ(manager.ReverseLookup(u"y"_s), u"y"_s);
    EXPECT_EQ(manager.GetLanguageId(), 0x0407u);
}

TEST_F(StringsResourceManagerTest, HotkeysComeFromTheReservedEntryOrTheDefaultList) {
    struct Case {
        const char* name;
        QString file;
        QString text;
        bool applied;
        QString result;
    };
    const QString custom = u"@@HOTKEYS=\"Open=&Open, Close=&Close,NoEquals,Print=P&r=int\";"_s;
    // clang-format off
    const Case cases[] = {
        {"DefaultKeepsTheTabPart", u""_s, u"Exit\tAlt+F4"_s, true, u"E&xit\tAlt+F4"_s},
        {"DefaultKeyWithSpace", u""_s, u"Save As"_s, true, u"Save &As"_s},
        {"DefaultUnknown", u""_s, u"Open"_s, false, u"Open"_s},
        {"EmptyEntryGivesDefault", u"@@HOTKEYS=\"\""_s, u"Cut"_s, true, u"Cu&t"_s},
        {"CustomReplacesDefault", custom, u"Cut"_s, false, u"Cut"_s},
        {"CustomNotTrimmed", custom, u"Close"_s, false, u"Close"_s},
        {"CustomLeadingSpaceIsPartOfKey", custom, u" Close"_s, true, u"&Close"_s},
        {"CustomSplitAtFirstEquals", custom, u"Print\tCtrl+P"_s, true, u"P&r=int\tCtrl+P"_s},
        {"CustomItemWithoutEqualsIgnored", custom, u"NoEquals"_s, false, u"NoEquals"_s},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CStringsResourceManager manager;
        Load(manager, c.file);
        QString text = c.text;
        EXPECT_EQ(manager.ApplyHotkey(text), c.applied);
        EXPECT_EQ(text, c.result);
    }
    CStringsResourceManager manager;
    Load(manager, u"Ctrl=Strg;"_s);
    EXPECT_EQ(manager.MakeHotkeyLabel(u"&open\tCtrl+O"_s), u"open (&O)\tCtrl+O"_s);
    EXPECT_EQ(manager.TranslateShortcut(u"Ctrl+S"_s), u"Strg+S"_s);
}

// The same identifier adds a second base name's entries; another one starts over, and the
// process-wide manager follows the language it was last given.
TEST_F(StringsResourceManagerTest, SameLanguageMergesAnotherStartsOver) {
    sandbox.WriteStrings(u"de"_s, u"One"_s, StringsBytes(u"a=eins;"_s));
    sandbox.WriteStrings(u"de"_s, u"Two"_s, StringsBytes(u"b=zwei;"_s));
    sandbox.WriteStrings(u"fr"_s, u"One"_s, StringsBytes(u"b=deux;"_s));

    SetResourceLanguage(0x0407, sandbox.LanguagesFolder(), u"One"_s);
    IOrvexResourceManager* first = &GetResourceManager();
    SetResourceLanguage(0x0407, sandbox.LanguagesFolder(), u"Two"_s);
    EXPECT_EQ(&GetResourceManager(), first);
    EXPECT_EQ(GetResourceManager().GetString(u"a"_s), u"eins"_s);
    EXPECT_EQ(GetResourceManager().GetString(u"b"_s), u"zwei"_s);

    SetResourceLanguage(0x040C, sandbox.LanguagesFolder(), u"One"_s);
    EXPECT_EQ(GetResourceManager().GetString(u"a"_s), u"a"_s);
    EXPECT_EQ(GetResourceManager().GetString(u"b"_s), u"deux"_s);
    EXPECT_EQ(GetResourceManager().GetLanguageId(), 0x040Cu);

    // A language without a folder loads nothing and says so.
    CStringsResourceManager manager;
    EXPECT_TRUE(manager.Init(0x0407, sandbox.LanguagesFolder(), u"One"_s));
    EXPECT_FALSE(manager.Init(0x0409, sandbox.LanguagesFolder(), u"One"_s));
    EXPECT_EQ(manager.GetString(u"a"_s), u"a"_s);
    SetResourceLanguage(0, FilePath(), QString());
}
} // namespace

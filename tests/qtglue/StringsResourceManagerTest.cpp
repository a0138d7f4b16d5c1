#include "qtglue/StringsResourceManager.h"

#include "LanguageSandbox.h"

using namespace Qt::StringLiterals;

class StringsResourceManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox.InstallCatalogue(R"(<L><L Code="de" ID="0407"/><L Code="fr" ID="040C"/></L>)");
    }
    // Loads text as the German table "Test".
    void Load(CStringsResourceManager& manager, const QString& text) {
        sandbox.WriteStrings(u"de"_s, u"Test"_s, text);
        manager.Init(0x0407, sandbox.LanguagesFolder(), u"Test"_s);
    }
    LanguageSandbox sandbox;
};

TEST_F(StringsResourceManagerTest, LooksUpTextsAndHotkeys) {
    const QString custom = u"@@HOTKEYS=\"Open=&Open, Close=&Close,NoEquals,Print=P&r=int\";"_s;
    // clang-format off
    const struct { const char* name; QString file, text; bool applied; QString result; } cases[] = {
        {"DefaultKeepsTheTabPart", u""_s, u"Exit\tAlt+F4"_s, true, u"E&xit\tAlt+F4"_s},
        {"EmptyEntryGivesDefault", u"@@HOTKEYS=\"\""_s, u"Cut"_s, true, u"Cu&t"_s},
        {"CustomReplacesDefault", custom, u"Cut"_s, false, u"Cut"_s},
        {"CustomNotTrimmed", custom, u" Close"_s, true, u"&Close"_s},
        {"CustomSplitAtFirstEquals", custom, u"Print\tCtrl+P"_s, true, u"P&r=int\tCtrl+P"_s},
        {"CustomItemWithoutEqualsIgnored", custom, u"NoEquals"_s, false, u"NoEquals"_s},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CStringsResourceManager manager;
        Load(manager, c.file);
        QString text = c.text;
        EXPECT_EQ(manager.ApplyHotkey(text), c.applied);
        EXPECT_EQ(text, c.result);
    }
    CStringsResourceManager manager;
    Load(manager, u"a=1;a=2;Ctrl=Strg;b=x;e=\"\""_s);
    EXPECT_EQ(manager.GetString(u"a"_s), u"2"_s) << "a later entry wins";
    EXPECT_EQ(manager.GetString(u"A"_s), u"A"_s) << "keys are case-sensitive";
    EXPECT_EQ(manager.GetString(u"e"_s), u"e"_s) << "an empty translation answers its key";
    EXPECT_EQ(manager.ReverseLookup(u"x"_s) + manager.ReverseLookup(u"y"_s), u"by"_s);
    EXPECT_EQ(manager.MakeHotkeyLabel(u"&open\tCtrl+O"_s), u"open (&O)\tCtrl+O"_s);
    EXPECT_EQ(manager.TranslateShortcut(u"Ctrl+S"_s), u"Strg+S"_s);
}

#include "qtglue/StringsResourceManager.h"

#include "LanguageSandbox.h"

using namespace Qt::StringLiterals;

// Loads text as the German table "Test".
static void Load(CStringsResourceManager& manager, const LanguageSandbox& sandbox,
                 const QString& text) {
    sandbox.WriteStrings(u"de"_s, u"Test"_s, text);
    manager.Init(0x0407, sandbox.LanguagesFolder(), u"Test"_s);
}

TEST(StringsResourceManager, LooksUpTextsAndHotkeys) {
    LanguageSandbox sandbox;
    sandbox.InstallCatalogue(R"(<L><L Code="de" ID="0407"/><L Code="fr" ID="040C"/></L>)");
    const QString custom = u"@@HOTKEYS=\"Open=&Open, Close=&Close,NoEquals,Print=P&r=int\";"_s;
    // clang-format off
    const struct { const char* name; QString file, text; bool applied; QString result; } cases[] = {
        {"DefaultKeepsTheTabPart", u""_s, u"Exit\tAlt+F4"_s, true, u"E&xit\tAlt+F4"_s},
        {"CustomReplacesDefault", custom, u"Cut"_s, false, u"Cut"_s},
        {"CustomSplitAtFirstEquals", custom, u"Print\tCtrl+P"_s, true, u"P&r=int\tCtrl+P"_s},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CStringsResourceManager manager;
        Load(manager, sandbox, c.file);
        QString text = c.text;
        EXPECT_EQ(manager.ApplyHotkey(text), c.applied);
        EXPECT_EQ(text, c.result);
    }
    CStringsResourceManager manager;
    Load(manager, sandbox, u"a=1;a=2;e=\"\""_s);
    EXPECT_EQ(manager.GetString(u"a"_s), u"2"_s) << "a later entry wins";
    EXPECT_EQ(manager.GetString(u"A"_s), u"A"_s) << "keys are case-sensitive";
    EXPECT_EQ(manager.GetString(u"e"_s), u"e"_s) << "an empty translation answers its key";
}

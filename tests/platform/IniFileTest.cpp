#include "platform/FileSettingsStore.h"

#include "support/Sandbox.h"

const QString kFile = QStringLiteral("C:\\settings.ini");
const QString kLocal = QStringLiteral("drive_c/settings.ini");

// Reads into a buffer of size characters, checking that the answer ends in a nul.
static QString ReadString(const QString& section, const QString& key, const QString& fallback,
                          uint32_t size = 255) {
    std::vector<char16_t> buffer(size + 1, u'#');
    const uint32_t copied = CFileSettingsStore().GetPrivateProfileStringW(
        section, key, fallback, buffer.data(), size, kFile);
    EXPECT_EQ(buffer[copied], u'\0');
    return QString::fromUtf16(buffer.data(), copied);
}

// A null key or value deletes, as in the store's own interface.
static bool Write(const char* section, const char* key, const char* value) {
    const QString k = QString::fromUtf8(key), v = QString::fromUtf8(value);
    return CFileSettingsStore().WritePrivateProfileStringW(section, key ? &k : nullptr,
                                                           value ? &v : nullptr, kFile);
}

TEST(IniFile, ReadsFollowWindows) {
    Sandbox sandbox;
    sandbox.Write(kLocal, "; comment\n[Main]\n  Spaced Key  =  spaced value  \n"
                          "Quoted=\"  inside  \"\nSingle='x'\nHalf=\"open\nNumber= -17 tail\n"
                          "Huge=99999999999\nWord=abc\n[main]\nShadowed=second section\n"
                          "[Other]\nKey=other\n");
    // clang-format off
    const char* const strings[][3] = {
        {"MAIN", "spaced key", "spaced value"}, {"Main", "Quoted", "  inside  "}, {"Main", "Single", "x"},
        {"Main", "Key", "default"}, {"Other", "KEY", "other"}, {"Missing", "Key", "default"}, {"Main", "Shadowed", "default"}};
    // clang-format on
    for (const auto& [section, key, expected] : strings)
        EXPECT_EQ(ReadString(section, key, "default"), expected) << section << "/" << key;
    // Answers are cut to the buffer, the nul included (a value; a default is copied alike).
    EXPECT_EQ(ReadString("Main", "Spaced Key", {}, 4), "spa");

    const std::pair<const char*, int32_t> numbers[] = {
        {"Number", -17}, {"Huge", INT32_MAX}, {"Word", 0}, {"Absent", 99}};
    for (const auto& [key, expected] : numbers)
        EXPECT_EQ(CFileSettingsStore().GetPrivateProfileIntW("Main", key, 99, kFile), expected);
}

TEST(IniFile, WritesChangeOnlyTheirOwnLineAndRefuseWhatWouldBreakTheFile) {
    Sandbox sandbox;
    sandbox.Write(kLocal, "; settings of the suite\r\n[First]\r\nAlpha=1\r\n; keep me\r\n"
                          "Beta=2\r\n\r\n[Second]\r\nGamma=3\r\n");
    ASSERT_TRUE(Write("first", "ALPHA", "10"));
    ASSERT_TRUE(Write("First", "Delta", "4"));
    ASSERT_TRUE(Write("Second", "gamma", nullptr));
    ASSERT_TRUE(Write("Third", "Epsilon", "4"));
    EXPECT_EQ(sandbox.Read(kLocal), "; settings of the suite\r\n[First]\r\nAlpha=10\r\n"
                                    "; keep me\r\nBeta=2\r\nDelta=4\r\n\r\n[Second]\r\n\r\n"
                                    "[Third]\r\nEpsilon=4\r\n");
    // Nothing that would break the file is written.
    EXPECT_FALSE(Write("Second", "ALPHA", "two\nlines"));
    EXPECT_FALSE(Write("Second", "a=b", "4"));
    EXPECT_FALSE(Write("S]x", "ALPHA", "4"));
    ASSERT_TRUE(Write("FIRST", nullptr, nullptr));
    EXPECT_EQ(sandbox.Read(kLocal), "; settings of the suite\r\n[Second]\r\n\r\n"
                                    "[Third]\r\nEpsilon=4\r\n");
}

TEST(IniFile, KeepsTheEncodingOfTheFile) {
    Sandbox sandbox;
    const std::pair<QByteArray, QByteArray> cases[] = {
        {"[S]\n", "[S]\nName=Z\xc3\xbcrich\n"},
        {Utf16Le("[S]\r\n"), Utf16Le("[S]\r\nName=Zürich\r\n")},
        {"; caf\xe9\n[S]\n", "; caf\xe9\n[S]\nName=Z\xfcrich\n"},
        // Bytes the write does not touch stay: an odd last byte, mixed line ends, no final one.
        {Utf16Le("[S]\r\n") + "A", Utf16Le("[S]\r\nName=Zürich\r\n") + "A"},
        {"[S]\nA=1\r\n\n[T]\nB=2", "[S]\nA=1\r\nName=Z\xc3\xbcrich\r\n\n[T]\nB=2"},
    };
    for (const auto& [before, after] : cases) {
        sandbox.Write(kLocal, before);
        ASSERT_TRUE(Write("S", "Name", "Zürich")) << before.toHex().constData();
        EXPECT_EQ(sandbox.Read(kLocal), after) << before.toHex().constData();
        EXPECT_EQ(ReadString("S", "Name", {}), "Zürich");
    }
    // A write that would take away the only byte that is no UTF-8 is refused: the file would
    // read as UTF-8, and the host would change.
    const QByteArray eightBit = "[S]\nName=\xe9\n[P]\nHost=caf\xc3\xa9\n";
    sandbox.Write(kLocal, eightBit);
    EXPECT_FALSE(Write("S", "Name", "de"));
    EXPECT_EQ(sandbox.Read(kLocal), eightBit);
    EXPECT_EQ(ReadString("P", "Host", {}), "caf\u00c3\u00a9");
}

#include "platform/Hive.h"
#include "platform/SettingsStore.h"

#include "support/Sandbox.h"

#include <QFile>

namespace {
const QString kKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Test");

QByteArray Dword(uint32_t value) {
    return QByteArray(reinterpret_cast<const char*>(&value), 4);
}
} // namespace

TEST(Hive, RoundTripKeepsEveryTypeAndEscape) {
    struct Case {
        const char* label;
        QString name;
        uint32_t type;
        QByteArray data;
    };
    const Case cases[] = {
        {"plain text", QStringLiteral("Text"), REG_SZ, Utf16Z(QStringLiteral("hello"))},
        {"escapes", QStringLiteral("Quote \"and\" \\slash"), REG_SZ,
         Utf16Z(QStringLiteral("C:\\dir\\ \"q\" \\\\"))},
        {"empty text is two bytes", QStringLiteral("Empty"), REG_SZ, QByteArray(2, '\0')},
        {"text without terminator", QStringLiteral("NoNul"), REG_SZ, QByteArray("a\0b\0", 4)},
        {"text with line break", QStringLiteral("Lines"), REG_SZ, Utf16Z(QStringLiteral("a\nb"))},
        {"text with inner nul", QStringLiteral("Inner"), REG_SZ, QByteArray("a\0\0\0b\0\0\0", 8)},
        {"unicode", QStringLiteral("Größe"), REG_SZ, Utf16Z(QStringLiteral("日本語"))},
        {"default value", QString(), REG_SZ, Utf16Z(QStringLiteral("default"))},
        {"dword", QStringLiteral("Dword"), REG_DWORD, Dword(0xdeadbeef)},
        {"short dword", QStringLiteral("Short"), REG_DWORD, QByteArray("\x01\x02\x03", 3)},
        {"binary", QStringLiteral("Bin"), REG_BINARY, QByteArray("\x00\xff\x10", 3)},
        {"empty binary", QStringLiteral("NoBytes"), REG_BINARY, QByteArray()},
        {"expandable", QStringLiteral("Expand"), REG_EXPAND_SZ, Utf16Z(QStringLiteral("%TEMP%"))},
        {"multi", QStringLiteral("Multi"), REG_MULTI_SZ,
         Utf16Z(QStringLiteral("a")) + Utf16Z(QStringLiteral("b")) + QByteArray(2, '\0')},
        {"qword", QStringLiteral("Qword"), REG_QWORD,
         QByteArray("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
        {"none", QStringLiteral("None"), REG_NONE, QByteArray("x", 1)},
        {"odd type", QStringLiteral("Odd"), 0x1234, QByteArray("yz", 2)},
    };
    CHive hive;
    for (const Case& c : cases)
        hive.SetValue(kKey, {c.name, c.type, c.data});
    const QByteArray text = hive.Serialize();

    CHive reread;
    reread.Parse(text);
    EXPECT_TRUE(reread.UnreadLines().isEmpty()) << text.constData();
    for (const Case& c : cases) {
        const CHive::Value* value = reread.FindValue(kKey, c.name);
        ASSERT_NE(value, nullptr) << c.label;
        EXPECT_EQ(value->name, c.name) << c.label;
        EXPECT_EQ(value->type, c.type) << c.label;
        EXPECT_EQ(value->data, c.data) << c.label;
    }
    EXPECT_EQ(reread.Serialize(), text);
    EXPECT_TRUE(text.contains("\"Dword\"=dword:deadbeef\n"));
    EXPECT_TRUE(
        text.contains("\"Quote \\\"and\\\" \\\\slash\"=\"C:\\\\dir\\\\ \\\"q\\\" \\\\\\\\\"\n"));
    EXPECT_TRUE(text.contains("@=\"default\"\n"));
    EXPECT_TRUE(text.startsWith("Windows Registry Editor Version 5.00\n"));
}

TEST(Hive, ReadsUtf16ExportOfWindows) {
    QFile file(QStringLiteral(ORVEX_PLATFORM_TEST_DATA "/windows-export-utf16.reg"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    CHive hive;
    hive.Parse(file.readAll());
    EXPECT_TRUE(hive.HasHeader());
    EXPECT_TRUE(hive.IsLossless());
    EXPECT_TRUE(hive.UnreadLines().isEmpty());

    const QString gallery = QStringLiteral("HKLM\\SOFTWARE\\ORVEX Technologies\\Gallery");
    struct Expected {
        QString name;
        uint32_t type;
        QByteArray data;
    };
    const Expected expected[] = {
        {QString(), REG_SZ, Utf16Z(QStringLiteral("Gallery content"))},
        {QStringLiteral("Install Path"), REG_SZ,
         Utf16Z(QStringLiteral("C:\\Program Files\\ORVEX\\Gallery"))},
        {QStringLiteral("größe"), REG_DWORD, Dword(42)},
        {QStringLiteral("Data Dir"), REG_EXPAND_SZ, Utf16Z(QStringLiteral("%PROGRAMDATA%"))},
        {QStringLiteral("Languages"), REG_MULTI_SZ,
         Utf16Z(QStringLiteral("en")) + Utf16Z(QStringLiteral("de")) + QByteArray(2, '\0')},
        {QStringLiteral("Stamp"), REG_QWORD, QByteArray("\x00\x10\x00\x00\x00\x00\x00\x00", 8)},
        {QStringLiteral("Blob"), REG_BINARY, QByteArray("\xde\xad\xbe\xef", 4)},
    };
    for (const Expected& e : expected) {
        const CHive::Value* value = hive.FindValue(gallery, e.name);
        ASSERT_NE(value, nullptr) << e.name.toStdString();
        EXPECT_EQ(value->type, e.type) << e.name.toStdString();
        EXPECT_EQ(value->data, e.data) << e.name.toStdString();
    }
    const CHive::Value* language = hive.FindValue(
        QStringLiteral("HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Tavlo Software"),
        QStringLiteral("Language"));
    ASSERT_NE(language, nullptr);
    EXPECT_EQ(language->data, Utf16Z(QStringLiteral("日本語")));
}

TEST(Hive, KeyTreesAreWholeComponents) {
    CHive hive;
    for (const char* key : {"HKCU\\A\\B\\C", "HKCU\\A\\B2", "HKCU\\AB", "HKLM\\A\\B"})
        hive.CreateKey(QString::fromLatin1(key));
    EXPECT_TRUE(hive.KeyExists(QStringLiteral("HKCU\\A"))); // only implied by A\B\C
    EXPECT_FALSE(hive.KeyExists(QStringLiteral("HKCU\\A\\B\\C\\D")));
    EXPECT_EQ(hive.SubKeyNames(QStringLiteral("HKCU\\A")), (QStringList{"B", "B2"}));
    EXPECT_TRUE(hive.DeleteKeyTree(QStringLiteral("HKCU\\A\\B")));
    EXPECT_FALSE(hive.KeyExists(QStringLiteral("HKCU\\A\\B\\C")));
    EXPECT_TRUE(hive.KeyExists(QStringLiteral("HKCU\\A\\B2")));
    EXPECT_TRUE(hive.KeyExists(QStringLiteral("HKCU\\AB")));
    EXPECT_TRUE(hive.KeyExists(QStringLiteral("HKLM\\A\\B")));
    EXPECT_FALSE(hive.DeleteKeyTree(QStringLiteral("HKCU\\Missing")));
}

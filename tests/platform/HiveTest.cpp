#include "platform/Hive.h"
#include "platform/SettingsStore.h"

#include "support/Sandbox.h"

namespace {
struct Named {
    QString name;
    uint32_t type;
    QByteArray data;
};

QByteArray Dword(uint32_t value) {
    return QByteArray(reinterpret_cast<const char*>(&value), 4);
}

QByteArray Multi(const char* first, const char* second) {
    return Utf16LeWithNul(first) + Utf16LeWithNul(second) + QByteArray(2, '\0');
}

void ExpectValues(const CHive& hive, const QString& key, const std::vector<Named>& expected) {
    for (const Named& e : expected) {
        const CHive::Value* value = hive.FindValue(key, e.name.toLower());
        ASSERT_NE(value, nullptr) << e.name.toStdString();
        EXPECT_EQ(value->name, e.name);
        EXPECT_EQ(value->type, e.type) << e.name.toStdString();
        EXPECT_EQ(value->data, e.data) << e.name.toStdString();
    }
}
} // namespace

TEST(Hive, RoundTripKeepsEveryTypeAndEscape) {
    const QString key = QStringLiteral("HKEY_CURRENT_USER\\Software\\Test");
    // Text that is not one terminated line is kept as hex, so no byte is lost.
    const std::vector<Named> values = {
        {"Quote \"and\" \\slash", REG_SZ, Utf16LeWithNul("C:\\dir\\ \"q\" \\\\")},
        {"Empty", REG_SZ, QByteArray(2, '\0')},
        {"NoNul", REG_SZ, QByteArray("a\0b\0", 4)},
        {"Lines", REG_SZ, Utf16LeWithNul("a\nb")},
        {"Inner", REG_SZ, QByteArray("a\0\0\0b\0\0\0", 8)},
        {"Größe", REG_SZ, Utf16LeWithNul("日本語")},
        {QString(), REG_SZ, Utf16LeWithNul("default")},
        {"Dword", REG_DWORD, Dword(0xdeadbeef)},
        {"Short", REG_DWORD, QByteArray("\x01\x02\x03", 3)},
        {"Bin", REG_BINARY, QByteArray("\x00\xff\x10", 3)},
        {"NoBytes", REG_BINARY, QByteArray()},
        {"Expand", REG_EXPAND_SZ, Utf16LeWithNul("%TEMP%")},
        {"Multi", REG_MULTI_SZ, Multi("a", "b")},
        {"Qword", REG_QWORD, QByteArray("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
        {"None", REG_NONE, QByteArray("x", 1)},
        {"Odd", 0x1234, QByteArray("yz", 2)},
    };
    CHive hive;
    for (const Named& v : values)
        hive.SetValue(key, {v.name, v.type, v.data});
    const QByteArray text = hive.Serialize();
    CHive reread;
    reread.Parse(text);
    EXPECT_TRUE(reread.UnreadLines().isEmpty()) << text.constData();
    ExpectValues(reread, key, values);
    EXPECT_EQ(reread.Serialize(), text);
    EXPECT_TRUE(text.startsWith("Windows Registry Editor Version 5.00\n"));
    for (const char* line :
         {"\"Dword\"=dword:deadbeef\n", "@=\"default\"\n",
          "\"Quote \\\"and\\\" \\\\slash\"=\"C:\\\\dir\\\\ \\\"q\\\" \\\\\\\\\"\n"})
        EXPECT_TRUE(text.contains(line)) << line;
}

TEST(Hive, ReadsUtf16ExportOfWindows) {
    QFile file(ORVEX_PLATFORM_TEST_DATA "/windows-export-utf16.reg");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    CHive hive;
    hive.Parse(file.readAll());
    EXPECT_TRUE(hive.HasHeader() && hive.IsLossless() && hive.UnreadLines().isEmpty());
    ExpectValues(hive, "HKLM\\SOFTWARE\\ORVEX Technologies\\Gallery",
                 {{QString(), REG_SZ, Utf16LeWithNul("Gallery content")},
                  {"Install Path", REG_SZ, Utf16LeWithNul("C:\\Program Files\\ORVEX\\Gallery")},
                  {"Größe", REG_DWORD, Dword(42)},
                  {"Data Dir", REG_EXPAND_SZ, Utf16LeWithNul("%PROGRAMDATA%")},
                  {"Languages", REG_MULTI_SZ, Multi("en", "de")},
                  {"Stamp", REG_QWORD, QByteArray("\x00\x10\x00\x00\x00\x00\x00\x00", 8)},
                  {"Blob", REG_BINARY, QByteArray("\xde\xad\xbe\xef", 4)}});
    ExpectValues(hive, "HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Tavlo Software",
                 {{"Language", REG_SZ, Utf16LeWithNul("日本語")}});
}

TEST(Hive, KeyTreesAreWholeComponents) {
    CHive hive;
    for (const char* key : {"HKCU\\A\\B\\C", "HKCU\\A\\B2", "HKCU\\AB", "HKLM\\A\\B"})
        hive.CreateKey(key);
    EXPECT_TRUE(hive.KeyExists("HKCU\\A")); // only implied by A\B\C
    EXPECT_FALSE(hive.KeyExists("HKCU\\A\\B\\C\\D"));
    EXPECT_EQ(hive.SubKeyNames("HKCU\\A"), (QStringList{"B", "B2"}));
    EXPECT_TRUE(hive.DeleteKeyTree("HKCU\\A\\B"));
    EXPECT_FALSE(hive.KeyExists("HKCU\\A\\B\\C"));
    for (const char* key : {"HKCU\\A\\B2", "HKCU\\AB", "HKLM\\A\\B"})
        EXPECT_TRUE(hive.KeyExists(key)) << key;
    EXPECT_FALSE(hive.DeleteKeyTree("HKCU\\Missing"));
}

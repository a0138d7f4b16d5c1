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

// What query, export and the settings functions see of a key: every value in the order
// query lists them, each also found by name with the same data. "absent" when there is no key.
std::string Dump(const CHive& hive, const QString& key) {
    if (!hive.KeyExists(key))
        return "absent";
    QStringList lines;
    for (const CHive::Value* value : hive.Values(key)) {
        lines += CHive::FormatValue(*value);
        const CHive::Value* found = hive.FindValue(key, value->name.toUpper());
        if (found == nullptr || found->data != value->data || found->type != value->type)
            lines +=
                QStringLiteral("(found by name: %1)")
                    .arg(found == nullptr ? QStringLiteral("nothing") : CHive::FormatValue(*found));
    }
    return lines.join(u'\n').toStdString();
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
    EXPECT_TRUE(reread.SkippedLines().isEmpty()) << text.constData();
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
    EXPECT_TRUE(hive.HasHeader() && hive.IsLossless() && hive.SkippedLines().isEmpty());
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

// Each text is read by every reader alike, and a write of the value "W" (or of a value that is
// there already) changes that value alone and leaves a file that reads the same way.
TEST(Hive, ReadersAgreeBeforeAndAfterAWrite) {
    struct Row {
        const char* name;
        QByteArray text;
        QString key;
        std::string before;
        const char* written; // the name of the value set to "new"
        std::string after;
        // Pieces of the written file and how often each must occur in it.
        std::vector<std::pair<QByteArray, int>> counts;
        int unread = 0; // lines neither comments nor sections nor values
    };
    const QByteArray head = "Windows Registry Editor Version 5.00\r\n\r\n";
    const QString acc = "HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVEX Technologies\\ACC";
    const QString key = "HKEY_CURRENT_USER\\Software\\T";
    const QByteArray section = "[HKEY_CURRENT_USER\\Software\\T]\n";
    auto utf16 = [](const QString& text) { return Utf16LeWithNul(text).chopped(2); };
    const Row rows[] = {
        {"CommentEndingInBackslash",
         head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tools]\n; installed to C:\\Tools\\\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVEX Technologies\\ACC]\n"
                "\"InternetAccess\"=dword:00000000\n",
         acc,
         "\"InternetAccess\"=dword:00000000",
         "W",
         "\"InternetAccess\"=dword:00000000\n\"W\"=\"new\"",
         {{"[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVEX Technologies\\ACC]", 1}}},
        {"FileEndsInCommentWithBackslash",
         head + section + "\"A\"=\"a\"\n; C:\\",
         key,
         "\"A\"=\"a\"",
         "W",
         "\"A\"=\"a\"\n\"W\"=\"new\"",
         {{"; C:\\\n", 1}}},
        {"HexContinuation",
         head + section + "\"Blob\"=hex:01,02,\\\n  03,04\n\"N\"=\"n\"\n",
         key,
         "\"Blob\"=hex:01,02,03,04\n\"N\"=\"n\"",
         "N",
         "\"Blob\"=hex:01,02,03,04\n\"N\"=\"new\"",
         {}},
        {"ContinuationIsBytesOnly",
         head + section + "\"Blob\"=hex:01,\\\n,02\n\"D\"=dword:1234\\\n5678\n\"N\"=\"n\"\n",
         key,
         "\"N\"=\"n\"",
         "N",
         "\"N\"=\"new\"",
         {{"5678\n", 1}, {",02\n", 1}},
         4},
        {"SyntaxWindowsAccepts",
         head + section + "# note\n\"D\"=dword: 0000000a\n\"Blob\"=hex:01,\\\n\n  02\n",
         key,
         "\"D\"=dword:0000000a\n\"Blob\"=hex:01,02",
         "W",
         "\"D\"=dword:0000000a\n\"Blob\"=hex:01,02\n\"W\"=\"new\"",
         {{"# note\n", 1}}},
        {"UnfinishedHexKeepsNextSection",
         head + "[HKEY_CURRENT_USER\\Software\\O]\n\"Blob\"=hex:01,\\\n" + section +
             "\"A\"=\"a\"\n",
         key,
         "\"A\"=\"a\"",
         "A",
         "\"A\"=\"new\"",
         {{"[HKEY_CURRENT_USER\\Software\\T]", 1}},
         1},
        {"Regedit4StringsAreEightBit",
         "REGEDIT4\r\n\r\n" + section +
             "\"Path\"=hex(2):25,53,59,53,25,00\r\n\"List\"=hex(7):61,00,62,00,00\r\n",
         key,
         "\"Path\"=hex(2):25,00,53,00,59,00,53,00,25,00,00,00\n"
         "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00",
         "W",
         "\"Path\"=hex(2):25,00,53,00,59,00,53,00,25,00,00,00\n"
         "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\n\"W\"=\"new\"",
         {{"REGEDIT4\n", 1}, {"Version 5", 0}, {"hex(2):25,53,59,53,25,00\n", 1}}},
        {"Utf16WithoutMark",
         utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\T]\r\n"
               "\"A\"=\"Zürich 日本\"\r\n"),
         key,
         "\"A\"=\"Zürich 日本\"",
         "W",
         "\"A\"=\"Zürich 日本\"\n\"W\"=\"new\"",
         {{QByteArray(1, '\0'), 0}, {"\"A\"=\"Z\xc3\xbcrich \xe6\x97\xa5\xe6\x9c\xac\"\n", 1}}},
        {"DuplicateValueLastWins",
         head + section + "\"A\"=\"first\"\n\"B\"=\"b\"\n\"A\"=\"last\"\n",
         key,
         "\"A\"=\"last\"\n\"B\"=\"b\"",
         "a",
         "\"A\"=\"new\"\n\"B\"=\"b\"",
         {{"\"A\"=", 1}}},
        {"DuplicateSectionLastWins",
         head + section + "\"A\"=\"1\"\n\"B\"=\"b\"\n\n[hkcu\\SOFTWARE\\t]\n\"a\"=\"2\"\n",
         key,
         "\"a\"=\"2\"\n\"B\"=\"b\"",
         "A",
         "\"a\"=\"new\"\n\"B\"=\"b\"",
         {{"\"a\"=", 1}, {"\"A\"=", 0}}},
        {"LaterDeletionWins",
         head + section + "\"A\"=\"x\"\n\"B\"=\"b\"\n\"A\"=-\n",
         key,
         "\"B\"=\"b\"",
         "A",
         "\"B\"=\"b\"\n\"A\"=\"new\"",
         {{"\"A\"=", 1}}},
        {"SectionAfterKeyDeletion",
         head + section + "\"A\"=\"x\"\n\n[-HKEY_CURRENT_USER\\Software]\n\n" + section +
             "\"B\"=\"b\"\n",
         key,
         "\"B\"=\"b\"",
         "A",
         "\"B\"=\"b\"\n\"A\"=\"new\"",
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CHive hive;
        hive.Parse(row.text);
        EXPECT_EQ(Dump(hive, row.key), row.before);
        EXPECT_EQ(hive.SkippedLines().size(), row.unread);
        if (!hive.IsLossless()) {
            ADD_FAILURE() << "refused for writing";
            continue;
        }
        hive.SetValue(row.key, {row.written, REG_SZ, Utf16LeWithNul("new")});
        EXPECT_EQ(Dump(hive, row.key), row.after);
        const QByteArray written = hive.Serialize();
        CHive reread;
        reread.Parse(written);
        EXPECT_EQ(Dump(reread, row.key), row.after) << written.constData();
        for (const auto& [piece, count] : row.counts)
            EXPECT_EQ(written.count(piece), count) << piece.constData() << "\n"
                                                   << written.constData();
    }
}

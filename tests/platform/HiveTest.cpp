#include "platform/Hive.h"

#include "support/Sandbox.h"

namespace {
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
            lines += QStringLiteral("(found by name: %1)")
                         .arg(found ? CHive::FormatValue(*found) : QStringLiteral("nothing"));
    }
    return lines.join(u'\n').toStdString();
}
} // namespace

// The program's hives hold whatever an administrator or another tool saved in them (the import
// rules themselves are pinned down with orvex-reg). Each text is read by every reader alike, and
// a write of one value changes that value alone and leaves a file that reads the same way.
TEST(Hive, ReadersAgreeBeforeAndAfterAWrite) {
    struct Row {
        const char* name;
        QByteArray text;
        std::string before;
        const char* written; // the name of the value set to "new"
        std::string after;
        // Pieces of the written file and how often each must occur in it.
        std::vector<std::pair<QByteArray, int>> counts;
        int unread = 0; // lines neither comments nor sections nor values
    };
    const QByteArray head = "Windows Registry Editor Version 5.00\r\n\r\n";
    const QByteArray section = "[HKEY_CURRENT_USER\\Software\\T]\n";
    const QByteArray utf16 =
        Utf16Le(QString::fromUtf8(head + section + "\"A\"=\"Zürich 日本\"\r\n"), false);
    // clang-format off
    const Row rows[] = {
        // A comment ending in a backslash continues nothing: the section after it stays one.
        {"CommentsEndingInBackslash",
         head + "[HKEY_CURRENT_USER\\Software\\O]\n; C:\\Tools\\\n" + section + "\"A\"=\"a\"\n; C:\\",
         "\"A\"=\"a\"", "W", "\"A\"=\"a\"\n\"W\"=\"new\"", {{section, 1}, {"; C:\\\n", 1}}},
        {"UnfinishedHexKeepsNextSection",
         head + "[HKEY_CURRENT_USER\\Software\\O]\n\"Blob\"=hex:01,\\\n" + section + "\"A\"=\"a\"\n",
         "\"A\"=\"a\"", "A", "\"A\"=\"new\"", {{section, 1}}, 1},
        {"Regedit4StringsAreEightBit",
         "REGEDIT4\r\n\r\n" + section + "\"Path\"=hex(2):25,53,59,53,25,00\r\n",
         "\"Path\"=hex(2):25,00,53,00,59,00,53,00,25,00,00,00", "W",
         "\"Path\"=hex(2):25,00,53,00,59,00,53,00,25,00,00,00\n\"W\"=\"new\"",
         {{"REGEDIT4\n", 1}, {"Version 5", 0}, {"hex(2):25,53,59,53,25,00\n", 1}}},
        {"Utf16WithoutMark", utf16, "\"A\"=\"Zürich 日本\"", "W", "\"A\"=\"Zürich 日本\"\n\"W\"=\"new\"",
         {{QByteArray(1, '\0'), 0}, {"\"A\"=\"Z\xc3\xbcrich \xe6\x97\xa5\xe6\x9c\xac\"\n", 1}}},
        {"DuplicateValueLastWins", head + section + "\"A\"=\"first\"\n\"B\"=\"b\"\n\"A\"=\"last\"\n",
         "\"A\"=\"last\"\n\"B\"=\"b\"", "a", "\"A\"=\"new\"\n\"B\"=\"b\"", {{"\"A\"=", 1}}},
        {"DuplicateSectionLastWins",
         head + section + "\"A\"=\"1\"\n\"B\"=\"b\"\n\n[hkcu\\SOFTWARE\\t]\n\"a\"=\"2\"\n",
         "\"a\"=\"2\"\n\"B\"=\"b\"", "A", "\"a\"=\"new\"\n\"B\"=\"b\"", {{"\"a\"=", 1}, {"\"A\"=", 0}}},
        {"LaterDeletionWins", head + section + "\"A\"=\"x\"\n\"B\"=\"b\"\n\"A\"=-\n",
         "\"B\"=\"b\"", "A", "\"B\"=\"b\"\n\"A\"=\"new\"", {{"\"A\"=", 1}}},
    };
    // clang-format on
    const QString key = "HKEY_CURRENT_USER\\Software\\T";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CHive hive;
        hive.Parse(row.text);
        EXPECT_EQ(Dump(hive, key), row.before);
        EXPECT_EQ(hive.SkippedLines().size(), row.unread);
        ASSERT_TRUE(hive.IsLossless()) << "refused for writing";
        hive.SetValue(key, {row.written, REG_SZ, Utf16LeWithNul("new")});
        EXPECT_EQ(Dump(hive, key), row.after);
        const QByteArray written = hive.Serialize();
        CHive reread;
        reread.Parse(written);
        EXPECT_EQ(Dump(reread, key), row.after) << written.constData();
        for (const auto& [piece, count] : row.counts)
            EXPECT_EQ(written.count(piece), count) << piece.constData() << "\n"
                                                   << written.constData();
    }
}

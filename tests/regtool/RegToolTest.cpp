// orvex-reg as an administrator runs it, on a sandbox's hive files: in process for the rules of
// each command, as the built program where the process itself is under test.
#include "regtool/RegTool.h"
#include "platform/DurableFile.h"
#include "platform/FdGuard.h"
#include "platform/Settings.h"
#include "support/ProgramRun.h"

#include <numeric>

#include <fcntl.h>
#include <sys/file.h>

using namespace Qt::StringLiterals;

const QString kT = QStringLiteral("HKCU\\Software\\T");
const QString kAcc = QStringLiteral("HKLM\\SOFTWARE\\ORVEX Technologies\\ACC");
const QString kV5 = QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n");
const QString kSection = QStringLiteral("[HKEY_CURRENT_USER\\Software\\T]\r\n");

struct Result {
    int exitCode = -1;
    QString out, err;
};

static Result Reg(const QStringList& arguments, QString input = {}) {
    Result result;
    {
        QTextStream out(&result.out), err(&result.err), in(&input);
        result.exitCode = CRegTool().Run(arguments, out, err, in);
    } // the streams flush as they go
    return result;
}

// Every key of the tree below HKCU\Software\T as "[\name]" with its values as the user hive
// holds them, then those below HKEY_CLASSES_ROOT in the machine hive as "[HKCR\name]";
// "absent" without any.
static std::string Dump(const Sandbox& sandbox) {
    const struct {
        const char* file;
        QString top, shown;
    } trees[] = {{"user.reg", kT, ""}, {"machine.reg", "HKCR", "HKCR"}};
    QStringList lines;
    for (const auto& [file, top, shown] : trees) {
        const CHive hive = sandbox.Hive(file);
        const QStringList keys = hive.KeyTree(top);
        // The root itself is left out.
        for (qsizetype i = shown.isEmpty() ? 0 : 1; i < keys.size(); ++i) {
            lines += u'[' + shown + keys[i].mid(CHive::CanonicalKeyName(top).size()) + u']';
            for (const CHive::Value* value : hive.Values(keys[i]))
                lines += CHive::FormatValue(*value);
        }
    }
    return lines.isEmpty() ? "absent" : lines.join(u'\n').toStdString();
}

// Each file of data/import is imported once as 8-bit text and once as UTF-16LE with a
// byte-order mark, into an empty user hive, and must give the same exit code, values and
// skipped lines.
TEST(RegTool, ImportsAsWindowsDoesLineByLine) {
    // skipped: the "line N: why" lines on standard error, by number.
    // clang-format off
    const struct { const char* name; int exitCode; QString values; QList<int> skipped; } rows[] = {
        {"CommentsBlanksAndSpaces", 0, "[]\n\"A\"=\"x\"\n\"D\"=dword:0000000b\n\"H\"=hex:01,02\n\"L\"=hex:03", {}},
        // Continuation belongs to hex data, and the next line must start with a byte.
        {"SkippedLinesAndTheRestApplied", 0, "[]\n\"OK\"=\"ok\"", {3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
        // Of every type, hex data goes on past blank and ";" lines into the next line; one
        // without a byte is taken up with the value (a section too: "Here" goes into T).
        // The end of the file ends the data; a value before the first key is not read at all.
        {"Continuations", 0, "[]\n\"Here\"=\"in T\"\n\"Q\"=hex(b):01,02,03,04,05,06,07,08\n\"Kept\"=\"k\"\n\"End\"=hex(abc):01", {3, 5, 6, 7, 8, 9, 10, 12, 13, 14, 16}},
        // \0 ends the string; \n and \r are line breaks; any other backslash is itself.
        {"StringEscapes", 0, "[]\n\"Z\"=\"ab\"\n\"N\"=hex(1):61,00,0a,00,62,00,00,00\n\"P\"=\"C:\\\\Tools\"", {}},
        // A deletion under a skipped key is told; separators at the end of a name go.
        {"KeyNames", 0, "[]\n[\\Four]\n\"C\"=\"4\"\n[\\https://x.org:8080]\n@=\"u\"\n[\\Sub]\n\"A\"=\"1\"\n[\\Two]\n\"B\"=\"2\"", {7, 8, 9, 10, 11, 12, 13}},
        {"Deletions", 0, "[]\n\"B\"=\"b\"", {7, 10, 11}},
        {"Regedit4", 0, "[]\n\"S\"=\"Z\u00fcrich\"\n\"E\"=hex(2):25,00,41,00,25,00,00,00", {}},
        {"NoHeader", 1, "absent", {}},
        // Blanks and tabs around "=" are no part of the default value.
        {"Win31", 0, "[HKCR\\.a]\n@=\"a\"\n[HKCR\\.b]\n@=\"b\"\n[HKCR\\.txt]\n@=\"text file\"", {}},
    };
    // clang-format on
    for (const auto& row : rows) {
        const QString text = QString::fromUtf8(Sandbox::Data(u"import/"_s + row.name + u".reg"_s));
        for (const bool utf16 : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (utf16 ? " (UTF-16)" : " (8-bit)"));
            Sandbox sandbox;
            // 8-bit: Windows' code page where it differs from UTF-8, as Windows writes it.
            sandbox.Write("in.reg", utf16                      ? Utf16Le(text)
                                    : text.contains(u'\u00fc') ? text.toLatin1()
                                                               : text.toUtf8());
            const Result result = Reg({"import", sandbox.Path("in.reg")});
            EXPECT_EQ(result.exitCode, row.exitCode) << result.err.toStdString();
            EXPECT_EQ(Dump(sandbox), row.values.toStdString());
            QList<int> skipped;
            for (const QString& line : result.err.split(u'\n', Qt::SkipEmptyParts))
                if (line.startsWith(QLatin1String("line ")))
                    skipped += line.section(u' ', 1, 1).chopped(1).toInt();
            EXPECT_EQ(skipped, row.skipped) << result.err.toStdString();
        }
    }
    // 8-bit text that is not UTF-8 is Windows' code page, which differs from Latin-1 here.
    Sandbox sandbox;
    QByteArray high;
    for (int byte = 0x80; byte < 0xa0; ++byte)
        high += char(byte);
    sandbox.Write("in.reg",
                  "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\T]\r\n\"W\"=\"" + high + "\"\r\n");
    EXPECT_EQ(Reg({"import", sandbox.Path("in.reg")}).exitCode, 0);
    EXPECT_EQ(Dump(sandbox), u"[]\n\"W\"=\"\u20ac\u0081\u201a\u0192\u201e\u2026\u2020\u2021\u02c6"
                             u"\u2030\u0160\u2039\u0152\u008d\u017d\u008f\u0090\u2018\u2019"
                             u"\u201c\u201d\u2022\u2013\u2014\u02dc\u2122\u0161\u203a\u0153"
                             u"\u009d\u017e\u0178\""_s.toStdString());
}

// Windows finds the header only where the file starts: a blank first line refuses the file,
// and so do blanks before the header unless a byte-order mark comes first.
TEST(RegTool, ImportFindsTheHeaderOnlyWhereTheFileStarts) {
    const QString file = "Windows Registry Editor Version 5.00\r\n" + kSection + "\"A\"=\"a\"\r\n";
    // clang-format off
    const struct { const char* name; QByteArray bytes; int exitCode; } rows[] = {
        {"BlankFirstLine8Bit", ("\r\n" + file).toUtf8(), 1}, {"BlankFirstLineUtf16", Utf16Le("\r\n" + file), 1},
        {"Blank8Bit", (" " + file).toUtf8(), 1}, {"TabUtf16WithoutMark", Utf16Le("\t" + file, false), 1},
        {"Utf16WithoutMark", Utf16Le(file, false), 0}, {"BlanksAfterMark", Utf16Le("  " + file), 0},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Sandbox sandbox;
        sandbox.Write("in.reg", row.bytes);
        const Result result = Reg({"import", sandbox.Path("in.reg")});
        EXPECT_EQ(result.exitCode, row.exitCode) << result.err.toStdString();
        EXPECT_EQ(Dump(sandbox), row.exitCode == 0 ? "[]\n\"A\"=\"a\"" : "absent");
    }
}

// Each command runs on a user hive holding T (default "def", A), T\Sub (A, B), T\Sub\Deep and
// T\Sub2, whose name starts with that of T\Sub.
TEST(RegTool, CommandsAsWindowsTakesThem) {
    // output: found on standard output after success, on standard error after failure; the
    // whole output when it starts with a line end. values: the tree afterwards, empty when
    // unchanged.
    // clang-format off
    struct Row { const char* name; QStringList arguments; int exitCode; QString output, values = {}, input = {}; };
    // clang-format on
    const QString sub = kT + "\\Sub";
    const QString base = "[]\n@=\"def\"\n\"A\"=\"a\"\n[\\Sub]\n\"A\"=\"sub\"\n\"B\"=\"b\"\n"
                         "[\\Sub\\Deep]\n[\\Sub2]";
    auto z = [&](const char* value) { return base + "\n[\\Z]\n" + value; };
    // clang-format off
    const Row rows[] = {
        {"AddDefaultWithoutV", {"add", kT, "/d", "x", "/f"}, 0, "", QString(base).replace("def", "x")},
        {"AddOverwriteRefused", {"add", kT, "/v", "A", "/d", "b"}, 1, "cancelled", "", "no\n"},
        {"AddBigEndian", {"add", kT + "\\Z", "/v", "E", "/t", "REG_DWORD_BIG_ENDIAN", "/d", "1"}, 0, "", z("\"E\"=hex(5):01,00,00,00")},
        {"AddDwordWithoutData", {"add", kT, "/v", "N", "/t", "REG_DWORD", "/f"}, 1, "needs its data"},
        {"AddBigEndianWithoutData", {"add", kT, "/v", "N", "/t", "REG_DWORD_BIG_ENDIAN", "/f"}, 1, "needs its data"},
        {"AddQwordNegativeHex", {"add", kT, "/v", "Q", "/t", "REG_QWORD", "/d", "-0x1", "/f"}, 1, "Invalid data"},
        {"AddLargestDword", {"add", kT + "\\Z", "/ve", "/t", "REG_DWORD_LITTLE_ENDIAN", "/d", "4294967295"}, 0, "", z("@=dword:ffffffff")},
        {"AddOddBinary", {"add", kT + "\\Z", "/v", "B", "/t", "REG_BINARY", "/d", "abc"}, 0, "", z("\"B\"=hex:0a,bc")},
        {"AddQwordMinusOne", {"add", kT + "\\Z", "/v", "Q", "/t", "REG_QWORD", "/d", "-1"}, 0, "", z("\"Q\"=hex(b):ff,ff,ff,ff,ff,ff,ff,ff")},
        {"AddMultiBackslashZero", {"add", kT + "\\Z", "/v", "M", "/t", "REG_MULTI_SZ", "/d", "a\\0b\\0"}, 0, "", z("\"M\"=hex(7):61,00,00,00,62,00,00,00,00,00")},
        {"AddMultiEmptyItem", {"add", kT, "/v", "M", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"}, 1, "Invalid data"},
        {"AddDwordTooLarge", {"add", kT, "/v", "X", "/t", "REG_DWORD", "/d", "4294967296"}, 1, "Invalid"},
        {"AddRootOfMachineRefused", {"add", "HKLM\\", "/v", "X", "/d", "y", "/f"}, 1, "denied"},
        {"AddSlashIsAName", {"add", kT + "\\https://example.org", "/f"}, 0, "", QString(base).replace("[\\Sub]", "[\\https://example.org]\n@=\"\"\n[\\Sub]")},
        {"RepeatedData", {"add", kT, "/v", "A", "/d", "1", "/d", "2"}, 1, "Invalid syntax"},
        {"QueryKey", {"query", kT}, 0, "\nHKEY_CURRENT_USER\\Software\\T\n    (Default)    REG_SZ    def\n"
             "    A    REG_SZ    a\n\nHKEY_CURRENT_USER\\Software\\T\\Sub\nHKEY_CURRENT_USER\\Software\\T\\Sub2\n"},
        {"QueryValueBelow", {"query", kT, "/v", "a", "/s"}, 0, "\nHKEY_CURRENT_USER\\Software\\T\n    A    REG_SZ    a\n\n"
             "HKEY_CURRENT_USER\\Software\\T\\Sub\n    A    REG_SZ    sub\n\nEnd of search: 2 match(es) found.\n"},
        {"QueryAbsentValue", {"query", kT, "/v", "Nope"}, 1, "unable to find"},
        {"QueryKeyWithoutValues", {"query", kT + "\\Sub2"}, 0, "\n"},
        {"DeleteAbsentValue", {"delete", kT, "/v", "Nope", "/f"}, 1, "unable to find"},
        {"DeleteAbsentKey", {"delete", kT + "\\Nope", "/f"}, 1, "unable to find"},
        {"DeleteValue", {"delete", sub, "/v", "B", "/f"}, 0, "", QString(base).remove("\"B\"=\"b\"\n")},
        {"DeleteAllValues", {"delete", kT, "/va", "/f"}, 0, "", QString(base).remove("@=\"def\"\n\"A\"=\"a\"\n")},
        {"DeleteKeyAsked", {"delete", sub}, 0, "", "[]\n@=\"def\"\n\"A\"=\"a\"\n[\\Sub2]", "yes\n"},
        {"DeleteRoot", {"delete", "HKCU", "/f"}, 1, "root key"},
        {"ImportAbsentFile", {"import", "absent.reg"}, 1, "Cannot read"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Sandbox sandbox;
        ASSERT_EQ(Reg({"import", ORVEX_TEST_DATA_DIR "/base.reg"}).exitCode, 0);
        QDir::setCurrent(sandbox.Root());
        const Result result = Reg(row.arguments, row.input);
        EXPECT_EQ(result.exitCode, row.exitCode) << result.err.toStdString();
        const QString& output = row.exitCode == 0 ? result.out : result.err;
        if (row.output.startsWith(u'\n'))
            EXPECT_EQ(output.toStdString(), row.output.toStdString());
        else
            EXPECT_TRUE(output.contains(row.output)) << output.toStdString();
        EXPECT_EQ(Dump(sandbox), (row.values.isEmpty() ? base : row.values).toStdString());
    }
}

// What export writes is what Windows writes for the same values, byte for byte, and it
// imports back to the same values, whatever their type; text that is not one terminated line
// goes as hex, so no byte is lost.
TEST(RegTool, ExportIsWindowsFormAndImportsBack) {
    Sandbox sandbox;
    QByteArray longBytes(60, 0);
    std::iota(longBytes.begin(), longBytes.end(), 0);
    const QString key = "HKEY_CURRENT_USER\\Software\\T";
    // clang-format off
    const std::pair<CHive::Value, const char*> values[] = {
        {{"", REG_SZ, Utf16LeWithNul("default")}, "@=\"default\""},
        {{"Text", REG_SZ, Utf16LeWithNul("with \"quotes\" and \\ slash")}, "\"Text\"=\"with \\\"quotes\\\" and \\\\ slash\""},
        {{"Größe", REG_SZ, Utf16LeWithNul("日本語")}, "\"Größe\"=\"日本語\""},
        {{"NoNul", REG_SZ, QByteArray("a\0b\0", 4)}, "\"NoNul\"=hex(1):61,00,62,00"},
        {{"Lines", REG_SZ, Utf16LeWithNul("a\r\nb")}, "\"Lines\"=hex(1):61,00,0d,00,0a,00,62,00,00,00"},
        {{"Number", REG_DWORD, QByteArray("\xff\xff\xff\xff", 4)}, "\"Number\"=dword:ffffffff"},
        {{"Short", REG_DWORD, QByteArray("\x01", 1)}, "\"Short\"=hex(4):01"},
        {{"Big", REG_QWORD, QByteArray("\x88\x77\x66\x55\x44\x33\x22\x11", 8)}, "\"Big\"=hex(b):88,77,66,55,44,33,22,11"},
        {{"Path", REG_EXPAND_SZ, Utf16LeWithNul("%T%")}, "\"Path\"=hex(2):25,00,54,00,25,00,00,00"},
        {{"List", REG_MULTI_SZ, Utf16LeWithNul("a") + Utf16LeWithNul("b") + QByteArray(2, 0)}, "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00"},
        {{"Long", REG_BINARY, longBytes}, "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
                                          "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\r\n"
                                          "  2f,30,31,32,33,34,35,36,37,38,39,3a,3b"},
        // Stored by add as a REG_DWORD is, with the type alone differing.
        {{"BigEnd", 5, QByteArray("\x78\x56\x34\x12", 4)}, "\"BigEnd\"=hex(5):78,56,34,12"},
        // No bytes at all reads back as the empty string with its terminator.
        {{"Empty", REG_SZ, QByteArray()}, "\"Empty\"=\"\""},
        {{"Terminator", REG_SZ, QByteArray(2, 0)}, "\"Terminator\"=\"\""},
        {{"Odd", 0x1234, QByteArray("\x01", 1)}, "\"Odd\"=hex(1234):01"},
    };
    // clang-format on
    QString expected = kV5 + kSection;
    const auto fill = [&](CHive& hive) {
        for (const auto& [value, line] : values)
            hive.SetValue(key, value);
        for (const char* sub : {"\\ab", "\\a_b", "\\ab\\c"})
            hive.CreateKey(key + sub);
        return ERROR_SUCCESS;
    };
    ASSERT_EQ(CFileSettingsStore().EditHive(HKEY_CURRENT_USER, fill), ERROR_SUCCESS);
    for (const auto& [value, line] : values)
        expected += QString::fromUtf8(line) + "\r\n";
    for (const char* sub : {"\\ab", "\\ab\\c", "\\a_b"}) // sorted as Windows sorts them
        expected += "\r\n[" + key + sub + "]\r\n";
    ASSERT_EQ(Reg({"export", "hkcu\\Software\\T", sandbox.Path("t.reg")}).exitCode, 0);
    const QByteArray exported = sandbox.Read("t.reg");
    EXPECT_EQ(exported, Utf16Le(expected + "\r\n"));
    EXPECT_TRUE(
        Reg({"query", key, "/v", "BigEnd"}).out.contains("REG_DWORD_BIG_ENDIAN    0x12345678\n"));
    const std::string stored = QString::fromStdString(Dump(sandbox))
                                   .replace("\"Empty\"=hex(1):\n", "\"Empty\"=\"\"\n")
                                   .toStdString();
    ASSERT_EQ(Reg({"delete", key, "/f"}).exitCode, 0);
    ASSERT_EQ(Reg({"import", sandbox.Path("t.reg")}).exitCode, 0);
    EXPECT_EQ(Dump(sandbox), stored);
    // An existing file is replaced only on request.
    EXPECT_EQ(Reg({"export", key + "\\ab", sandbox.Path("t.reg")}, "n\n").exitCode, 1);
    EXPECT_EQ(sandbox.Read("t.reg"), exported);
    EXPECT_EQ(Reg({"export", key + "\\ab", sandbox.Path("t.reg"), "-Y"}).exitCode, 0);
    EXPECT_NE(sandbox.Read("t.reg"), exported);
}

// The machine hive is readable by everyone and writable by its owner alone: an ordinary user
// (nobody, in a child, when the tests run as root) is refused as Windows refuses one, and the
// hive stays as it was. Nor may that user take the hive's lock, which would hold every writer
// off: only those who may write the hive may open it.
TEST(RegTool, OrdinaryUserCannotChangeTheMachineHive) {
    Sandbox sandbox;
    ASSERT_EQ(Reg({"add", kAcc, "/v", "Keep", "/d", "me"}).exitCode, 0);
    const QByteArray before = sandbox.Read("machine.reg");
    const QByteArray lock = QFile::encodeName(sandbox.Path("machine.reg.lock"));
    ASSERT_TRUE(QFile::exists(lock));
    using P = QFileDevice;
    const auto readable = P::ReadOwner | P::ReadGroup | P::ReadOther;
    QFile::setPermissions(sandbox.Root(), readable | P::ExeOwner | P::ExeGroup | P::ExeOther);
    QFile::setPermissions(sandbox.Path("machine.reg"), readable | P::WriteOwner);
    const bool root = ::geteuid() == 0;
    const int exitCode = Wait(Fork([&] {
        if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 100;
        for (const int flags : {O_RDONLY, O_RDWR})
            if (const FdGuard fd(::open(lock.constData(), flags | O_CLOEXEC));
                root && fd.Get() >= 0 && ::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0)
                return 2;
        const Result add = Reg({"add", kAcc, "/v", "Keep", "/d", "you", "/f"});
        return add.exitCode == 1 && add.err == "ERROR: Access is denied.\n" ? 0 : 1;
    }));
    QFile::setPermissions(sandbox.Root(), P::ReadOwner | P::WriteOwner | P::ExeOwner);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(sandbox.Read("machine.reg"), before);
}

// A rewrite must be on the disk before it takes the hive's place, and so must the rename, or
// a power cut can leave an empty or an old hive. The built orvex-reg runs with a library
// preloaded that records its calls.
TEST(RegTool, RewriteReachesTheDiskBeforeItReplacesTheHive) {
    Sandbox sandbox;
    ASSERT_EQ(Reg({"add", kT, "/v", "A", "/d", "1", "/f"}).exitCode, 0);
    const QString root = QFileInfo(sandbox.Root()).canonicalFilePath();
    QProcessEnvironment env = ProgramEnvironment(sandbox, {});
    env.insert("ORVEX_ROOT", root);
    env.insert("LD_PRELOAD", ORVEX_CALL_RECORDER);
    env.insert("ORVEX_CALL_LOG", root + "/calls.log");
    // A sanitizer runtime wants to be the first library; here the recorder is.
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    const Outcome run =
        RunProgram(ORVEX_BINARY_DIR "/orvex-reg", {"add", kT, "/v", "A", "/d", "2", "/f"}, env);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    const std::string log = sandbox.Read("calls.log").toStdString();
    const QStringList calls = QString::fromStdString(log).split(u'\n');
    qsizetype renamed = -1;
    QString temporary;
    for (qsizetype i = 0; i < calls.size(); ++i) {
        const QStringList parts = calls[i].split(u'\t');
        if (parts.size() == 3 && parts[0] == "rename" && parts[2] == root + "/user.reg")
            std::tie(renamed, temporary) = std::pair(i, parts[1]);
    }
    ASSERT_GE(renamed, 0) << log;
    EXPECT_TRUE(calls.mid(0, renamed).contains("fsync\t" + temporary)) << log;
    EXPECT_TRUE(calls.mid(renamed + 1).contains("fsync\t" + root)) << log;
}

// A refusal names the file and what is wrong with it, and changes nothing: a change that
// would take a hive past the size cap, another writer's lock held beyond the limit, a hive
// above the size cap, a link to a device.
TEST(RegTool, RefusalsSayWhatIsWrongWithTheHiveAndChangeNothing) {
    Sandbox sandbox;
    auto refused = [](const QStringList& arguments, const QString& message) {
        const Result result = Reg(arguments);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_TRUE(result.err.contains(message)) << result.err.toStdString();
    };
    const QStringList addUser = {"add", kT, "/v", "X", "/d", "y", "/f"};
    ASSERT_EQ(Reg({"add", kAcc, "/v", "Keep", "/d", "me"}).exitCode, 0);
    const QByteArray machine = sandbox.Read("machine.reg");

    // A machine hive just below the cap: what would take it past is refused before anything
    // is written, also the user's half of an import (the user hive is written first). Its
    // bulk is a comment, which every write keeps as it is and costs the least to read.
    const QByteArray head = "Windows Registry Editor Version 5.00\n\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big]\n; ";
    const QByteArray nearlyFull =
        head + QByteArray(CDurableFile::kMaxSize - head.size() - 100, 'x') + "\n";
    sandbox.Write("machine.reg", nearlyFull);
    ASSERT_EQ(Reg(addUser).exitCode, 0);
    const QByteArray user = sandbox.Read("user.reg");
    const QString more(200, u'y');
    sandbox.Write("both.reg", (kV5 + kSection +
                               "\"Small\"=\"s\"\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big]\r\n\"More\"=\"" +
                               more + "\"\r\n")
                                  .toUtf8());
    const struct {
        const char* name;
        QStringList arguments;
    } pastTheCap[] = {
        {"import", {"import", sandbox.Path("both.reg")}},
        {"add", {"add", "HKLM\\SOFTWARE\\Big", "/v", "More", "/d", more, "/f"}},
    };
    for (const auto& [name, arguments] : pastTheCap) {
        SCOPED_TRACE(name);
        const Result result = Reg(arguments);
        EXPECT_EQ(result.exitCode, 1);
        for (const char* part : {"machine.reg: it would grow to ", "past the limit of 64 MiB"})
            EXPECT_TRUE(result.err.contains(part)) << result.err.toStdString();
        EXPECT_TRUE(sandbox.Read("machine.reg") == nearlyFull) << "machine hive changed";
        EXPECT_EQ(sandbox.Read("user.reg"), user);
    }
    // The program's own settings writes are held to the same cap.
    EXPECT_EQ(WriteSettingString(LocalMachine, "SOFTWARE/Big", "More", more, kRegistryMarker),
              ERROR_FILE_TOO_LARGE);
    EXPECT_TRUE(sandbox.Read("machine.reg") == nearlyFull) << "machine hive changed";
    sandbox.Write("machine.reg", machine);
    const QString lockPath = sandbox.Path("machine.reg.lock");
    const FdGuard lock(::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(::flock(lock.Get(), LOCK_EX), 0);
    CDurableFile::SetLockTimeout(std::chrono::milliseconds(200));
    refused({"add", kAcc, "/v", "Keep", "/d", "you", "/f"}, lockPath + u' ');
    CDurableFile::SetLockTimeout(CDurableFile::kDefaultLockTimeout);
    EXPECT_EQ(sandbox.Read("machine.reg"), machine);

    sandbox.Write("user.reg", {});
    const QByteArray userPath = QFile::encodeName(sandbox.Path("user.reg"));
    ASSERT_EQ(::truncate(userPath.constData(), CDurableFile::kMaxSize + 1), 0); // sparse
    refused({"query", kT}, "user.reg is larger than 64 MiB");
    refused(addUser, "user.reg is larger than 64 MiB");
    EXPECT_EQ(QFileInfo(sandbox.Path("user.reg")).size(), CDurableFile::kMaxSize + 1);
    ASSERT_TRUE(QFile::remove(sandbox.Path("user.reg")));
    ASSERT_TRUE(QFile::link("/dev/null", sandbox.Path("user.reg")));
    refused({"query", kT}, "user.reg is not a regular file");
}

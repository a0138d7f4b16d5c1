// orvex-reg end to end: the built program, run as an administrator would run it, on a
// sandbox's hive files.
#include "regtool/RegTool.h"
#include "platform/FdGuard.h"
#include "support/Sandbox.h"

#include "platform/DurableFile.h"

#include <QProcess>
#include <QTemporaryDir>

#include <optional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kAcc = QStringLiteral("HKLM\\SOFTWARE\\ORVEX Technologies\\ACC");
const QString kUser = QStringLiteral("HKCU\\Software\\ORVEX Technologies\\Product Update");

struct Step {
    QStringList arguments;
    int exitCode;
    // Must appear on stdout after success, on stderr after failure.
    const char* output = "";
    const char* input = "";
};

// Runs the steps in turn; as nobody when asked and running as root, who may write anything.
// Each inherits the sandbox's ORVEX_ROOT.
void RunSteps(const std::vector<Step>& steps, bool asNobody = false) {
    QString program = QStringLiteral(ORVEX_BINARY_DIR "/orvex-reg");
    const bool dropPrivileges = asNobody && ::geteuid() == 0;
    // nobody may not be able to enter the build tree (a clone in root's home folder), so it
    // runs a copy from a fresh folder that everyone may enter, removed with the folder.
    std::optional<QTemporaryDir> reachable;
    if (dropPrivileges) {
        reachable.emplace();
        const QString copy = reachable->filePath(QStringLiteral("orvex-reg"));
        ASSERT_TRUE(QFile::copy(program, copy));
        using P = QFileDevice;
        const auto everyone = P::ReadOwner | P::WriteOwner | P::ExeOwner | P::ReadGroup |
                              P::ExeGroup | P::ReadOther | P::ExeOther;
        ASSERT_TRUE(QFile::setPermissions(reachable->path(), everyone));
        ASSERT_TRUE(QFile::setPermissions(copy, everyone));
        program = copy;
    }
    for (const Step& step : steps) {
        QProcess process;
        if (dropPrivileges) {
            process.setWorkingDirectory(reachable->path());
            process.setChildProcessModifier([] {
                if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                    ::_exit(100);
            });
        }
        process.start(program, step.arguments);
        process.write(step.input);
        process.closeWriteChannel();
        EXPECT_TRUE(process.waitForFinished(60000));
        const QString output = QString::fromUtf8(
            step.exitCode == 0 ? process.readAllStandardOutput() : process.readAllStandardError());
        const std::string label = step.arguments.join(u' ').toStdString();
        EXPECT_EQ(process.exitCode(), step.exitCode) << label << "\n" << output.toStdString();
        EXPECT_TRUE(output.contains(step.output)) << label << "\n" << output.toStdString();
    }
}
} // namespace

namespace {
const QString kT = QStringLiteral("HKCU\\Software\\T");

struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

Result Reg(const QStringList& arguments, QString input = {}) {
    Result result;
    QTextStream out(&result.out), err(&result.err), in(&input);
    result.exitCode = CRegTool().Run(arguments, out, err, in);
    out.flush();
    err.flush();
    return result;
}

// Every key of the tree below HKCU\Software\T as "[name]" with its values as the user hive
// holds them; "absent" without the key.
std::string Dump(const Sandbox& sandbox) {
    const CHive hive = sandbox.Hive("user.reg");
    QStringList lines;
    for (const QString& key : hive.KeyTree(kT)) {
        lines += u'[' + key.mid(CHive::CanonicalKeyName(kT).size()) + u']';
        for (const CHive::Value* value : hive.Values(key))
            lines += CHive::FormatValue(*value);
    }
    return lines.isEmpty() ? "absent" : lines.join(u'\n').toStdString();
}

QByteArray Utf16WithMark(const QString& text) {
    return "\xff\xfe" + Utf16LeWithNul(text).chopped(2);
}

const QString kV5 = QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n");
const QString kSection = QStringLiteral("[HKEY_CURRENT_USER\\Software\\T]\r\n");
} // namespace

// Each text is imported once as 8-bit text and once as UTF-16LE with a byte-order mark, into
// an empty user hive, and must give the same exit code, values and skipped lines.
TEST(RegTool, ImportsAsWindowsDoesLineByLine) {
    struct Row {
        const char* name;
        QString text;
        int exitCode;
        QString values;
        // The "line N: why" lines on standard error, by number.
        QList<int> skipped;
    };
    const Row rows[] = {
        {"EveryType",
         kV5 + kSection +
             "@=\"default\"\r\n\"S\"=\"a \\\\ \\\"q\\\"\"\r\n\"D\"=dword:0000000a\r\n"
             "\"B\"=hex:01,ff\r\n\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
             "\"E\"=hex(2):25,00,00,00\r\n\"M\"=hex(7):61,00,00,00,00,00\r\n\"N\"=hex(0):\r\n",
         0,
         "[]\n@=\"default\"\n\"S\"=\"a \\\\ \\\"q\\\"\"\n\"D\"=dword:0000000a\n\"B\"=hex:01,ff\n"
         "\"Q\"=hex(b):01,00,00,00,00,00,00,00\n\"E\"=hex(2):25,00,00,00\n"
         "\"M\"=hex(7):61,00,00,00,00,00\n\"N\"=hex(0):",
         {}},
        {"CommentsBlanksAndSpaces",
         kV5 + "# note\r\n" + kSection +
             "\"A\"=\"x\" ;note\r\n\"D\"=dword: 0000000b ; n\r\n"
             "\"H\"=hex:01,\\ ;more\r\n\r\n; inside\r\n  02 ;end\r\n\"L\"=hex:03\r\n",
         0,
         "[]\n\"A\"=\"x\"\n\"D\"=dword:0000000b\n\"H\"=hex:01,02\n\"L\"=hex:03",
         {}},
        // Continuation belongs to hex data, and the next line must start with a byte.
        {"SkippedLinesAndTheRestApplied",
         kV5 + "\"Early\"=\"x\"\r\n" + kSection +
             "\"Bad\"=dword:nothex\r\n\"Up\"=DWORD:1\r\n\"V\"=dword:1234\\\r\n5678\r\n"
             "\"C\"=hex:01,\\\r\n,02\r\n\"G\"=hex:01,\\\r\n\r\n\"K\"=\"kept\"\r\n"
             "\"T\"=str:x\r\n\"U\"=\"C:\\\"\r\n\"W\"=\"w\" junk\r\nnonsense\r\n\"OK\"=\"ok\"\r\n",
         0,
         "[]\n\"K\"=\"kept\"\n\"OK\"=\"ok\"",
         {3, 5, 6, 7, 8, 9, 10, 11, 14, 15, 16, 17}},
        // \0 ends the string; \n and \r are line breaks; any other backslash is itself.
        {"StringEscapes",
         kV5 + kSection + "\"Z\"=\"ab\\0cd\"\r\n\"N\"=\"a\\nb\"\r\n\"P\"=\"C:\\Tools\"\r\n",
         0,
         "[]\n\"Z\"=\"ab\"\n\"N\"=hex(1):61,00,0a,00,62,00,00,00\n\"P\"=\"C:\\\\Tools\"",
         {}},
        {"KeyNames",
         kV5 + "[HKEY_CURRENT_USER\\Software\\T\\Sub\\]\r\n\"A\"=\"1\"\r\n"
               "[hkey_current_user\\Software\\T\\https://x.org:8080] ;c\r\n@=\"u\"\r\n"
               "[HKCU\\Software\\T]\r\n\"Short\"=\"s\"\r\n[HKEY_USERS\\X]\r\n"
               "[HKEY_CURRENT_USER\\Software\\T\\\\E]\r\n[ HKEY_CURRENT_USER\\Software\\T]\r\n"
               "\"Lost\"=\"l\"\r\n",
         0,
         "[]\n[\\https://x.org:8080]\n@=\"u\"\n[\\Sub]\n\"A\"=\"1\"",
         {7, 8, 9, 10, 11, 12}},
        {"Deletions",
         kV5 + kSection +
             "\"A\"=\"a\"\r\n\"B\"=\"b\"\r\n\"A\"=-\r\n\"Never\"=-\r\n"
             "[HKEY_CURRENT_USER\\Software\\T\\Sub]\r\n[-HKEY_CURRENT_USER\\Software\\T\\Sub]\r\n"
             "[-HKEY_CURRENT_USER\\Software\\T\\None]\r\n[-HKEY_CURRENT_USER]\r\n",
         0,
         "[]\n\"B\"=\"b\"",
         {7, 10, 11}},
        {"Regedit4",
         "REGEDIT4\r\n\r\n" + kSection + "\"S\"=\"Z\u00fcrich\"\r\n\"E\"=hex(2):25,41,25,00\r\n",
         0,
         "[]\n\"S\"=\"Z\u00fcrich\"\n\"E\"=hex(2):25,00,41,00,25,00,00,00",
         {}},
        {"Windows31",
         "REGEDIT\r\nHKEY_CLASSES_ROOT\\.t = text file\r\nother\r\n",
         0,
         "absent",
         {3}},
        {"UnknownVersionImportsNothing",
         "REGEDIT4 FOO\r\n\r\n" + kSection + "\"A\"=\"a\"\r\n",
         0,
         "absent",
         {1}},
        {"NoHeader", kSection + "\"A\"=\"a\"\r\n", 1, "absent", {}},
    };
    for (const Row& row : rows) {
        for (const bool utf16 : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (utf16 ? " (UTF-16)" : " (8-bit)"));
            Sandbox sandbox;
            // 8-bit: Windows' code page where it differs from UTF-8, as Windows writes it.
            sandbox.Write("in.reg", utf16                          ? Utf16WithMark(row.text)
                                    : row.text.contains(u'\u00fc') ? row.text.toLatin1()
                                                                   : row.text.toUtf8());
            const Result result = Reg({"import", sandbox.Path("in.reg")});
            EXPECT_EQ(result.exitCode, row.exitCode) << result.err.toStdString();
            EXPECT_EQ(Dump(sandbox), row.values.toStdString());
            QList<int> skipped;
            for (const QString& line : result.err.split(u'\n', Qt::SkipEmptyParts)) {
                if (line.startsWith(QLatin1String("line ")))
                    skipped += line.section(u' ', 1, 1).chopped(1).toInt();
            }
            EXPECT_EQ(skipped, row.skipped) << result.err.toStdString();
        }
    }
    Sandbox sandbox;
    sandbox.Write("in.reg", "REGEDIT\r\nHKEY_CLASSES_ROOT\\.t = text file \r\n");
    ASSERT_EQ(Reg({"import", sandbox.Path("in.reg")}).exitCode, 0);
    EXPECT_EQ(Reg({"query", "HKCR\\.t", "/ve"}).out.toStdString(),
              "\nHKEY_CLASSES_ROOT\\.t\n    (Default)    REG_SZ    text file \n\n");
}

// Each command runs on a user hive holding T (default "def", A), T\Sub (A, B) and T\Sub\Deep.
TEST(RegTool, CommandsAsWindowsTakesThem) {
    struct Row {
        const char* name;
        QStringList arguments;
        int exitCode;
        // Found on standard output after success, on standard error after failure; the whole
        // output when it starts with a line end.
        QString output;
        // The tree afterwards; empty when unchanged.
        QString values = {};
        QString input = {};
    };
    const QString base = "[]\n@=\"def\"\n\"A\"=\"a\"\n[\\Sub]\n\"A\"=\"sub\"\n\"B\"=\"b\"\n"
                         "[\\Sub\\Deep]";
    const QString sub = kT + "\\Sub";
    const Row rows[] = {
        {"AddDefaultWithoutV",
         {"add", kT, "/d", "x", "/f"},
         0,
         "",
         QString(base).replace("def", "x")},
        {"AddKeyAloneSetsEmptyDefault", {"add", kT + "\\Zed"}, 0, "", base + "\n[\\Zed]\n@=\"\""},
        {"AddOverwriteRefused", {"add", kT, "/v", "A", "/d", "b"}, 1, "cancelled", "", "no\n"},
        {"AddDwordWithoutV",
         {"add", kT, "/t", "REG_DWORD", "/d", "0x10", "/f"},
         0,
         "",
         QString(base).replace("@=\"def\"", "@=dword:00000010")},
        {"AddTypes",
         {"add", kT + "\\Z", "/v", "E", "/t", "REG_DWORD_BIG_ENDIAN", "/d", "1"},
         0,
         "",
         base + "\n[\\Z]\n\"E\"=hex(5):00,00,00,01"},
        {"AddNone",
         {"add", kT + "\\Z", "/v", "N", "/t", "reg_none", "/d", "x"},
         0,
         "",
         base + "\n[\\Z]\n\"N\"=hex(0):78,00,00,00"},
        {"AddDwordLittleEndian",
         {"add", kT + "\\Z", "/ve", "/t", "REG_DWORD_LITTLE_ENDIAN", "/d", "4294967295"},
         0,
         "",
         base + "\n[\\Z]\n@=dword:ffffffff"},
        {"AddOddBinary",
         {"add", kT + "\\Z", "/v", "B", "/t", "REG_BINARY", "/d", "abc"},
         0,
         "",
         base + "\n[\\Z]\n\"B\"=hex:0a,bc"},
        {"AddQwordMinusOneAndEmpty",
         {"add", kT + "\\Z", "/v", "Q", "/t", "REG_QWORD", "/d", "-1"},
         0,
         "",
         base + "\n[\\Z]\n\"Q\"=hex(b):ff,ff,ff,ff,ff,ff,ff,ff"},
        {"AddEmptyQword",
         {"add", kT + "\\Z", "/v", "Q", "/t", "REG_QWORD"},
         0,
         "",
         base + "\n[\\Z]\n\"Q\"=hex(b):00,00,00,00,00,00,00,00"},
        {"AddMultiTrailingSeparator",
         {"add", kT + "\\Z", "/v", "M", "/t", "REG_MULTI_SZ", "/s", ",", "/d", "a,b,"},
         0,
         "",
         base + "\n[\\Z]\n\"M\"=hex(7):61,00,00,00,62,00,00,00,00,00"},
        {"AddMultiBackslashZero",
         {"add", kT + "\\Z", "/v", "M", "/t", "REG_MULTI_SZ", "/d", "a\\0b\\0"},
         0,
         "",
         base + "\n[\\Z]\n\"M\"=hex(7):61,00,00,00,62,00,00,00,00,00"},
        {"AddMultiEmptyItem",
         {"add", kT, "/v", "M", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"},
         1,
         "Invalid data"},
        {"AddMultiLeadingSeparator",
         {"add", kT, "/v", "M", "/t", "REG_MULTI_SZ", "/s", ",", "/d", ",a"},
         1,
         "Invalid data"},
        {"AddNegativeDword", {"add", kT, "/v", "X", "/t", "REG_DWORD", "/d", "-1"}, 1, "Invalid"},
        {"AddDwordTooLarge",
         {"add", kT, "/v", "X", "/t", "REG_DWORD", "/d", "4294967296"},
         1,
         "Invalid"},
        {"AddUnknownType", {"add", kT, "/v", "X", "/t", "REG_FLOAT"}, 1, "Unknown value type"},
        {"AddRootOfMachineRefused", {"add", "HKLM\\", "/v", "X", "/d", "y", "/f"}, 1, "denied"},
        {"AddSlashIsAName", {"add", kT + "\\z/b", "/f"}, 0, "", base + "\n[\\z/b]\n@=\"\""},
        {"AddTrailingSeparator",
         {"add", kT + "\\", "/v", "A", "/d", "z", "/f"},
         0,
         "",
         QString(base).replace("\"a\"", "\"z\"")},
        {"RepeatedValueSwitch", {"add", kT, "/v", "A", "/v", "B", "/f"}, 1, "Invalid syntax"},
        {"RepeatedData", {"add", kT, "/v", "A", "/d", "1", "/d", "2"}, 1, "Invalid syntax"},
        {"RepeatedForce", {"add", kT, "/v", "A", "/f", "/f"}, 1, "Invalid syntax"},
        {"ValueAndDefault", {"add", kT, "/v", "X", "/ve"}, 1, "Invalid syntax"},
        {"SwitchOfAnotherVerb", {"query", kT, "/f"}, 1, "Invalid syntax"},
        {"KeyAfterSwitch", {"add", "/v", "X", kT}, 1, "Invalid syntax"},
        {"UnknownVerb", {"frobnicate", kT}, 1, "Invalid syntax"},
        {"VerbHelp", {"delete", "-?"}, 0, "orvex-reg delete KEY"},
        {"HelpNotAlone", {"delete", kT, "/?"}, 1, "Invalid syntax"},
        {"QueryKey",
         {"query", kT},
         0,
         "\nHKEY_CURRENT_USER\\Software\\T\n    (Default)    REG_SZ    def\n"
         "    A    REG_SZ    a\n\nHKEY_CURRENT_USER\\Software\\T\\Sub\n"},
        {"QueryRecursive",
         {"query", sub, "/s"},
         0,
         "\nHKEY_CURRENT_USER\\Software\\T\\Sub\n    A    REG_SZ    sub\n    B    REG_SZ    b\n\n"
         "HKEY_CURRENT_USER\\Software\\T\\Sub\\Deep\n\n"},
        {"QueryOnlySubkeys", {"query", "HKCU\\Software"}, 0, "\nHKEY_CURRENT_USER\\Software\\T\n"},
        {"QueryValueBelow",
         {"query", kT, "/v", "a", "/s"},
         0,
         "\nHKEY_CURRENT_USER\\Software\\T\n    A    REG_SZ    a\n\n"
         "HKEY_CURRENT_USER\\Software\\T\\Sub\n    A    REG_SZ    sub\n\n"
         "End of search: 2 match(es) found.\n"},
        {"QueryUnsetDefault",
         {"query", sub, "/ve"},
         0,
         "\nHKEY_CURRENT_USER\\Software\\T\\Sub\n    (Default)    REG_SZ    (value not set)\n\n"},
        {"QueryAbsentValue", {"query", kT, "/v", "Nope"}, 1, "unable to find"},
        {"DeleteValue",
         {"delete", sub, "/v", "B", "/f"},
         0,
         "",
         "[]\n@=\"def\"\n\"A\"=\"a\"\n[\\Sub]\n\"A\"=\"sub\"\n[\\Sub\\Deep]"},
        {"DeleteAllValues",
         {"delete", kT, "/va", "/f"},
         0,
         "",
         "[]\n[\\Sub]\n\"A\"=\"sub\"\n\"B\"=\"b\"\n[\\Sub\\Deep]"},
        {"DeleteKeyAsked", {"delete", sub}, 0, "", "[]\n@=\"def\"\n\"A\"=\"a\"", "yes\n"},
        {"DeleteRoot", {"delete", "HKCU", "/f"}, 1, "root key"},
        {"DeleteValueAndAll", {"delete", kT, "/v", "A", "/va"}, 1, "Invalid syntax"},
        {"ExportYBeforeFile", {"export", kT, "/y", "x.reg"}, 1, "Invalid syntax"},
        {"ExportWithoutFile", {"export", kT}, 1, "Invalid syntax"},
        {"ExportAbsentKey", {"export", kT + "\\None", "x.reg", "/y"}, 1, "unable to find"},
        {"ImportAbsentFile", {"import", "absent.reg"}, 1, "Cannot read"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Sandbox sandbox;
        sandbox.Write("base.reg",
                      (kV5 + kSection + "@=\"def\"\r\n\"A\"=\"a\"\r\n[" +
                       CHive::CanonicalKeyName(sub) + "]\r\n\"A\"=\"sub\"\r\n\"B\"=\"b\"\r\n[" +
                       CHive::CanonicalKeyName(sub) + "\\Deep]\r\n")
                          .toUtf8());
        ASSERT_EQ(Reg({"import", sandbox.Path("base.reg")}).exitCode, 0);
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
// imports back to the same values, whatever their type.
TEST(RegTool, ExportIsWindowsFormAndImportsBack) {
    Sandbox sandbox;
    QByteArray longBytes;
    for (int i = 0; i < 40; ++i)
        longBytes += char(i);
    const QString key = "HKEY_CURRENT_USER\\Software\\T";
    const std::vector<CHive::Value> values = {
        {"", REG_SZ, Utf16LeWithNul("default")},
        {"Text", REG_SZ, Utf16LeWithNul("with \"quotes\" and \\ slash")},
        {"Empty", REG_SZ, Utf16LeWithNul("")},
        {"Number", REG_DWORD, QByteArray("\xff\xff\xff\xff", 4)},
        {"Big", REG_QWORD, QByteArray("\x88\x77\x66\x55\x44\x33\x22\x11", 8)},
        {"Path", REG_EXPAND_SZ, Utf16LeWithNul("%T%")},
        {"List", REG_MULTI_SZ, Utf16LeWithNul("a") + Utf16LeWithNul("b") + QByteArray(2, 0)},
        {"Long", REG_BINARY, longBytes},
        {"None", REG_NONE, QByteArray()},
        {"Odd", 0x1234, QByteArray("\x01", 1)},
        {"Lines", REG_SZ, Utf16LeWithNul("a\r\nb")},
        {"Short", REG_DWORD, QByteArray("\x01", 1)},
    };
    ASSERT_EQ(CFileSettingsStore().EditHive(HKEY_CURRENT_USER,
                                            [&](CHive& hive) {
                                                for (const CHive::Value& value : values)
                                                    hive.SetValue(key, value);
                                                for (const char* sub : {"\\ab", "\\a_b", "\\ab\\c"})
                                                    hive.CreateKey(key + sub);
                                                return ERROR_SUCCESS;
                                            }),
              ERROR_SUCCESS);
    ASSERT_EQ(Reg({"export", "hkcu\\Software\\T", sandbox.Path("t.reg")}).exitCode, 0);
    const QByteArray exported = sandbox.Read("t.reg");
    EXPECT_EQ(
        exported,
        Utf16WithMark("Windows Registry Editor Version 5.00\r\n\r\n"
                      "[HKEY_CURRENT_USER\\Software\\T]\r\n@=\"default\"\r\n"
                      "\"Text\"=\"with \\\"quotes\\\" and \\\\ slash\"\r\n\"Empty\"=\"\"\r\n"
                      "\"Number\"=dword:ffffffff\r\n\"Big\"=hex(b):88,77,66,55,44,33,22,11\r\n"
                      "\"Path\"=hex(2):25,00,54,00,25,00,00,00\r\n"
                      "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
                      "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,"
                      "15,\\\r\n  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27\r\n"
                      "\"None\"=hex(0):\r\n\"Odd\"=hex(1234):01\r\n"
                      "\"Lines\"=hex(1):61,00,0d,00,0a,00,62,00,00,00\r\n\"Short\"=hex(4):01\r\n"
                      "\r\n[HKEY_CURRENT_USER\\Software\\T\\ab]\r\n"
                      "\r\n[HKEY_CURRENT_USER\\Software\\T\\ab\\c]\r\n"
                      "\r\n[HKEY_CURRENT_USER\\Software\\T\\a_b]\r\n\r\n"));
    ASSERT_EQ(Reg({"delete", key, "/f"}).exitCode, 0);
    ASSERT_EQ(Reg({"import", sandbox.Path("t.reg")}).exitCode, 0);
    const CHive hive = sandbox.Hive("user.reg");
    std::vector<CHive::Value> back;
    for (const CHive::Value* value : hive.Values(key))
        back.push_back(*value);
    ASSERT_EQ(back.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE(values[i].name.toStdString());
        EXPECT_EQ(back[i].name, values[i].name);
        EXPECT_EQ(back[i].type, values[i].type);
        EXPECT_EQ(back[i].data, values[i].data);
    }
    EXPECT_EQ(hive.KeyTree(key).size(), 4);
    // An existing file is replaced only on request.
    EXPECT_EQ(Reg({"export", key + "\\ab", sandbox.Path("t.reg")}, "n\n").exitCode, 1);
    EXPECT_EQ(sandbox.Read("t.reg"), exported);
    EXPECT_EQ(Reg({"export", key + "\\ab", sandbox.Path("t.reg"), "-Y"}).exitCode, 0);
    EXPECT_NE(sandbox.Read("t.reg"), exported);
}

TEST(RegTool, OrdinaryUserCannotChangeTheMachineHive) {
    Sandbox sandbox;
    RunSteps({{{"add", kAcc, "/v", "Keep", "/d", "me"}, 0}});
    const QByteArray before = sandbox.Read("machine.reg");
    // The machine hive: readable for everyone, writable by nobody but root.
    using P = QFileDevice;
    QFile::setPermissions(sandbox.Root(), P::ReadOwner | P::ExeOwner | P::ReadOther | P::ExeOther);
    QFile::setPermissions(sandbox.Path("machine.reg"), P::ReadOwner | P::ReadOther);
    RunSteps({{{"add", kAcc, "/v", "Keep", "/d", "you", "/f"}, 1, "Access is denied"},
              {{"query", kAcc, "/v", "Keep"}, 0, "REG_SZ    me\n"}},
             true);
    QFile::setPermissions(sandbox.Root(), P::ReadOwner | P::WriteOwner | P::ExeOwner);
    EXPECT_EQ(sandbox.Read("machine.reg"), before);
}

// An administrator whose write is held off by another writer's lock beyond the limit is
// told which file that is, and the hive stays as it was.
TEST(RegTool, LockHeldTooLongIsNamedAndChangesNothing) {
    Sandbox sandbox;
    RunSteps({{{"add", kAcc, "/v", "Keep", "/d", "me"}, 0}});
    const QByteArray before = sandbox.Read("machine.reg");
    const QString lockPath = sandbox.Path("machine.reg.lock");
    const FdGuard lock(::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(::flock(lock.Get(), LOCK_EX), 0);
    CDurableFile::SetLockTimeout(std::chrono::milliseconds(200));
    QString output, errors, input;
    QTextStream out(&output), err(&errors), in(&input);
    EXPECT_EQ(CRegTool().Run({"add", kAcc, "/v", "Keep", "/d", "you", "/f"}, out, err, in), 1);
    CDurableFile::SetLockTimeout(CDurableFile::kDefaultLockTimeout);
    err.flush();
    EXPECT_TRUE(errors.contains(lockPath + u' ')) << errors.toStdString();
    EXPECT_EQ(sandbox.Read("machine.reg"), before);
}

// A rewrite must be on the disk before it takes the hive's place, and so must the rename, or
// a power cut can leave an empty or an old hive. orvex-reg runs with a library preloaded
// that records its calls.
TEST(RegTool, RewriteReachesTheDiskBeforeItReplacesTheHive) {
    Sandbox sandbox;
    RunSteps({{{"add", kUser, "/v", "A", "/d", "1", "/f"}, 0}});
    const QString root = QFileInfo(sandbox.Root()).canonicalFilePath();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ORVEX_ROOT", root);
    environment.insert("LD_PRELOAD", ORVEX_CALL_RECORDER);
    environment.insert("ORVEX_CALL_LOG", root + "/calls.log");
    // A sanitizer runtime wants to be the first library; here the recorder is.
    environment.insert("ASAN_OPTIONS",
                       environment.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(ORVEX_BINARY_DIR "/orvex-reg", {"add", kUser, "/v", "A", "/d", "2", "/f"});
    ASSERT_TRUE(process.waitForFinished(60000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();

    const QStringList calls =
        QString::fromUtf8(sandbox.Read("calls.log")).split(u'\n', Qt::SkipEmptyParts);
    const QString hive = root + "/user.reg";
    qsizetype renamed = -1;
    QString temporary;
    for (qsizetype i = 0; i < calls.size(); ++i) {
        const QStringList parts = calls[i].split(u'\t');
        if (parts.size() == 3 && parts[0] == "rename" && parts[2] == hive) {
            renamed = i;
            temporary = parts[1];
        }
    }
    ASSERT_GE(renamed, 0) << calls.join(u'\n').toStdString();
    EXPECT_TRUE(calls.mid(0, renamed).contains("fsync\t" + temporary))
        << calls.join(u'\n').toStdString();
    EXPECT_TRUE(calls.mid(renamed + 1).contains("fsync\t" + root))
        << calls.join(u'\n').toStdString();
}

TEST(RegTool, ErrorsSayWhatIsWrongWithTheHive) {
    Sandbox sandbox;
    ASSERT_TRUE(QDir().mkpath(sandbox.Path("machine.reg")));
    sandbox.Write("user.reg", {});
    const QByteArray user = QFile::encodeName(sandbox.Path("user.reg"));
    ASSERT_EQ(::truncate(user.constData(), CDurableFile::kMaxSize + 1), 0); // sparse
    const QStringList add = {"add", kUser, "/v", "X", "/d", "y", "/f"};
    RunSteps({
        {{"query", kAcc}, 1, "machine.reg is a folder"},
        {{"add", kAcc, "/v", "X", "/d", "y", "/f"}, 1, "machine.reg is a folder"},
        {{"query", kUser}, 1, "user.reg is larger than 64 MiB"},
        {{"add", kUser, "/v", "X", "/d", "y", "/f"}, 1, "user.reg is larger than 64 MiB"},
    });
    EXPECT_EQ(QFileInfo(sandbox.Path("user.reg")).size(), CDurableFile::kMaxSize + 1);
    ASSERT_TRUE(QFile::remove(sandbox.Path("user.reg")));
    ASSERT_TRUE(QFile::link("/dev/null", sandbox.Path("user.reg")));
    RunSteps({{{"query", kUser}, 1, "user.reg is not a regular file"}});
}

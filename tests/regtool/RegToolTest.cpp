// orvex-reg end to end: the built program, run as an administrator would run it, on a
// sandbox's hive files.
#include "support/Sandbox.h"

#include "platform/DurableFile.h"

#include <QProcess>

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
    for (const Step& step : steps) {
        QProcess process;
        if (asNobody && ::geteuid() == 0) {
            process.setChildProcessModifier([] {
                if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                    ::_exit(100);
            });
        }
        process.start(ORVEX_BINARY_DIR "/orvex-reg", step.arguments);
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

TEST(RegTool, AddQueryAndDeleteValues) {
    Sandbox sandbox;
    const QStringList interval = {"add", kUser, "/v", "Interval", "/t", "REG_DWORD", "/d"};
    RunSteps({
        {{"add", kAcc, "/v", "InternetAccess", "/t", "REG_DWORD", "/d", "11", "/f"}, 0},
        {{"query", "hkey_local_machine\\software\\orvex technologies\\acc", "/v", "internetaccess"},
         0,
         "    InternetAccess    REG_DWORD    0xb\n"},
        {interval + QStringList{"0x1e"}, 0},
        {{"add", kUser, "/ve", "/d", "default text"}, 0},
        {{"add", kUser + "\\Sub"}, 0},
        {{"query", kUser},
         0,
         "\nHKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Product Update\n"
         "    Interval    REG_DWORD    0x1e\n    (Default)    REG_SZ    default text\n\n"
         "HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Product Update\\Sub\n"},
        // Without /f an existing value is only replaced when the administrator agrees.
        {interval + QStringList{"7"}, 1, "", "no\n"},
        {{"query", kUser, "/v", "Interval"}, 0, "0x1e\n"},
        {interval + QStringList{"7"}, 0, "", "yes\n"},
        {{"query", kUser, "/v", "Interval"}, 0, "0x7\n"},
        {{"delete", kUser, "/v", "Interval", "/f"}, 0},
        {{"query", kUser, "/v", "Interval"}, 1, "unable to find"},
        {{"delete", "HKCU\\Software", "/f"}, 0},
        {{"query", kUser}, 1, "unable to find"},
    });
    EXPECT_EQ(sandbox.Read("machine.reg"),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVEX Technologies\\ACC]\n"
              "\"InternetAccess\"=dword:0000000b\n");
}

TEST(RegTool, ExportAndImportRoundTripAndWindowsExports) {
    Sandbox sandbox;
    const QString key = "HKEY_CURRENT_USER\\Software\\Round", first = sandbox.Path("first.reg");
    const QStringList add = {"add", key + "\\Sub", "/v"};
    // A UTF-16 export of Windows, then deletion entries for a value and a whole key.
    sandbox.Write("changes.reg",
                  "Windows Registry Editor Version 5.00\n\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVEX Technologies\\Gallery]\n"
                  "\"Blob\"=-\n\n[-HKEY_CURRENT_USER\\Software\\ORVEX Technologies]\n");
    const QString gallery = "HKLM\\SOFTWARE\\ORVEX Technologies\\Gallery";
    const QString tavlo = "HKCU\\Software\\ORVEX Technologies\\Tavlo Software";
    RunSteps({
        {add + QStringList{"Text", "/d", "with \"quotes\" and \\ slash"}, 0},
        {add + QStringList{"Path", "/t", "REG_EXPAND_SZ", "/d", "%TEMP%\\x"}, 0},
        {add + QStringList{"Number", "/t", "REG_DWORD", "/d", "4294967295"}, 0},
        {add + QStringList{"Big", "/t", "REG_QWORD", "/d", "0x1122334455667788"}, 0},
        {add + QStringList{"Bytes", "/t", "REG_BINARY", "/d", "00ff10"}, 0},
        {add + QStringList{"List", "/t", "REG_MULTI_SZ", "/d", "one\\0two"}, 0},
        {add + QStringList{"Commas", "/t", "REG_MULTI_SZ", "/s", ",", "/d", "a,b,c"}, 0},
        {{"export", key, first}, 0},
        {{"delete", key, "/f"}, 0},
        {{"query", key}, 1, "unable to find"},
        {{"import", first}, 0},
        {{"export", key, sandbox.Path("second.reg")}, 0},
        {{"import", ORVEX_PLATFORM_TEST_DATA "/windows-export-utf16.reg"}, 0},
        {{"query", tavlo, "/v", "Language"}, 0, "日本語"},
        {{"import", sandbox.Path("changes.reg")}, 0},
        {{"query", gallery, "/v", "Blob"}, 1, "unable to find"},
        {{"query", gallery, "/v", "Stamp"}, 0, "REG_QWORD"},
        {{"query", tavlo}, 1, "unable to find"},
    });
    const QByteArray exported = sandbox.Read("first.reg");
    EXPECT_EQ(sandbox.Read("second.reg"), exported);
    // How each line is written is the hive's business; that the data was read right, ours.
    for (const char* line :
         {"\"Number\"=dword:ffffffff\n", "\"Big\"=hex(b):88,77,66,55,44,33,22,11\n",
          "\"Bytes\"=hex:00,ff,10\n"})
        EXPECT_TRUE(exported.contains(line)) << exported.constData();
    // An existing file is only replaced on request.
    RunSteps({{{"export", "HKCU\\Software", first}, 1, "", "n\n"}});
    EXPECT_EQ(sandbox.Read("first.reg"), exported);
    RunSteps({{{"export", "HKCU\\Software", first, "/y"}, 0}});
    EXPECT_NE(sandbox.Read("first.reg"), exported);
}

TEST(RegTool, BadInputAndOrdinaryUsersChangeNothing) {
    Sandbox sandbox;
    RunSteps({{{"add", kAcc, "/v", "Keep", "/d", "me"}, 0}});
    const QByteArray before = sandbox.Read("machine.reg");
    const QByteArray header = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n";
    sandbox.Write("noheader.reg", "[HKEY_LOCAL_MACHINE\\X]\n\"A\"=\"b\"\n");
    sandbox.Write("badline.reg", header + "\"A\"=\"b\"\n\"B\"=dword:nothex\n");
    sandbox.Write("badroot.reg", header + "\"A\"=\"b\"\n[HKEY_USERS\\Y]\n");
    const QStringList add = {"add", kAcc, "/v", "X", "/t"};
    RunSteps({
        {{}, 1, "Invalid syntax"},
        {{"frobnicate", kAcc}, 1, "Unknown operation"},
        {{"query", "HKXX\\Software"}, 1, "Invalid key name"},
        {{"add", kAcc, "/v"}, 1, "Invalid syntax"},
        {add + QStringList{"REG_FLOAT", "/d", "1"}, 1, "Unknown value type"},
        {add + QStringList{"REG_DWORD", "/d", "4294967296"}, 1, "Invalid data"},
        {add + QStringList{"REG_DWORD", "/d", "-1"}, 1, "Invalid data"},
        {add + QStringList{"REG_DWORD", "/d", "twelve"}, 1, "Invalid data"},
        {add + QStringList{"REG_BINARY", "/d", "abc"}, 1, "Invalid data"},
        {add + QStringList{"REG_MULTI_SZ", "/d", "a\\0\\0b"}, 1, "Invalid data"},
        {{"add", kAcc, "/v", "X", "/q"}, 1, "Invalid syntax"},
        {{"delete", "HKLM", "/f"}, 1, "root key"},
        {{"delete", kAcc, "/v", "Absent", "/f"}, 1, "unable to find"},
        {{"import", sandbox.Path("absent.reg")}, 1, "Cannot read"},
        {{"import", sandbox.Path("noheader.reg")}, 1, "no registry file"},
        {{"import", sandbox.Path("badline.reg")}, 1, "Line 5"},
        {{"import", sandbox.Path("badroot.reg")}, 1, "outside HKLM"},
        {{"export", kAcc}, 1, "Invalid syntax"},
        {{"--help"}, 0, "orvex-reg add KEY"},
    });
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

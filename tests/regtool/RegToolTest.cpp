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
    // Nobody writes to this FIFO: reading it as a file would wait forever.
    ASSERT_EQ(::mkfifo(QFile::encodeName(sandbox.Path("fifo.reg")).constData(), 0600), 0);
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
        {{"import", sandbox.Path("fifo.reg")}, 1, "Cannot read"},
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

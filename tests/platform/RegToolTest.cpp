// orvex-reg end to end: the built program, run as an administrator would run it, on a
// sandbox's hive files.
#include "support/Sandbox.h"

#include <QProcess>

#include <unistd.h>

namespace {
struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

Result RunTool(const Sandbox& sandbox, const QStringList& arguments, const QByteArray& input = {},
               bool withoutWriteRights = false) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ORVEX_ROOT"), sandbox.Root());
    process.setProcessEnvironment(environment);
    if (withoutWriteRights && ::geteuid() == 0) {
        // root may write anything; an ordinary user may not write the machine hive.
        process.setChildProcessModifier([] {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(100);
        });
    }
    process.start(QStringLiteral(ORVEX_BINARY_DIR "/orvex-reg"), arguments);
    process.write(input);
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(60000));
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

const QString kAcc = QStringLiteral("HKLM\\SOFTWARE\\ORVEX Technologies\\ACC");
} // namespace

TEST(RegTool, AddQueryAndDeleteValues) {
    Sandbox sandbox;
    Result r = RunTool(sandbox,
                       {"add", kAcc, "/v", "InternetAccess", "/t", "REG_DWORD", "/d", "11", "/f"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(sandbox.Read(QStringLiteral("machine.reg")),
              QByteArray("Windows Registry Editor Version 5.00\n\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVEX Technologies\\ACC]\n"
                         "\"InternetAccess\"=dword:0000000b\n"));

    r = RunTool(sandbox, {"query", "hkey_local_machine\\software\\orvex technologies\\acc", "/v",
                          "internetaccess"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.contains(QStringLiteral("    InternetAccess    REG_DWORD    0xb\n")))
        << r.out.toStdString();

    const QString user = QStringLiteral("HKCU\\Software\\ORVEX Technologies\\Product Update");
    ASSERT_EQ(
        RunTool(sandbox, {"add", user, "/v", "Interval", "/t", "REG_DWORD", "/d", "0x1e"}).exitCode,
        0);
    ASSERT_EQ(RunTool(sandbox, {"add", user, "/ve", "/d", "default text"}).exitCode, 0);
    ASSERT_EQ(RunTool(sandbox, {"add", user + QStringLiteral("\\Sub")}).exitCode, 0);
    r = RunTool(sandbox, {"query", user});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.contains(QStringLiteral("    Interval    REG_DWORD    0x1e\n")))
        << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("    (Default)    REG_SZ    default text\n")));
    EXPECT_TRUE(r.out.contains(
        QStringLiteral("HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Product Update\\Sub\n")));

    // Without /f an existing value is only replaced when the administrator agrees.
    r = RunTool(sandbox, {"add", user, "/v", "Interval", "/t", "REG_DWORD", "/d", "7"}, "no\n");
    EXPECT_NE(r.exitCode, 0);
    r = RunTool(sandbox, {"add", user, "/v", "Interval", "/t", "REG_DWORD", "/d", "7"}, "");
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(
        RunTool(sandbox, {"query", user, "/v", "Interval"}).out.contains(QStringLiteral("0x1e")));
    r = RunTool(sandbox, {"add", user, "/v", "Interval", "/t", "REG_DWORD", "/d", "7"}, "yes\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(
        RunTool(sandbox, {"query", user, "/v", "Interval"}).out.contains(QStringLiteral("0x7")));

    EXPECT_EQ(RunTool(sandbox, {"delete", user, "/v", "Interval", "/f"}).exitCode, 0);
    r = RunTool(sandbox, {"query", user, "/v", "Interval"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(r.err.contains(QStringLiteral("unable to find")));
    EXPECT_EQ(RunTool(sandbox, {"delete", "HKCU\\Software", "/f"}).exitCode, 0);
    EXPECT_NE(RunTool(sandbox, {"query", user}).exitCode, 0);
    EXPECT_EQ(RunTool(sandbox, {"query", kAcc}).exitCode, 0);
}

TEST(RegTool, ExportAndImportRoundTrip) {
    Sandbox sandbox;
    const QString key = QStringLiteral("HKEY_CURRENT_USER\\Software\\Round");
    const QList<QStringList> adds = {
        {"/v", "Text", "/t", "REG_SZ", "/d", "with \"quotes\" and \\ slash"},
        {"/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%TEMP%\\x"},
        {"/v", "Number", "/t", "REG_DWORD", "/d", "4294967295"},
        {"/v", "Big", "/t", "REG_QWORD", "/d", "0x1122334455667788"},
        {"/v", "Bytes", "/t", "REG_BINARY", "/d", "00ff10"},
        {"/v", "List", "/t", "REG_MULTI_SZ", "/d", "one\\0two"},
        {"/v", "Commas", "/t", "REG_MULTI_SZ", "/s", ",", "/d", "a,b,c"},
    };
    for (const QStringList& add : adds) {
        const Result r = RunTool(sandbox, QStringList{"add", key + QStringLiteral("\\Sub")} + add);
        ASSERT_EQ(r.exitCode, 0) << add.join(u' ').toStdString() << r.err.toStdString();
    }
    const QString first = sandbox.Path(QStringLiteral("first.reg"));
    const QString second = sandbox.Path(QStringLiteral("second.reg"));
    ASSERT_EQ(RunTool(sandbox, {"export", key, first}).exitCode, 0);
    ASSERT_EQ(RunTool(sandbox, {"delete", key, "/f"}).exitCode, 0);
    EXPECT_NE(RunTool(sandbox, {"query", key}).exitCode, 0);
    ASSERT_EQ(RunTool(sandbox, {"import", first}).exitCode, 0);
    ASSERT_EQ(RunTool(sandbox, {"export", key, second}).exitCode, 0);
    EXPECT_EQ(sandbox.Read(QStringLiteral("first.reg")),
              sandbox.Read(QStringLiteral("second.reg")));
    const QByteArray exported = sandbox.Read(QStringLiteral("first.reg"));
    EXPECT_TRUE(exported.contains("\"Number\"=dword:ffffffff\n")) << exported.constData();
    EXPECT_TRUE(exported.contains("\"Big\"=hex(b):88,77,66,55,44,33,22,11\n"));
    EXPECT_TRUE(exported.contains("\"Text\"=\"with \\\"quotes\\\" and \\\\ slash\"\n"));

    // An existing file is only replaced on request.
    EXPECT_NE(RunTool(sandbox, {"export", "HKCU\\Software", first}, "n\n").exitCode, 0);
    EXPECT_EQ(sandbox.Read(QStringLiteral("first.reg")), exported);
    EXPECT_EQ(RunTool(sandbox, {"export", "HKCU\\Software", first, "/y"}).exitCode, 0);
}

TEST(RegTool, ImportsWindowsExportsAndDeletionEntries) {
    Sandbox sandbox;
    const Result r = RunTool(
        sandbox, {"import", QStringLiteral(ORVEX_PLATFORM_TEST_DATA "/windows-export-utf16.reg")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(RunTool(sandbox, {"query", "HKCU\\Software\\ORVEX Technologies\\Tavlo Software",
                                  "/v", "Language"})
                    .out.contains(QStringLiteral("日本語")));
    sandbox.Write(QStringLiteral("changes.reg"),
                  "Windows Registry Editor Version 5.00\n\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVEX Technologies\\Gallery]\n"
                  "\"Blob\"=-\n\n"
                  "[-HKEY_CURRENT_USER\\Software\\ORVEX Technologies]\n");
    ASSERT_EQ(RunTool(sandbox, {"import", sandbox.Path(QStringLiteral("changes.reg"))}).exitCode,
              0);
    EXPECT_NE(
        RunTool(sandbox, {"query", "HKLM\\SOFTWARE\\ORVEX Technologies\\Gallery", "/v", "Blob"})
            .exitCode,
        0);
    EXPECT_EQ(
        RunTool(sandbox, {"query", "HKLM\\SOFTWARE\\ORVEX Technologies\\Gallery", "/v", "Stamp"})
            .exitCode,
        0);
    EXPECT_NE(RunTool(sandbox, {"query", "HKCU\\Software\\ORVEX Technologies"}).exitCode, 0);
}

TEST(RegTool, BadInputIsReportedAndChangesNothing) {
    Sandbox sandbox;
    ASSERT_EQ(RunTool(sandbox, {"add", kAcc, "/v", "Keep", "/d", "me"}).exitCode, 0);
    const QByteArray before = sandbox.Read(QStringLiteral("machine.reg"));
    sandbox.Write(QStringLiteral("noheader.reg"), "[HKEY_LOCAL_MACHINE\\X]\n\"A\"=\"b\"\n");
    sandbox.Write(QStringLiteral("badline.reg"),
                  "Windows Registry Editor Version 5.00\n\n"
                  "[HKEY_LOCAL_MACHINE\\X]\n\"A\"=\"b\"\n\"B\"=dword:nothex\n");
    sandbox.Write(QStringLiteral("badroot.reg"),
                  "Windows Registry Editor Version 5.00\n\n"
                  "[HKEY_LOCAL_MACHINE\\X]\n\"A\"=\"b\"\n[HKEY_USERS\\Y]\n");
    struct Case {
        QStringList arguments;
        const char* message;
    };
    const Case cases[] = {
        {{}, "Invalid syntax"},
        {{"frobnicate", kAcc}, "Unknown operation"},
        {{"query"}, "Invalid syntax"},
        {{"query", "HKXX\\Software"}, "Invalid key name"},
        {{"query", "HKLM\\Nothing\\Here"}, "unable to find"},
        {{"add", kAcc, "/v"}, "Invalid syntax"},
        {{"add", kAcc, "/v", "X", "/t", "REG_FLOAT", "/d", "1"}, "Unknown value type"},
        {{"add", kAcc, "/v", "X", "/t", "REG_DWORD", "/d", "4294967296"}, "Invalid data"},
        {{"add", kAcc, "/v", "X", "/t", "REG_DWORD", "/d", "-1"}, "Invalid data"},
        {{"add", kAcc, "/v", "X", "/t", "REG_DWORD", "/d", "twelve"}, "Invalid data"},
        {{"add", kAcc, "/v", "X", "/t", "REG_BINARY", "/d", "abc"}, "Invalid data"},
        {{"add", kAcc, "/v", "X", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"}, "Invalid data"},
        {{"add", kAcc, "/v", "X", "/q"}, "Invalid syntax"},
        {{"delete", "HKLM", "/f"}, "root key"},
        {{"delete", kAcc, "/v", "Absent", "/f"}, "unable to find"},
        {{"import", sandbox.Path(QStringLiteral("absent.reg"))}, "Cannot read"},
        {{"import", sandbox.Path(QStringLiteral("noheader.reg"))}, "no registry file"},
        {{"import", sandbox.Path(QStringLiteral("badline.reg"))}, "Line 5"},
        {{"import", sandbox.Path(QStringLiteral("badroot.reg"))}, "outside HKLM"},
        {{"export", kAcc}, "Invalid syntax"},
    };
    for (const Case& c : cases) {
        const Result r = RunTool(sandbox, c.arguments);
        const std::string label = c.arguments.join(u' ').toStdString();
        EXPECT_EQ(r.exitCode, 1) << label;
        EXPECT_TRUE(r.err.contains(QLatin1String(c.message)))
            << label << ": " << r.err.toStdString();
    }
    EXPECT_EQ(sandbox.Read(QStringLiteral("machine.reg")), before);

    const Result help = RunTool(sandbox, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains(QStringLiteral("orvex-reg add KEY")));
}

TEST(RegTool, OrdinaryUserCannotChangeTheMachinePolicy) {
    Sandbox sandbox;
    ASSERT_EQ(
        RunTool(sandbox, {"add", kAcc, "/v", "InternetAccess", "/t", "REG_DWORD", "/d", "15", "/f"})
            .exitCode,
        0);
    const QByteArray before = sandbox.Read(QStringLiteral("machine.reg"));
    const QString hive = sandbox.Path(QStringLiteral("machine.reg"));
    QFile::setPermissions(sandbox.Root(), QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                              QFileDevice::ReadOther | QFileDevice::ExeOther |
                                              (::geteuid() == 0 ? QFileDevice::WriteOwner
                                                                : QFileDevice::Permissions()));
    QFile::setPermissions(
        hive, QFileDevice::ReadOwner | QFileDevice::ReadOther |
                  (::geteuid() == 0 ? QFileDevice::WriteOwner : QFileDevice::Permissions()));
    const Result denied =
        RunTool(sandbox, {"add", kAcc, "/v", "InternetAccess", "/t", "REG_DWORD", "/d", "0", "/f"},
                {}, true);
    const Result query = RunTool(sandbox, {"query", kAcc, "/v", "InternetAccess"}, {}, true);
    QFile::setPermissions(sandbox.Root(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(denied.exitCode, 1);
    EXPECT_TRUE(denied.err.contains(QStringLiteral("Access is denied")))
        << denied.err.toStdString();
    EXPECT_EQ(query.exitCode, 0) << query.err.toStdString();
    EXPECT_EQ(sandbox.Read(QStringLiteral("machine.reg")), before);
}

#include "platform/Locations.h"
#include "platform/DataFile.h"
#include "platform/Registry.h"

#include "support/ProgramRun.h"

#include <QScopeGuard>

// Sets (or, when set is false, removes) an environment variable until the end of the scope.
[[nodiscard]] static auto ScopedEnv(const char* name, const QByteArray& value, bool set = true) {
    const bool had = qEnvironmentVariableIsSet(name);
    const QByteArray old = qgetenv(name);
    set ? qputenv(name, value) : qunsetenv(name);
    return qScopeGuard([=] { had ? qputenv(name, old) : qunsetenv(name); });
}

// Outside a sandbox the hives are the system's and the user's configuration files; a relative
// XDG_CONFIG_HOME would depend on the folder the program was started from and is ignored. The
// temporary folder is a private one of this user's.
TEST(Locations, HivesAndTemporaryFolderOutsideASandbox) {
    QTemporaryDir home;
    Sandbox sandbox; // puts ORVEX_ROOT back
    qunsetenv("ORVEX_ROOT");
    const auto homeEnv = ScopedEnv("HOME", QFile::encodeName(home.path()));
    const QString fallback = home.path() + "/.config/orvex/user.reg";
    // XDG_CONFIG_HOME (unset when none) and the user hive it gives.
    const std::pair<std::optional<QByteArray>, QString> rows[] = {
        {std::nullopt, fallback},
        {"relative/config", fallback},
        {"", fallback},
        {QFile::encodeName(home.path() + "/config"), home.path() + "/config/orvex/user.reg"}};
    for (const auto& [xdg, user] : rows) {
        const auto xdgEnv = ScopedEnv("XDG_CONFIG_HOME", xdg.value_or(""), xdg.has_value());
        EXPECT_EQ(UserHivePath(), user) << xdg.value_or("unset").constData();
    }
    EXPECT_EQ(MachineHivePath(), QStringLiteral("/etc/orvex/machine.reg"));

    // Another user's traps where the private temporary folder should be: a link, or a folder
    // others may write to. Either way another, private, folder is chosen.
    QTemporaryDir base;
    const auto runtime = ScopedEnv("XDG_RUNTIME_DIR", {}, false);
    const auto tmpdir = ScopedEnv("TMPDIR", QFile::encodeName(base.path()));
    const QString expected = base.path() + "/orvex-product-update-" + QString::number(::geteuid());
    const QByteArray local = QFile::encodeName(expected);
    EXPECT_EQ(TempFolder().LocalPath(), expected);
    EXPECT_EQ(sandbox.Mode(expected), S_IFDIR | 0700);
    // One of this user's that others may read or enter is closed to them.
    ASSERT_EQ(::chmod(QFile::encodeName(expected).constData(), 0755), 0);
    EXPECT_EQ(TempFolder().LocalPath(), expected);
    EXPECT_EQ(sandbox.Mode(expected), S_IFDIR | 0700);
    ASSERT_TRUE(QDir(expected).removeRecursively() && QDir().mkpath(base.path() + "/elsewhere"));
    ASSERT_TRUE(QFile::link(base.path() + "/elsewhere", expected));
    const QString chosen = TempFolder().LocalPath();
    EXPECT_NE(chosen, expected);
    EXPECT_EQ(sandbox.Mode(chosen), S_IFDIR | 0700) << chosen.toStdString();
    EXPECT_EQ(TempFolder().LocalPath(), chosen);
    ASSERT_TRUE(QFile::remove(expected) && ::mkdir(local.constData(), 0777) == 0 &&
                ::chmod(local.constData(), 0777) == 0);
    EXPECT_NE(TempFolder().LocalPath(), expected);

    // The user's runtime folder, found from the user id, holds the lock when nobody else may
    // write to it; that others may enter it is harmless. XDG_RUNTIME_DIR has no say: a run
    // started without it must find the same lock.
    const auto rootEnv = ScopedEnv("ORVEX_ROOT", QFile::encodeName(sandbox.Root()));
    const QString session = sandbox.Path("run/user/" + QString::number(::geteuid()));
    const QString own = sandbox.Path("orvex-product-update-" + QString::number(::geteuid()));
    EXPECT_EQ(LockFolder(), own) << "no runtime folder";
    ASSERT_TRUE(QDir().mkpath(session));
    for (const auto& [mode, used] : {std::pair(0711u, true), {0730u, false}, {0702u, false}}) {
        ASSERT_EQ(::chmod(QFile::encodeName(session).constData(), mode), 0);
        for (const bool xdg : {true, false}) {
            const auto xdgEnv = ScopedEnv("XDG_RUNTIME_DIR", QFile::encodeName(base.path()), xdg);
            EXPECT_EQ(LockFolder(), used ? session : own) << mode << (xdg ? " with" : " without");
        }
    }
}

// The argument reaches xdg-open as one argument, never through a shell.
TEST(Locations, ShellOpenHandsOneArgumentToXdgOpen) {
    Sandbox sandbox;
    const QString record = sandbox.Path("opened.txt");
    sandbox.Write("bin/xdg-open", "#!/bin/sh\nprintf '%s|%s\\n' \"$#\" \"$1\" > \"$RECORD.part\""
                                  " && mv \"$RECORD.part\" \"$RECORD\"\n");
    QFile::setPermissions(sandbox.Path("bin/xdg-open"),
                          QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const auto path =
        ScopedEnv("PATH", QFile::encodeName(sandbox.Path("bin")) + ':' + qgetenv("PATH"));
    const auto recordEnv = ScopedEnv("RECORD", QFile::encodeName(record));
    // Would create a file if a shell ever saw it.
    const QString hostile = "https://example.com/a?b=1&c=$(touch " + sandbox.Path("pwned") + "); x";
    const std::pair<QString, QString> cases[] = {
        {hostile, hostile},
        {"C:\\docs\\read me.pdf", sandbox.Root() + "/drive_c/docs/read me.pdf"},
        {"C:/docs/a.pdf", sandbox.Root() + "/drive_c/docs/a.pdf"}};
    for (const auto& [argument, expected] : cases) {
        QFile::remove(record);
        ASSERT_TRUE(ShellOpen(argument));
        WaitFor([&] { return QFile::exists(record); }, 30000);
        EXPECT_EQ(sandbox.Read("opened.txt"), ("1|" + expected + u'\n').toUtf8());
    }
    EXPECT_EQ(QDir(sandbox.Root()).entryList({"pwned*"}), QStringList());
    const auto noPath = ScopedEnv("PATH", QFile::encodeName(sandbox.Path("empty")));
    EXPECT_FALSE(ShellOpen("https://example.com"));
}

// A data file beside the program wins; otherwise the common-files folder the registry names,
// with or without its closing backslash; otherwise the shared data folder.
TEST(Locations, DataFileBesideTheProgramThenWhereTheRegistrySays) {
    const std::tuple<const char*, bool, QString, QString> rows[] = {
        {"Beside", true, "", "Program/d.xml"},
        {"Shared", false, "", "CommonFiles/d.xml"},
        {"Registry", false, "C:\\Common",
         "drive_c/Common/ORVEX Technologies/ORVEX Product Update/d.xml"},
        {"RegistryWithBackslash", false, "C:\\Common\\",
         "drive_c/Common/ORVEX Technologies/ORVEX Product Update/d.xml"},
    };
    for (const auto& [name, beside, common, expected] : rows) {
        SCOPED_TRACE(name);
        Sandbox sandbox;
        OverrideModuleFolder(FilePath(sandbox.Path("Program")));
        const auto restore = qScopeGuard([] { OverrideModuleFolder(FilePath()); });
        if (beside)
            sandbox.Write("Program/d.xml", "x");
        if (!common.isEmpty()) {
            ASSERT_EQ(RegWriteString(HKEY_LOCAL_MACHINE,
                                     "SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                                     "CommonFilesDir", common),
                      0);
        }
        EXPECT_EQ(LocateDataFile("d.xml").LocalPath(), sandbox.Path(expected));
    }
}

#include "platform/Locations.h"
#include "platform/Registry.h"

#include "support/Sandbox.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

namespace {
// Sets or clears an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value, bool set = true)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
        if (set)
            qputenv(name, value);
        else
            qunsetenv(name);
    }
    ~ScopedEnv() {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

mode_t ModeOf(const QString& path) {
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode;
}
} // namespace

TEST(Locations, SandboxRedirectsEveryFolder) {
    Sandbox sandbox;
    const QString root = sandbox.Root();
    EXPECT_EQ(MachineHivePath(), root + QStringLiteral("/machine.reg"));
    EXPECT_EQ(UserHivePath(), root + QStringLiteral("/user.reg"));
    EXPECT_EQ(CommonAppDataFolder().LocalPath(), root + QStringLiteral("/ProgramData"));
    EXPECT_EQ(SharedDataFolder().LocalPath(), root + QStringLiteral("/CommonFiles"));
    const FilePath temp = TempFolder();
    EXPECT_EQ(temp.LocalPath(), root + QStringLiteral("/tmp"));
    EXPECT_TRUE(temp.Exists());
    EXPECT_EQ(ModeOf(temp.LocalPath()) & 0777, 0700u);
}

TEST(Locations, HivesOfARealSystem) {
    Sandbox sandbox;
    qunsetenv("ORVEX_ROOT");
    EXPECT_EQ(MachineHivePath(), QStringLiteral("/etc/orvex/machine.reg"));
    {
        ScopedEnv config("XDG_CONFIG_HOME", "/config/here");
        EXPECT_EQ(UserHivePath(), QStringLiteral("/config/here/orvex/user.reg"));
    }
    ScopedEnv home("HOME", "/home/someone");
    ScopedEnv relative("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(UserHivePath(), QStringLiteral("/home/someone/.config/orvex/user.reg"));
}

TEST(Locations, TemporaryFolderIsPrivateAndCannotBePlanted) {
    QTemporaryDir base;
    ASSERT_TRUE(base.isValid());
    Sandbox sandbox;
    qunsetenv("ORVEX_ROOT");
    ScopedEnv runtime("XDG_RUNTIME_DIR", {}, false);
    ScopedEnv tmpdir("TMPDIR", QFile::encodeName(base.path()));
    const QString expected =
        base.path() + QStringLiteral("/orvex-product-update-") + QString::number(::geteuid());

    EXPECT_EQ(TempFolder().LocalPath(), expected);
    EXPECT_EQ(ModeOf(expected) & 07777, 0700u);
    EXPECT_TRUE(S_ISDIR(ModeOf(expected)));

    // Another user's trap: a link where the folder should be.
    ASSERT_TRUE(QDir(expected).removeRecursively());
    QDir().mkpath(base.path() + QStringLiteral("/elsewhere"));
    ASSERT_TRUE(QFile::link(base.path() + QStringLiteral("/elsewhere"), expected));
    const QString chosen = TempFolder().LocalPath();
    EXPECT_NE(chosen, expected);
    EXPECT_FALSE(chosen.isEmpty());
    EXPECT_TRUE(S_ISDIR(ModeOf(chosen)));
    EXPECT_EQ(ModeOf(chosen) & 07777, 0700u);
    EXPECT_EQ(TempFolder().LocalPath(), chosen);

    // A folder others may write to is no private folder either.
    QFile::remove(expected);
    ASSERT_EQ(::mkdir(QFile::encodeName(expected).constData(), 0777), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(expected).constData(), 0777), 0);
    EXPECT_NE(TempFolder().LocalPath(), expected);
}

TEST(Locations, TemporaryNamesAreFreeWhenChosen) {
    Sandbox sandbox;
    const FilePath first = UniqueTempFile(QStringLiteral(".xml"), QString());
    EXPECT_EQ(first.LocalPath(), sandbox.Root() + QStringLiteral("/tmp/FLVTemp.xml"));
    EXPECT_FALSE(first.Exists());
    sandbox.Write(QStringLiteral("tmp/FLVTemp.xml"), "taken");
    const FilePath second = UniqueTempFile(QStringLiteral(".xml"), QString());
    EXPECT_FALSE(second.Exists());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^FLVTemp\\(\\d+\\)\\.xml$"))
                    .match(second.FileName())
                    .hasMatch())
        << second.FileName().toStdString();
    EXPECT_EQ(UniqueTempFile(QStringLiteral(".exe"), QStringLiteral("Setup")).FileName(),
              QStringLiteral("Setup.exe"));
}

TEST(Locations, DataFilesBesideTheProgramOrInTheCommonFolder) {
    Sandbox sandbox;
    const FilePath module = ModuleFolder();
    EXPECT_EQ(module.LocalPath(), QStringLiteral(ORVEX_BINARY_DIR));

    // Present beside the executable.
    const QString name = QStringLiteral("locate-test-%1.xml").arg(::getpid());
    QFile beside(module.Join(name).LocalPath());
    ASSERT_TRUE(beside.open(QIODevice::WriteOnly));
    beside.close();
    EXPECT_EQ(LocateDataFile(name), module.Join(name));
    beside.remove();

    // Absent: the shared folder, whether or not the file is there.
    EXPECT_EQ(LocateDataFile(name).LocalPath(),
              sandbox.Root() + QStringLiteral("/CommonFiles/") + name);
    ASSERT_EQ(RegWriteString(HKEY_LOCAL_MACHINE,
                             QStringLiteral("SOFTWARE\\Microsoft\\Windows\\CurrentVersion"),
                             QStringLiteral("CommonFilesDir"), QStringLiteral("C:\\Common Files")),
              0);
    EXPECT_EQ(LocateDataFile(name).Text(),
              QStringLiteral("C:\\Common Files\\ORVEX Technologies\\ORVEX Product Update\\") +
                  name);
    sandbox.Write(QStringLiteral("drive_c/data/abs.xml"), "x");
    EXPECT_EQ(LocateDataFile(QStringLiteral("C:\\data\\abs.xml")).Text(),
              QStringLiteral("C:\\data\\abs.xml"));
}

TEST(Locations, ShellOpenHandsOneArgumentToXdgOpen) {
    Sandbox sandbox;
    const QString bin = sandbox.Path(QStringLiteral("bin"));
    const QString record = sandbox.Path(QStringLiteral("opened.txt"));
    sandbox.Write(QStringLiteral("bin/xdg-open"),
                  "#!/bin/sh\nprintf '%s|%s\\n' \"$#\" \"$1\" > \"$RECORD.part\" && mv "
                  "\"$RECORD.part\" \"$RECORD\"\n");
    QFile::setPermissions(sandbox.Path(QStringLiteral("bin/xdg-open")),
                          QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    ScopedEnv path("PATH", QFile::encodeName(bin) + ':' + qgetenv("PATH"));
    ScopedEnv recordEnv("RECORD", QFile::encodeName(record));

    struct Case {
        QString argument;
        QString expected;
    };
    // Would create a file if a shell ever saw it.
    const QString hostile = QStringLiteral("https://example.com/a?b=1&c=$(touch %1); x")
                                .arg(sandbox.Path(QStringLiteral("pwned")));
    const Case cases[] = {
        {hostile, hostile},
        {QStringLiteral("C:\\docs\\read me.pdf"),
         sandbox.Root() + QStringLiteral("/drive_c/docs/read me.pdf")},
    };
    for (const Case& c : cases) {
        QFile::remove(record);
        ASSERT_TRUE(ShellOpen(c.argument));
        QElapsedTimer timer;
        timer.start();
        while (!QFile::exists(record) && timer.elapsed() < 30000)
            QThread::msleep(10);
        EXPECT_EQ(sandbox.Read(QStringLiteral("opened.txt")),
                  (QStringLiteral("1|") + c.expected + u'\n').toUtf8());
    }
    EXPECT_FALSE(QFile::exists(sandbox.Path(QStringLiteral("pwned"))));
    EXPECT_FALSE(QFile::exists(sandbox.Path(QStringLiteral("pwned); x"))));
    EXPECT_FALSE(ShellOpen(QString()));

    ScopedEnv noPath("PATH", QFile::encodeName(sandbox.Path(QStringLiteral("empty"))));
    EXPECT_FALSE(ShellOpen(QStringLiteral("https://example.com")));
}

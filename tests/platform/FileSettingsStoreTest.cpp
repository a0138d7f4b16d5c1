#include "platform/FileSettingsStore.h"
#include "platform/Registry.h"

#include "support/Sandbox.h"

#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
const QString kKey = QStringLiteral("Software\\ORVEX Technologies\\Test");

QString Writer() {
    return QStringLiteral(ORVEX_BINARY_DIR "/hive_writer");
}

// Runs body in a child process as a user who may not write the sandbox's files: nobody
// when the tests run as root (who may write anything), the current user otherwise (the
// caller has made the files read-only). Returns the child's exit code.
int RunWithoutWriteRights(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(100);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
} // namespace

TEST(FileSettingsStore, QueriesFollowTheWin32Rules) {
    Sandbox sandbox;
    CFileSettingsStore store;
    HKEY key = 0;
    uint32_t disposition = 0;
    ASSERT_EQ(
        store.RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_WRITE | KEY_READ, &key, &disposition),
        0);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    const QByteArray text = Utf16Z(QStringLiteral("abc"));
    ASSERT_EQ(store.RegSetValueExW(key, QStringLiteral("Name"), REG_SZ,
                                   reinterpret_cast<const uint8_t*>(text.constData()), 8),
              0);

    uint32_t type = 0;
    uint32_t size = 0;
    EXPECT_EQ(store.RegQueryValueExW(key, QStringLiteral("NAME"), &type, nullptr, &size), 0);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 8u);

    uint8_t small[4] = {0xaa, 0xaa, 0xaa, 0xaa};
    size = sizeof small;
    EXPECT_EQ(store.RegQueryValueExW(key, QStringLiteral("Name"), nullptr, small, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);

    uint8_t big[16] = {};
    size = sizeof big;
    EXPECT_EQ(store.RegQueryValueExW(key, QStringLiteral("Name"), nullptr, big, &size), 0);
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(big), static_cast<int>(size)), text);

    EXPECT_EQ(store.RegQueryValueExW(key, QStringLiteral("Missing"), nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(store.RegCloseKey(key), 0);
    EXPECT_EQ(store.RegCloseKey(key), ERROR_INVALID_HANDLE);

    HKEY missing = 0;
    EXPECT_EQ(store.RegOpenKeyExW(HKEY_CURRENT_USER, kKey + QStringLiteral("\\Deeper"), 0, KEY_READ,
                                  &missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(store.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(store.RegOpenKeyExW(0x1234, kKey, 0, KEY_READ, &missing), ERROR_INVALID_HANDLE);
}

TEST(FileSettingsStore, RootsLiveInTheirHives) {
    Sandbox sandbox;
    ASSERT_EQ(RegWriteDword(HKEY_LOCAL_MACHINE, kKey, QStringLiteral("M"), 1), 0);
    ASSERT_EQ(RegWriteDword(HKEY_CLASSES_ROOT, QStringLiteral(".orvex"), QStringLiteral("C"), 2),
              0);
    ASSERT_EQ(RegWriteDword(HKEY_CURRENT_USER, kKey, QStringLiteral("U"), 3), 0);

    const CHive machine = sandbox.Hive(QStringLiteral("machine.reg"));
    const CHive user = sandbox.Hive(QStringLiteral("user.reg"));
    EXPECT_NE(machine.FindValue(QStringLiteral("HKEY_LOCAL_MACHINE\\") + kKey, QStringLiteral("M")),
              nullptr);
    EXPECT_NE(machine.FindValue(QStringLiteral("HKEY_CLASSES_ROOT\\.orvex"), QStringLiteral("C")),
              nullptr);
    EXPECT_NE(user.FindValue(QStringLiteral("HKEY_CURRENT_USER\\") + kKey, QStringLiteral("U")),
              nullptr);
    EXPECT_TRUE(user.KeysBelow(QStringLiteral("HKLM")).empty());

    struct stat info {};
    ASSERT_EQ(
        ::stat(QFile::encodeName(sandbox.Path(QStringLiteral("user.reg"))).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(FileSettingsStore, UnwritableHiveAnswersAccessDeniedAndStaysAsItWas) {
    Sandbox sandbox;
    ASSERT_EQ(RegWriteDword(HKEY_LOCAL_MACHINE, kKey, QStringLiteral("Policy"), 15), 0);
    const QString hive = sandbox.Path(QStringLiteral("machine.reg"));
    const QByteArray before = sandbox.Read(QStringLiteral("machine.reg"));
    // Readable for everyone, writable by its owner only, as /etc/orvex is.
    QFile::setPermissions(sandbox.Root(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                              QFileDevice::ExeOther);
    if (::geteuid() != 0) {
        QFile::setPermissions(sandbox.Root(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        QFile::setPermissions(hive, QFileDevice::ReadOwner);
    } else {
        QFile::setPermissions(hive, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                        QFileDevice::ReadOther);
    }

    const int result = RunWithoutWriteRights([] {
        int32_t error = -1;
        if (RegReadDword(HKEY_LOCAL_MACHINE, kKey, QStringLiteral("Policy"), 0, &error) != 15 ||
            error != 0)
            return 10;
        if (RegWriteDword(HKEY_LOCAL_MACHINE, kKey, QStringLiteral("Policy"), 0) !=
            ERROR_ACCESS_DENIED)
            return 11;
        if (RegWriteString(HKEY_LOCAL_MACHINE, QStringLiteral("Software\\New"), QStringLiteral("X"),
                           QStringLiteral("y")) != ERROR_ACCESS_DENIED)
            return 12;
        return 0;
    });
    QFile::setPermissions(sandbox.Root(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(sandbox.Read(QStringLiteral("machine.reg")), before);
}

TEST(FileSettingsStore, WritesKeepLinesTheyCannotRead) {
    Sandbox sandbox;
    const QByteArray original = "Windows Registry Editor Version 5.00\n\n"
                                "[HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Test]\n"
                                "\"Old\"=dword:00000001\n"
                                "this line means nothing to us\n";
    sandbox.Write(QStringLiteral("user.reg"), original);
    ASSERT_EQ(RegWriteDword(HKEY_CURRENT_USER, kKey, QStringLiteral("New"), 2), 0);
    const QByteArray after = sandbox.Read(QStringLiteral("user.reg"));
    EXPECT_TRUE(after.contains("this line means nothing to us\n")) << after.constData();
    EXPECT_TRUE(after.contains("\"Old\"=dword:00000001\n"));
    EXPECT_TRUE(after.contains("\"New\"=dword:00000002\n"));
}

TEST(FileSettingsStore, RefusesToRewriteAHiveItCannotDecode) {
    Sandbox sandbox;
    const QByteArray original = "Windows Registry Editor Version 5.00\n\n"
                                "[HKEY_CURRENT_USER\\Software\\X]\n\"A\"=\"caf\xe9\"\n";
    sandbox.Write(QStringLiteral("user.reg"), original);
    EXPECT_EQ(RegWriteDword(HKEY_CURRENT_USER, kKey, QStringLiteral("New"), 2),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(sandbox.Read(QStringLiteral("user.reg")), original);
}

TEST(FileSettingsStore, TwoProcessesWritingAtOnceLoseNothing) {
    Sandbox sandbox;
    constexpr int kCount = 500;
    QProcess first;
    QProcess second;
    first.start(Writer(), {QStringLiteral("values"), QStringLiteral("A"), QString::number(kCount)});
    second.start(Writer(),
                 {QStringLiteral("values"), QStringLiteral("B"), QString::number(kCount)});
    ASSERT_TRUE(first.waitForFinished(300000));
    ASSERT_TRUE(second.waitForFinished(300000));
    EXPECT_EQ(first.exitCode(), 0) << first.readAllStandardError().constData();
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().constData();

    const CHive hive = sandbox.Hive(QStringLiteral("user.reg"));
    EXPECT_TRUE(hive.UnreadLines().isEmpty());
    int found = 0;
    for (const char* prefix : {"A", "B"}) {
        for (int i = 0; i < kCount; ++i) {
            const CHive::Value* value = hive.FindValue(QStringLiteral("HKCU\\Software\\Race"),
                                                       QLatin1String(prefix) + QString::number(i));
            if (value != nullptr && value->data == QByteArray(reinterpret_cast<const char*>(&i), 4))
                ++found;
        }
    }
    EXPECT_EQ(found, 2 * kCount);
}

TEST(FileSettingsStore, WriterKilledMidWriteLeavesAReadableHive) {
    Sandbox sandbox;
    for (int round = 0; round < 15; ++round) {
        QProcess writer;
        writer.start(Writer(), {QStringLiteral("churn")});
        ASSERT_TRUE(writer.waitForStarted());
        // Until the first value is written (creating the key is a write of its own, so the
        // file alone is not enough), then a little longer, so that the kill falls at a
        // different point of a rewrite each round.
        while (!sandbox.Read(QStringLiteral("user.reg")).contains("\"Filler\""))
            QThread::msleep(5);
        QThread::msleep(QRandomGenerator::global()->bounded(5, 60));
        ::kill(static_cast<pid_t>(writer.processId()), SIGKILL);
        ASSERT_TRUE(writer.waitForFinished());

        const CHive hive = sandbox.Hive(QStringLiteral("user.reg"));
        ASSERT_TRUE(hive.HasHeader()) << "round " << round;
        ASSERT_TRUE(hive.IsLossless()) << "round " << round;
        ASSERT_TRUE(hive.UnreadLines().isEmpty()) << "round " << round;
        ASSERT_NE(hive.FindValue(QStringLiteral("HKCU\\Software\\Churn"), QStringLiteral("Filler")),
                  nullptr);
        // Through the program's own reader as well.
        int32_t error = -1;
        RegReadDword(HKEY_CURRENT_USER, QStringLiteral("Software\\Churn"),
                     QStringLiteral("Counter"), 0, &error);
        EXPECT_TRUE(error == 0 || error == ERROR_FILE_NOT_FOUND) << error;
    }
    // Temporaries of killed writers are cleared by the next writer.
    ASSERT_EQ(RegWriteDword(HKEY_CURRENT_USER, kKey, QStringLiteral("After"), 1), 0);
    EXPECT_TRUE(
        QDir(sandbox.Root()).entryList({QStringLiteral("user.reg.tmp.*")}, QDir::Files).isEmpty());
}

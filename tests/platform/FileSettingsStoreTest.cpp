#include "platform/FileSettingsStore.h"
#include "platform/DurableFile.h"
#include "platform/Registry.h"

#include "support/Sandbox.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
const QString kKey = QStringLiteral("Software\\ORVEX Technologies\\Test");

// Runs body in a child process, a real one with its own copy of the store.
pid_t Fork(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives the test
        ::_exit(body());
    }
    return pid;
}

// The child's exit code, or -1 when it did not end by itself.
int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
} // namespace

TEST(FileSettingsStore, HandlesAndNamesFollowTheWin32Rules) {
    Sandbox sandbox;
    CFileSettingsStore store;
    HKEY key = 0, other = 0;
    uint32_t disposition = 0;
    ASSERT_EQ(store.RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_WRITE, &key, &disposition), 0);
    const auto* data = reinterpret_cast<const uint8_t*>("x\0\0\0");
    // Names that would break a line of the hive file are refused.
    for (const char* name : {"Two\nLines", "Two\rLines"})
        EXPECT_EQ(store.RegSetValueExW(key, name, REG_SZ, data, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(store.RegCreateKeyExW(HKEY_CURRENT_USER, kKey + "\\A\nB", 0, KEY_WRITE, &other,
                                    &disposition),
              ERROR_INVALID_PARAMETER);
    ASSERT_EQ(store.RegSetValueExW(key, "Name", REG_SZ, data, 4), 0);
    EXPECT_EQ(sandbox.Read("user.reg"), "Windows Registry Editor Version 5.00\n\n"
                                        "[HKEY_CURRENT_USER\\" +
                                            kKey.toUtf8() + "]\n\"Name\"=\"x\"\n");
    EXPECT_EQ(store.RegCloseKey(key), 0);
    EXPECT_EQ(store.RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(store.RegOpenKeyExW(0x1234, kKey, 0, KEY_READ, &other), ERROR_INVALID_HANDLE);
}

TEST(FileSettingsStore, UnwritableHiveAnswersAccessDeniedAndStaysAsItWas) {
    Sandbox sandbox;
    ASSERT_EQ(RegWriteDword(HKEY_LOCAL_MACHINE, kKey, "Policy", 15), 0);
    const QByteArray before = sandbox.Read("machine.reg");
    // Readable for everyone, writable by nobody but root. The child is nobody when the tests
    // run as root, who may write anything.
    using P = QFileDevice;
    QFile::setPermissions(sandbox.Root(), P::ReadOwner | P::ExeOwner | P::ReadOther | P::ExeOther);
    QFile::setPermissions(sandbox.Path("machine.reg"), P::ReadOwner | P::ReadOther);
    const int result = Wait(Fork([] {
        int32_t error = -1;
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 100;
        if (RegReadDword(HKEY_LOCAL_MACHINE, kKey, "Policy", 0, &error) != 15 || error != 0)
            return 10;
        if (RegWriteDword(HKEY_LOCAL_MACHINE, kKey, "Policy", 0) != ERROR_ACCESS_DENIED)
            return 11;
        return RegWriteString(HKEY_LOCAL_MACHINE, "Software\\New", "X", "y") == ERROR_ACCESS_DENIED
                   ? 0
                   : 12;
    }));
    QFile::setPermissions(sandbox.Root(), P::ReadOwner | P::WriteOwner | P::ExeOwner);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(sandbox.Read("machine.reg"), before);
}

TEST(FileSettingsStore, WritesKeepLinesTheyCannotRead) {
    Sandbox sandbox;
    const QByteArray before = "Windows Registry Editor Version 5.00\n\n"
                              "[HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Test]\n"
                              "\"Old\"=dword:00000001\nthis line means nothing to us\n";
    sandbox.Write("user.reg", before);
    ASSERT_EQ(RegWriteDword(HKEY_CURRENT_USER, kKey, "New", 2), 0);
    EXPECT_EQ(sandbox.Read("user.reg"), before + "\"New\"=dword:00000002\n");
}

// Text that is neither UTF-8 nor UTF-16, or a file above the size cap, would lose data if
// written back.
TEST(FileSettingsStore, RefusesToRewriteAHiveItCannotReadWhole) {
    Sandbox sandbox;
    const QByteArray utf16 =
        "\xff\xfe" + Utf16LeWithNul("Windows Registry Editor Version 5.00\n").chopped(2);
    const std::pair<QByteArray, int32_t> cases[] = {
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n\"A\"=\"caf\xe9\"\n",
         ERROR_REGISTRY_CORRUPT},
        {utf16 + "A", ERROR_REGISTRY_CORRUPT},                               // half a character
        {utf16 + QByteArray("\x00\xd8\x0a\x00", 4), ERROR_REGISTRY_CORRUPT}, // a lone surrogate
        {{}, ERROR_FILE_TOO_LARGE}, // made larger than the cap below
    };
    for (const auto& [original, code] : cases) {
        sandbox.Write("user.reg", original);
        const QByteArray local = QFile::encodeName(sandbox.Path("user.reg"));
        const off_t size = original.isEmpty() ? CDurableFile::kMaxSize + 1 : original.size();
        ASSERT_EQ(::truncate(local.constData(), size), 0); // sparse: takes no disk space
        EXPECT_EQ(RegWriteDword(HKEY_CURRENT_USER, kKey, "New", 2), code)
            << original.toHex().constData();
        EXPECT_EQ(QFileInfo(sandbox.Path("user.reg")).size(), size);
        EXPECT_TRUE(original.isEmpty() || sandbox.Read("user.reg") == original);
    }
}

TEST(FileSettingsStore, TwoProcessesWritingAtOnceLoseNothing) {
    Sandbox sandbox;
    constexpr int kCount = 500;
    auto writer = [](const char* prefix) {
        return [prefix] {
            bool failed = false;
            for (uint32_t i = 0; i < kCount; ++i)
                failed |= RegWriteDword(HKEY_CURRENT_USER, "Software\\Race",
                                        prefix + QString::number(i), i) != 0;
            return failed ? 1 : 0;
        };
    };
    for (const pid_t pid : {Fork(writer("A")), Fork(writer("B"))})
        EXPECT_EQ(Wait(pid), 0);
    // Read back through the store of this process, which never wrote.
    int found = 0;
    for (int i = 0; i < 2 * kCount; ++i) {
        const QString name = (i < kCount ? "A" : "B") + QString::number(i % kCount);
        found += RegReadDword(HKEY_CURRENT_USER, "Software\\Race", name, UINT32_MAX) ==
                 uint32_t(i % kCount);
    }
    EXPECT_EQ(found, 2 * kCount);
    EXPECT_TRUE(sandbox.Hive("user.reg").UnreadLines().isEmpty());
}

TEST(FileSettingsStore, WriterKilledMidWriteLeavesAReadableHive) {
    Sandbox sandbox;
    for (int round = 0; round < 15; ++round) {
        // A long text makes every rewrite take a while, so kills land inside writes.
        const pid_t writer = Fork([] {
            for (uint32_t i = 0;; ++i) {
                RegWriteString(HKEY_CURRENT_USER, "Software\\Churn", "Filler",
                               QString(200000, u'x') + QString::number(i));
                RegWriteDword(HKEY_CURRENT_USER, "Software\\Churn", "Counter", i);
            }
            return 0;
        });
        // Until the first value is written (creating the key is a write of its own), then a
        // little longer, so that the kill falls at a different point of a rewrite each round.
        QElapsedTimer waited;
        waited.start();
        while (!sandbox.Read("user.reg").contains("\"Filler\"") && waited.elapsed() < 30000)
            QThread::msleep(5);
        QThread::msleep(QRandomGenerator::global()->bounded(5, 60));
        ::kill(writer, SIGKILL);
        ASSERT_EQ(Wait(writer), -1);

        const CHive hive = sandbox.Hive("user.reg");
        ASSERT_TRUE(hive.HasHeader() && hive.IsLossless()) << "round " << round;
        ASSERT_TRUE(hive.UnreadLines().isEmpty()) << "round " << round;
        ASSERT_NE(hive.FindValue("HKCU\\Software\\Churn", "Filler"), nullptr) << round;
        // Through the program's own reader as well.
        int32_t error = -1;
        RegReadDword(HKEY_CURRENT_USER, "Software\\Churn", "Counter", 0, &error);
        EXPECT_TRUE(error == 0 || error == ERROR_FILE_NOT_FOUND) << error;
    }
    // Temporaries of killed writers are cleared by the next writer.
    ASSERT_EQ(RegWriteDword(HKEY_CURRENT_USER, kKey, "After", 1), 0);
    EXPECT_TRUE(QDir(sandbox.Root()).entryList({"user.reg.tmp.*"}, QDir::Files).isEmpty());
}

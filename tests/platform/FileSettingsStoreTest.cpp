#include "platform/FileSettingsStore.h"
#include "platform/DurableFile.h"
#include "platform/FdGuard.h"
#include "platform/Registry.h"

#include "support/Sandbox.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
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

// The child's exit code, or -1 when it did not end by itself; a child still running after the
// given seconds is killed: a guard that turns a hang into a failure, not a measure of speed.
int Wait(pid_t pid, int seconds = 60) {
    QElapsedTimer waited;
    waited.start();
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (waited.elapsed() > seconds * 1000) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        QThread::msleep(10);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
} // namespace

// A line break in a name would split a line of the hive file; a closed or made-up handle
// must be refused, not used.
TEST(FileSettingsStore, RefusesLineBreaksInNamesAndUnknownHandles) {
    Sandbox sandbox;
    CFileSettingsStore store;
    HKEY key = 0, other = 0;
    uint32_t disposition = 0;
    ASSERT_EQ(store.RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_WRITE, &key, &disposition), 0);
    const auto* data = reinterpret_cast<const uint8_t*>("x\0\0\0");
    for (const char* name : {"Two\nLines", "Two\rLines"})
        EXPECT_EQ(store.RegSetValueExW(key, name, REG_SZ, data, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(store.RegCreateKeyExW(HKEY_CURRENT_USER, kKey + "\\A\nB", 0, KEY_WRITE, &other,
                                    &disposition),
              ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(sandbox.Read("user.reg").contains("Two"));
    EXPECT_EQ(store.RegCloseKey(key), 0);
    EXPECT_EQ(store.RegSetValueExW(key, "Name", REG_SZ, data, 4), ERROR_INVALID_HANDLE);
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
    const QByteArray utf16 = Utf16Le("Windows Registry Editor Version 5.00\n");
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
    EXPECT_TRUE(sandbox.Hive("user.reg").SkippedLines().isEmpty());
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
        ASSERT_TRUE(hive.SkippedLines().isEmpty()) << "round " << round;
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

// A FIFO in place of a settings file has no writer: opening it to read would wait forever.
TEST(FileSettingsStore, NonRegularFilesAreUnreadableAndNeverWaitedFor) {
    Sandbox sandbox;
    const QString ini = QStringLiteral("C:\\settings.ini");
    struct Row {
        const char* name;
        const char* file;
        std::function<bool()> failsAsUnreadable;
    };
    const Row rows[] = {
        {"ReadHive", "user.reg",
         [] {
             int32_t error = 0;
             return RegReadDword(HKEY_CURRENT_USER, kKey, "A", 7, &error) == 7 && error != 0;
         }},
        {"WriteHive", "machine.reg",
         [] { return RegWriteDword(HKEY_LOCAL_MACHINE, kKey, "A", 1) != ERROR_SUCCESS; }},
        {"ReadIni", "drive_c/settings.ini",
         [&] { return GetSettingsStore()->GetPrivateProfileIntW("S", "K", 7, ini) == 7; }},
    };
    QDir().mkpath(sandbox.Path("drive_c"));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QByteArray local = QFile::encodeName(sandbox.Path(row.file));
        ASSERT_EQ(::mkfifo(local.constData(), 0600), 0);
        EXPECT_EQ(Wait(Fork([&] { return row.failsAsUnreadable() ? 0 : 1; }), 30), 0);
        struct stat info {};
        EXPECT_TRUE(::lstat(local.constData(), &info) == 0 && S_ISFIFO(info.st_mode));
    }
}

// Another user tries to take the machine hive's lock and keep it; then the administrator
// writes. Only those who may write the hive may open its lock, and a lock opened before
// that rule (older versions made it readable by all) holds a writer off only for the limit.
TEST(FileSettingsStore, NoOtherUserCanHoldTheAdministratorOff) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to be the administrator beside another user";
    struct Row {
        const char* name;
        mode_t lockMode; // given to the lock before the other user tries it; 0: as made
        bool otherHolds;
        int result;
    };
    const Row rows[] = {
        {"LockAsMade", 0, false, ERROR_SUCCESS},
        {"LockReadableByAll", 0644, true, ERROR_LOCK_VIOLATION},
    };
    CDurableFile::SetLockTimeout(std::chrono::milliseconds(300));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Sandbox sandbox;
        ASSERT_EQ(RegWriteDword(HKEY_LOCAL_MACHINE, kKey, "Policy", 15), 0);
        const QByteArray lock = QFile::encodeName(sandbox.Path("machine.reg.lock"));
        if (row.lockMode != 0) {
            ASSERT_EQ(::chmod(lock.constData(), row.lockMode), 0);
        }
        ASSERT_EQ(::chmod(QFile::encodeName(sandbox.Root()).constData(), 0755), 0);
        int report[2], release[2];
        ASSERT_TRUE(::pipe(report) == 0 && ::pipe(release) == 0);
        const pid_t other = Fork([&] {
            ::close(release[1]);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                return 100;
            bool held = false;
            for (const int flags : {O_RDONLY, O_RDWR}) {
                const int fd = ::open(lock.constData(), flags);
                held = held || (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0);
            }
            const char answer = held ? 'y' : 'n';
            char ignored = 0;
            // Holds whatever it got until the administrator is done.
            return ::write(report[1], &answer, 1) == 1 && ::read(release[0], &ignored, 1) == 0
                       ? 0
                       : 101;
        });
        ::close(report[1]);
        ::close(release[0]);
        char answer = 0;
        EXPECT_EQ(::read(report[0], &answer, 1), 1);
        EXPECT_EQ(answer == 'y', row.otherHolds);
        const QByteArray before = sandbox.Read("machine.reg");
        const int result = Wait(
            Fork([] { return int(RegWriteDword(HKEY_LOCAL_MACHINE, kKey, "Policy", 0)); }), 30);
        ::close(release[1]);
        ::close(report[0]);
        EXPECT_EQ(Wait(other), 0);
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(sandbox.Read("machine.reg") != before, row.result == ERROR_SUCCESS);
    }
    CDurableFile::SetLockTimeout(CDurableFile::kDefaultLockTimeout);
}

// Root writing a hive in a place another user controls could be led by a planted link to
// overwrite any file; such a hive is refused whole. A link only root controls is followed.
TEST(FileSettingsStore, WritesOnlyWhereNoOtherUserCanRedirectThem) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to hand folders to another user";
    Sandbox sandbox;
    const QByteArray kept = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Kept]\n";
    for (const char* folder : {"theirs/mine", "mine", "open"})
        ASSERT_TRUE(QDir().mkpath(sandbox.Path(folder)));
    for (const char* file : {"target.reg", "theirs/plain.reg", "theirs/mine/plain.reg",
                             "mine/theirs.reg", "open/plain.reg"})
        sandbox.Write(file, kept);
    for (const char* link : {"theirs/link.reg", "mine/link.reg"})
        ASSERT_TRUE(QFile::link("../target.reg", sandbox.Path(link)));
    auto local = [&](const char* relative) { return QFile::encodeName(sandbox.Path(relative)); };
    ASSERT_EQ(::chown(local("theirs").constData(), 65534, 65534), 0);
    ASSERT_EQ(::chown(local("mine/theirs.reg").constData(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(local("open").constData(), 0777), 0);

    struct Row {
        const char* name;
        const char* hive;
        const char* culprit; // named in the refusal; null: the write goes through
    };
    const Row rows[] = {
        {"LinkInAFolderOfAnotherUser", "theirs/link.reg", "theirs"},
        {"FileInAFolderOfAnotherUser", "theirs/plain.reg", "theirs"},
        {"BelowAFolderOfAnotherUser", "theirs/mine/plain.reg", "theirs"},
        {"FileOfAnotherUser", "mine/theirs.reg", "mine/theirs.reg"},
        {"FolderWritableByAll", "open/plain.reg", "open"},
        {"LinkOnlyRootControls", "mine/link.reg", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const CFileSettingsStore store(sandbox.Path(row.hive), {});
        QString why;
        const int32_t result = store.EditHive(HKEY_LOCAL_MACHINE, &why, [](CHive& hive) {
            hive.CreateKey("HKLM\\Written");
            return ERROR_SUCCESS;
        });
        const bool written = sandbox.Hive(row.hive).KeyExists("HKLM\\Written");
        if (row.culprit == nullptr) {
            EXPECT_EQ(result, ERROR_SUCCESS);
            EXPECT_TRUE(written);
            EXPECT_TRUE(QFileInfo(sandbox.Path(row.hive)).isSymLink());
            continue;
        }
        EXPECT_EQ(result, ERROR_ACCESS_DENIED);
        EXPECT_TRUE(why.contains(sandbox.Path(row.culprit) + u' ')) << why.toStdString();
        EXPECT_EQ(sandbox.Read(row.hive), kept);
        EXPECT_EQ(sandbox.Read("target.reg"), kept);
        EXPECT_TRUE(QDir(sandbox.Root()).entryList({"*.lock"}, QDir::Files).isEmpty());
        EXPECT_FALSE(QFileInfo::exists(sandbox.Path(row.hive) + ".lock"));
    }
}

// The program reads many values: the hive is read once, and again only after it changed,
// whoever changed it and however.
TEST(FileSettingsStore, ReadsTheHiveAgainOnlyWhenItChanged) {
    Sandbox sandbox;
    auto read = [] {
        return ReadSettingInt(CurrentUser, kKey, "Value", -1, nullptr, kRegistryMarker);
    };
    ASSERT_EQ(WriteSettingInt(CurrentUser, kKey, "Value", 1, kRegistryMarker), 0);
    const QByteArray hive = QFile::encodeName(sandbox.Path("user.reg"));
    const FdGuard watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    // Closes are watched too, or the kernel would merge repeated opens into one event.
    ASSERT_GE(::inotify_add_watch(watch.Get(), hive.constData(), IN_OPEN | IN_CLOSE_NOWRITE), 0);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(read(), 1);
    int opens = 0;
    alignas(inotify_event) char events[64 * 1024];
    for (ssize_t size; (size = ::read(watch.Get(), events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            opens += (event->mask & IN_OPEN) != 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    EXPECT_EQ(opens, 1);

    struct Row {
        const char* name;
        std::function<void()> change;
        int32_t seen;
    };
    const Row rows[] = {
        {"WrittenHere", [] { WriteSettingInt(CurrentUser, kKey, "Value", 2, kRegistryMarker); }, 2},
        {"WrittenByAnotherProcess",
         [] {
             Wait(Fork([] {
                 return int(WriteSettingInt(CurrentUser, kKey, "Value", 3, kRegistryMarker));
             }));
         },
         3},
        // An editor writing in place within the same second: same inode, same size.
        {"EditedInPlace",
         [&] {
             struct stat before {};
             ::stat(hive.constData(), &before);
             const QByteArray text =
                 sandbox.Read("user.reg").replace("dword:00000003", "dword:00000004");
             const FdGuard file(::open(hive.constData(), O_WRONLY));
             ASSERT_EQ(::pwrite(file.Get(), text.constData(), text.size(), 0), text.size());
             timespec times[2] = {before.st_atim, before.st_mtim};
             times[1].tv_nsec = before.st_mtim.tv_nsec == 0 ? 1 : before.st_mtim.tv_nsec - 1;
             ASSERT_EQ(::futimens(file.Get(), times), 0);
         },
         4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(read(), row.seen - 1);
        row.change();
        EXPECT_EQ(read(), row.seen);
    }
}

// An administrator who narrowed a settings file's mode keeps it through later writes.
TEST(FileSettingsStore, RewritesKeepTheFileMode) {
    Sandbox sandbox;
    const QString key = "K", value = "v";
    const char* const files[] = {"user.reg", "drive_c/settings.ini"};
    for (const char* file : files) {
        sandbox.Write(file, {});
        ASSERT_EQ(::chmod(QFile::encodeName(sandbox.Path(file)).constData(), 0640), 0);
    }
    ASSERT_EQ(RegWriteDword(HKEY_CURRENT_USER, kKey, "A", 1), 0);
    ASSERT_TRUE(
        GetSettingsStore()->WritePrivateProfileStringW("S", &key, &value, "C:\\settings.ini"));
    for (const char* file : files) {
        struct stat info {};
        ASSERT_EQ(::stat(QFile::encodeName(sandbox.Path(file)).constData(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0640u) << file;
    }
}

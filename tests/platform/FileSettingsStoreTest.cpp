#include "platform/FileSettingsStore.h"
#include "platform/Registry.h"

#include "support/ProgramRun.h"

#include <QRandomGenerator>

const QString kKey = QStringLiteral("Software\\ORVEX Technologies\\Test");

static QByteArray Local(const Sandbox& sandbox, const QString& relative) {
    return QFile::encodeName(sandbox.Path(relative));
}

// A line break in a name would split a line of the hive file; a closed or made-up handle
// must be refused, not used; so must a hive that cannot be read whole.
TEST(FileSettingsStore, RefusesLineBreaksInNamesUnknownHandlesAndHivesItCannotReadWhole) {
    Sandbox sandbox;
    CFileSettingsStore store;
    HKEY key = 0, other = 0;
    uint32_t made = 0;
    ASSERT_EQ(store.RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_WRITE, &key, &made), 0);
    const auto* data = reinterpret_cast<const uint8_t*>("x\0\0\0");
    for (const char* name : {"Two\nLines", "Two\rLines"})
        EXPECT_EQ(store.RegSetValueExW(key, name, REG_SZ, data, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(
        store.RegCreateKeyExW(HKEY_CURRENT_USER, kKey + "\\A\nB", 0, KEY_WRITE, &other, &made),
        ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(sandbox.Read("user.reg").contains("Two"));
    EXPECT_EQ(store.RegCloseKey(key), 0);
    EXPECT_EQ(store.RegSetValueExW(key, "Name", REG_SZ, data, 4), ERROR_INVALID_HANDLE);
    EXPECT_EQ(store.RegOpenKeyExW(0x1234, kKey, 0, KEY_READ, &other), ERROR_INVALID_HANDLE);

    // Text that is neither UTF-8 nor UTF-16 would lose data if written back.
    const QByteArray utf16 = Utf16Le("Windows Registry Editor Version 5.00\n");
    for (const QByteArray& original :
         {QByteArray(
              "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n\"A\"=\"caf\xe9\"\n"),
          utf16 + "A",                                  // half a character
          utf16 + QByteArray("\x00\xd8\x0a\x00", 4)}) { // a lone surrogate
        sandbox.Write("user.reg", original);
        EXPECT_EQ(RegWriteDword(HKEY_CURRENT_USER, kKey, "New", 2), ERROR_REGISTRY_CORRUPT)
            << original.toHex().constData();
        EXPECT_EQ(sandbox.Read("user.reg"), original);
    }
}

// A hive holds whatever an administrator or another tool saved in it. It reads as Windows reads
// it, and a write changes the line of its own value alone: a line the store cannot read stays, a
// backslash ends a comment rather than continuing it, an unfinished continuation takes up the
// next line (a section too, whose values go to the key before), and of a value given twice (in a
// section given twice) the last counts and one is left. The mode an administrator narrowed the file
// to stays too.
TEST(FileSettingsStore, ReadsAndRewritesWhatOthersSaved) {
    Sandbox sandbox;
    const QByteArray head = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\O]\n";
    const QByteArray section = "\n[HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Test]\n";
    const QByteArray one = "\"A\"=dword:00000001\n", two = "\"A\"=dword:00000002\n";
    // The hive, the value A reads as, and the hive after A is set to 2 (a section follows an
    // empty line then).
    const QByteArray again = "\n[hkcu\\software\\orvex technologies\\test]\n";
    // clang-format off
    const std::tuple<const char*, QByteArray, uint32_t, QByteArray> rows[] = {
        {"UnreadLine", head + section + one + "nonsense\n", 1, head + section + two + "nonsense\n"},
        {"CommentEndingInBackslash", head + "; C:\\\n" + section.mid(1) + one + "; C:\\", 1, head + "; C:\\\n" + section + two + "; C:\\\n"},
        {"UnfinishedHex", head + "\"B\"=hex:01,\\\n" + section.mid(1) + one, 0, head + "\"B\"=hex:01,\\\n" + section.mid(1) + one + section + two},
        {"ValueGivenTwice", head + section + one + "\"B\"=\"b\"\n\"a\"=dword:00000003\n", 3, head + section + "\"a\"=dword:00000002\n\"B\"=\"b\"\n"},
        {"SectionGivenTwice", head + section + one + again + "\"a\"=dword:00000003\n", 3, head + section + "\"a\"=dword:00000002\n" + again},
        {"ValueTakenUpByHex", head + section + one + "\"o\"=hex:\\\n; c\n\n\"a\"=dword:00000003\n01,02\n", 1, head + section + two + "\"o\"=hex:\\\n; c\n\n\"a\"=dword:00000003\n01,02\n"},
    };
    // clang-format on
    for (const auto& [name, text, read, written] : rows) {
        SCOPED_TRACE(name);
        sandbox.Write("user.reg", text);
        ASSERT_EQ(::chmod(Local(sandbox, "user.reg").constData(), 0640), 0);
        EXPECT_EQ(RegReadDword(HKEY_CURRENT_USER, kKey, "A", 0), read);
        ASSERT_EQ(RegWriteDword(HKEY_CURRENT_USER, kKey, "A", 2), 0);
        EXPECT_EQ(sandbox.Mode("user.reg"), mode_t(S_IFREG | 0640));
        EXPECT_EQ(sandbox.Read("user.reg").toStdString(), written.toStdString());
    }
}

// A FIFO planted at a hive path would hold every start waiting for a writer that never comes.
// It is no regular file: reads and writes refuse it at once. (In a child, whose hang the
// parent ends.)
TEST(FileSettingsStore, AFifoAtTheHivePathNeverBlocks) {
    Sandbox sandbox;
    ASSERT_EQ(::mkfifo(Local(sandbox, "user.reg").constData(), 0600), 0);
    const pid_t child = Fork([] {
        int32_t error = 0;
        const uint32_t value = RegReadDword(HKEY_CURRENT_USER, kKey, "A", 7, &error);
        const int32_t written = RegWriteDword(HKEY_CURRENT_USER, kKey, "A", 1);
        return value == 7 && error == ERROR_BAD_FILE_TYPE && written == ERROR_BAD_FILE_TYPE ? 0 : 1;
    });
    EXPECT_EQ(Wait(child, 10), 0);
    EXPECT_EQ(sandbox.Mode("user.reg"), mode_t(S_IFIFO | 0600));
}

TEST(FileSettingsStore, TwoProcessesWritingAtOnceLoseNothing) {
    Sandbox sandbox;
    // Every write rewrites the whole hive, so the run grows with the square of the count; 300
    // each keeps the two writers racing throughout and the sanitizer builds within their limits.
    constexpr int kCount = 300;
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
    const CHive hive = sandbox.Hive("user.reg");
    EXPECT_EQ(hive.Values("HKCU\\Software\\Race").size(), size_t(2 * kCount));
    EXPECT_EQ(RegReadDword(HKEY_CURRENT_USER, "Software\\Race", "B299", 0), 299u);
    EXPECT_TRUE(hive.SkippedLines().isEmpty());
}

TEST(FileSettingsStore, WriterKilledMidWriteLeavesAReadableHive) {
    Sandbox sandbox;
    for (int round = 0; round < 15; ++round) {
        SCOPED_TRACE(round);
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
        WaitFor([&] { return sandbox.Read("user.reg").contains("\"Filler\""); }, 30000);
        QThread::msleep(QRandomGenerator::global()->bounded(5, 60));
        ::kill(writer, SIGKILL);
        ASSERT_EQ(Wait(writer), -1);
        const CHive hive = sandbox.Hive("user.reg");
        ASSERT_TRUE(hive.HasHeader() && hive.IsLossless() && hive.SkippedLines().isEmpty());
        ASSERT_NE(hive.FindValue("HKCU\\Software\\Churn", "Filler"), nullptr);
    }
    // Temporaries of killed writers are cleared by the next writer.
    ASSERT_EQ(RegWriteDword(HKEY_CURRENT_USER, kKey, "After", 1), 0);
    EXPECT_TRUE(QDir(sandbox.Root()).entryList({"user.reg.tmp.*"}, QDir::Files).isEmpty());
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
    ASSERT_EQ(::chown(Local(sandbox, "theirs").constData(), 65534, 65534), 0);
    ASSERT_EQ(::chown(Local(sandbox, "mine/theirs.reg").constData(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(Local(sandbox, "open").constData(), 0777), 0);
    // The hive and the path named in the refusal; none: the write goes through.
    // clang-format off
    const std::pair<const char*, const char*> rows[] = {
        {"theirs/link.reg", "theirs"}, {"theirs/plain.reg", "theirs"}, {"theirs/mine/plain.reg", "theirs"},
        {"mine/theirs.reg", "mine/theirs.reg"}, {"open/plain.reg", "open"}, {"mine/link.reg", nullptr}};
    // clang-format on
    for (const auto& [file, culprit] : rows) {
        SCOPED_TRACE(file);
        QString why;
        const auto write = [](CHive& hive) {
            return hive.CreateKey("HKLM\\Written"), ERROR_SUCCESS;
        };
        const int32_t result =
            CFileSettingsStore(sandbox.Path(file), {}).EditHive(HKEY_LOCAL_MACHINE, &why, write);
        if (culprit == nullptr) {
            EXPECT_EQ(result, ERROR_SUCCESS);
            EXPECT_TRUE(sandbox.Hive(file).KeyExists("HKLM\\Written"));
            EXPECT_TRUE(QFileInfo(sandbox.Path(file)).isSymLink());
            continue;
        }
        EXPECT_EQ(result, ERROR_ACCESS_DENIED);
        EXPECT_TRUE(why.contains(sandbox.Path(culprit) + u' ')) << why.toStdString();
        EXPECT_EQ(sandbox.Read(file), kept);
        EXPECT_EQ(sandbox.Read("target.reg"), kept);
        EXPECT_FALSE(QFileInfo::exists(sandbox.Path(file) + ".lock"));
    }
}

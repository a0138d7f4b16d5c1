// The real program in a sandbox: what its runs leave in the hive files.
#include "support/Sandbox.h"

#include <QDate>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

namespace {
const QString kSchedule =
    QStringLiteral("HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Product Update");

QProcessEnvironment SandboxEnvironment(const QString& root) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ORVEX_ROOT"), root);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

void StartProgram(QProcess& process, const QString& root, const QStringList& arguments) {
    process.setProcessEnvironment(SandboxEnvironment(root));
    process.start(QStringLiteral(ORVEX_BINARY_DIR "/orvex-product-update"), arguments);
    ASSERT_TRUE(process.waitForStarted());
}

// A silent run ends by itself: the stand-in check finds nothing, so no window is shown.
void RunSilent(const QString& root, QString* errors = nullptr) {
    QProcess process;
    StartProgram(process, root, {QStringLiteral("-silent")});
    ASSERT_TRUE(process.waitForFinished(60000)) << "the silent run did not end";
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
    if (errors != nullptr)
        *errors = QString::fromLocal8Bit(process.readAllStandardError());
}

int32_t Dword(const CHive& hive, const char* name) {
    const CHive::Value* value = hive.FindValue(kSchedule, QLatin1String(name));
    if (value == nullptr || value->type != REG_DWORD || value->data.size() != 4)
        return INT32_MIN;
    int32_t number = 0;
    std::memcpy(&number, value->data.constData(), 4);
    return number;
}

QByteArray UserHive(int32_t lastChecked, int32_t interval) {
    return QStringLiteral("Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Product Update]\n"
                          "\"CheckUpdates\"=dword:00000001\n"
                          "\"Interval\"=dword:%1\n"
                          "\"LastChecked\"=dword:%2\n")
        .arg(interval, 8, 16, QLatin1Char('0'))
        .arg(lastChecked, 8, 16, QLatin1Char('0'))
        .toUtf8();
}

const QByteArray kDeniedPolicy = "Windows Registry Editor Version 5.00\n\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVEX Technologies\\ACC]\n"
                                 "\"InternetAccess\"=dword:0000000b\n";
} // namespace

TEST(ProgramSandbox, DueSilentRunSavesTheSchedule) {
    Sandbox sandbox;
    RunSilent(sandbox.Root());
    ASSERT_TRUE(QFileInfo::exists(sandbox.Path(QStringLiteral("user.reg"))));
    const CHive hive = sandbox.Hive(QStringLiteral("user.reg"));
    EXPECT_EQ(Dword(hive, "Interval"), 30);
    EXPECT_EQ(Dword(hive, "CheckUpdates"), 1);
    // The stand-in check never succeeds, so the last check stays "never".
    EXPECT_EQ(Dword(hive, "LastChecked"), 0);
    EXPECT_FALSE(QFileInfo::exists(sandbox.Path(QStringLiteral("machine.reg"))));

    // A second run in the same sandbox reads what the first saved and keeps it.
    const QByteArray saved = sandbox.Read(QStringLiteral("user.reg"));
    RunSilent(sandbox.Root());
    EXPECT_EQ(sandbox.Read(QStringLiteral("user.reg")), saved);
}

TEST(ProgramSandbox, SilentRunThatIsNotDueWritesNothing) {
    Sandbox sandbox;
    const auto yesterday = static_cast<int32_t>(QDate::currentDate().toJulianDay() - 1);
    const QByteArray before = UserHive(yesterday, 30);
    sandbox.Write(QStringLiteral("user.reg"), before);
    RunSilent(sandbox.Root());
    EXPECT_EQ(sandbox.Read(QStringLiteral("user.reg")), before);
}

TEST(ProgramSandbox, DeniedInternetAccessMakesBothRunsWriteNothing) {
    Sandbox sandbox;
    sandbox.Write(QStringLiteral("machine.reg"), kDeniedPolicy);
    RunSilent(sandbox.Root());
    EXPECT_FALSE(QFileInfo::exists(sandbox.Path(QStringLiteral("user.reg"))));

    // The interactive run stops at the administrator's message, which nobody answers
    // here; whatever it did up to that point must not have touched the hives.
    QProcess interactive;
    StartProgram(interactive, sandbox.Root(), {});
    if (!interactive.waitForFinished(5000)) {
        interactive.kill();
        interactive.waitForFinished();
    }
    EXPECT_FALSE(QFileInfo::exists(sandbox.Path(QStringLiteral("user.reg"))));
    EXPECT_EQ(sandbox.Read(QStringLiteral("machine.reg")), kDeniedPolicy);
}

TEST(ProgramSandbox, OneRunPerSandbox) {
    Sandbox first;
    Sandbox second;
    // An interactive run holds its sandbox's lock while its window is open. A silent run
    // that starts first takes the lock itself and the interactive one gives up, so it is
    // started again until it is the one holding the lock.
    QProcess holder;
    QString errors;
    bool refused = false;
    for (int attempt = 0; attempt < 100 && !refused; ++attempt) {
        if (holder.state() == QProcess::NotRunning)
            StartProgram(holder, first.Root(), {});
        QThread::msleep(100);
        RunSilent(first.Root(), &errors);
        refused = errors.contains(QStringLiteral("ORVEX Product Update is already running."));
    }
    EXPECT_TRUE(refused);

    RunSilent(second.Root(), &errors);
    EXPECT_FALSE(errors.contains(QStringLiteral("already running")));
    EXPECT_TRUE(QFileInfo::exists(second.Path(QStringLiteral("user.reg"))));

    holder.kill();
    holder.waitForFinished();
}

// The real program in a sandbox: what its runs leave in the hive files.
#include "support/Sandbox.h"

#include <QDate>
#include <QProcess>

namespace {
const QByteArray kScheduleHive =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Product Update]\n";

void Start(QProcess& process, const Sandbox& sandbox, const QStringList& arguments) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ORVEX_ROOT", sandbox.Root());
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(environment);
    process.start(ORVEX_BINARY_DIR "/orvex-product-update", arguments);
    ASSERT_TRUE(process.waitForStarted());
}

// A silent run ends by itself: without a product list there is nothing to check or show.
void RunSilent(const Sandbox& sandbox) {
    QProcess process;
    Start(process, sandbox, {"-silent"});
    EXPECT_TRUE(process.waitForFinished(60000)) << "the silent run did not end";
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
}

} // namespace

TEST(ProgramSandbox, SilentRunSavesTheScheduleOnlyWhenDue) {
    Sandbox sandbox;
    RunSilent(sandbox);
    const QByteArray saved = sandbox.Read("user.reg");
    EXPECT_TRUE(saved.startsWith(kScheduleHive)) << saved.constData();
    // With nothing checked the check did not succeed, so the last check stays "never".
    for (const char* line : {"\"Interval\"=dword:0000001e\n", "\"CheckUpdates\"=dword:00000001\n",
                             "\"LastChecked\"=dword:00000000\n"})
        EXPECT_TRUE(saved.contains(line)) << saved.constData();
    EXPECT_FALSE(QFileInfo::exists(sandbox.Path("machine.reg")));

    // Checked yesterday with an interval of 30 days: not due, nothing written.
    const auto yesterday = static_cast<int32_t>(QDate::currentDate().toJulianDay() - 1);
    const QByteArray before = kScheduleHive +
                              "\"CheckUpdates\"=dword:00000001\n\"Interval\"=dword:0000001e\n"
                              "\"LastChecked\"=dword:" +
                              QByteArray::number(yesterday, 16).rightJustified(8, '0') + "\n";
    sandbox.Write("user.reg", before);
    RunSilent(sandbox);
    EXPECT_EQ(sandbox.Read("user.reg"), before);
}

TEST(ProgramSandbox, DeniedInternetAccessMakesBothRunsWriteNothing) {
    Sandbox sandbox;
    const QByteArray policy = "Windows Registry Editor Version 5.00\n\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVEX Technologies\\ACC]\n"
                              "\"InternetAccess\"=dword:0000000b\n";
    sandbox.Write("machine.reg", policy);
    RunSilent(sandbox);
    EXPECT_FALSE(QFileInfo::exists(sandbox.Path("user.reg")));

    // The interactive run stops at the administrator's message, which nobody answers
    // here; whatever it did up to that point must not have touched the hives.
    QProcess interactive;
    Start(interactive, sandbox, {});
    if (!interactive.waitForFinished(5000)) {
        interactive.kill();
        interactive.waitForFinished();
    }
    EXPECT_FALSE(QFileInfo::exists(sandbox.Path("user.reg")));
    EXPECT_EQ(sandbox.Read("machine.reg"), policy);
}

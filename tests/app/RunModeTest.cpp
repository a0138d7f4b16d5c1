#include "app/WorkFlow.h"
#include "platform/Registry.h"
#include "platform/Settings.h"
#include "support/ModalAnswerer.h"
#include "support/QtPrinters.h"
#include "support/Sandbox.h"
#include "update/AccessPolicy.h"
#include "update/RecordKeeper.h"

#include <QDialog>
#include <QMessageBox>

#include <gtest/gtest.h>

#include <climits>
#include <optional>

namespace {

const QString kKey = QStringLiteral("Software/ORVEX Technologies/Product Update");
constexpr int32_t kDay = 2451545; // 1 January 2000

std::optional<int32_t> UserValue(const QString& name) {
    int32_t error = 0;
    const int32_t value = ReadSettingInt(CurrentUser, kKey, name, -12345, &error, kRegistryMarker);
    if (error != 0)
        return std::nullopt;
    return value;
}

void SetValue(int32_t scope, const QString& name, int32_t value) {
    ASSERT_EQ(WriteSettingInt(scope, kKey, name, value, kRegistryMarker), 0);
}

void SetPolicy(uint32_t value) {
    ASSERT_EQ(RegWriteDword(HKEY_LOCAL_MACHINE, QStringLiteral("SOFTWARE\\ORVEX Technologies\\ACC"),
                            QStringLiteral("InternetAccess"), value),
              0);
}

bool NothingSaved() {
    return !UserValue(QStringLiteral("Interval")) && !UserValue(QStringLiteral("CheckUpdates")) &&
           !UserValue(QStringLiteral("LastChecked"));
}

struct DueCase {
    int32_t interval;
    int32_t lastChecked;
    int32_t today;
    bool due;
};

TEST(RecordKeeper, DecidesWhetherTheSilentCheckIsDue) {
    const DueCase cases[] = {
        {30, kDay, kDay + 29, false},
        {30, kDay, kDay + 30, true},
        {30, 0, kDay, true},
        {1, kDay, kDay, false},
        {0, kDay, kDay, true},
        {0, kDay + 1, kDay, false},
        {-5, kDay + 3, kDay, true},
        // Hand-edited extremes must not overflow into the opposite answer.
        {30, INT32_MIN, kDay, true},
        {30, INT32_MAX, kDay, false},
        {INT32_MAX, 0, kDay, false},
    };
    for (const DueCase& c : cases) {
        CRecordKeeper keeper;
        keeper.Interval = c.interval;
        keeper.LastChecked = c.lastChecked;
        EXPECT_EQ(keeper.IsCheckDue(c.today), c.due)
            << "interval " << c.interval << " last " << c.lastChecked << " today " << c.today;
    }
}

struct PolicyCase {
    std::optional<uint32_t> stored;
    bool allowed;
};

TEST(AccessPolicy, AsksForBitFourOfTheMask) {
    const PolicyCase cases[] = {
        {std::nullopt, true}, {15u, true}, {4u, true},  {5u, true},  {0xFFFFFFFFu, true},
        {11u, false},         {0u, false}, {3u, false}, {8u, false},
    };
    for (const PolicyCase& c : cases) {
        Sandbox sandbox;
        if (c.stored)
            SetPolicy(*c.stored);
        EXPECT_EQ(IsInternetAccessAllowed(4), c.allowed) << (c.stored ? *c.stored : 99u);
    }
}

struct LoadCase {
    const char* name;
    std::vector<std::tuple<int32_t, const char*, int32_t>> stored;
    int32_t interval;
    bool checkUpdates;
    int32_t lastChecked;
    bool loadResult;
};

TEST(RecordKeeper, LoadFallsBackToMachineThenDefaults) {
    // clang-format off
    const LoadCase cases[] = {
        {"nothing stored", {}, 30, true, 0, false},
        {"user values", {{CurrentUser, "Interval", 7}, {CurrentUser, "CheckUpdates", 0},
                         {CurrentUser, "LastChecked", kDay}}, 7, false, kDay, true},
        {"machine interval", {{LocalMachine, "Interval", 7}}, 7, true, 0, false},
        {"user wins over machine", {{LocalMachine, "Interval", 7}, {CurrentUser, "Interval", 9}},
         9, true, 0, false},
        {"check updates 2 is off", {{CurrentUser, "CheckUpdates", 2}}, 30, false, 0, false},
        {"machine switches checks off", {{LocalMachine, "CheckUpdates", 0}}, 30, false, 0, false},
        {"machine last checked ignored", {{LocalMachine, "LastChecked", kDay}}, 30, true, 0, false},
    };
    // clang-format on
    for (const LoadCase& c : cases) {
        Sandbox sandbox;
        for (const auto& [scope, name, value] : c.stored)
            SetValue(scope, QString::fromLatin1(name), value);
        CRecordKeeper keeper;
        EXPECT_EQ(keeper.Load(), c.loadResult) << c.name;
        EXPECT_EQ(keeper.Interval, c.interval) << c.name;
        EXPECT_EQ(keeper.CheckUpdates, c.checkUpdates) << c.name;
        EXPECT_EQ(keeper.LastChecked, c.lastChecked) << c.name;
        EXPECT_EQ(keeper.LastCheckedToStore, c.lastChecked) << c.name;
    }
}

// A workflow whose calendar the test sets.
class DatedWorkFlow : public CWorkFlow {
public:
    explicit DatedWorkFlow(int32_t today) : m_today(today) {}

protected:
    int32_t Today() const override { return m_today; }

private:
    int32_t m_today;
};

struct SilentCase {
    const char* name;
    std::optional<uint32_t> policy;
    std::optional<int32_t> checkUpdates;
    std::optional<int32_t> lastChecked;
    bool saves;
};

TEST(WorkFlow, SilentRunSavesOnlyWhenItReachesTheEnd) {
    const SilentCase cases[] = {
        {"due, never checked", std::nullopt, std::nullopt, std::nullopt, true},
        {"due after interval", std::nullopt, std::nullopt, kDay - 30, true},
        {"checked yesterday", std::nullopt, std::nullopt, kDay - 1, false},
        {"checking off", std::nullopt, 0, std::nullopt, false},
        {"policy refuses", 11u, std::nullopt, std::nullopt, false},
        {"policy allows bit four", 4u, std::nullopt, std::nullopt, true},
    };
    for (const SilentCase& c : cases) {
        Sandbox sandbox;
        if (c.policy)
            SetPolicy(*c.policy);
        if (c.checkUpdates)
            SetValue(CurrentUser, QStringLiteral("CheckUpdates"), *c.checkUpdates);
        if (c.lastChecked)
            SetValue(CurrentUser, QStringLiteral("LastChecked"), *c.lastChecked);
        const bool wroteBefore = UserValue(QStringLiteral("Interval")).has_value();
        ASSERT_FALSE(wroteBefore);

        DatedWorkFlow workFlow(kDay);
        CCmdLineContext context;
        EXPECT_EQ(workFlow.RunSilent(context), 0) << c.name;
        EXPECT_EQ(UserValue(QStringLiteral("Interval")).has_value(), c.saves) << c.name;
        // The silent run never offers to ask for proxy credentials before it shows a window.
        EXPECT_FALSE(workFlow.GetProxyHandler()->credentialsDialogAllowed) << c.name;
        if (c.saves) {
            EXPECT_EQ(UserValue(QStringLiteral("CheckUpdates")), 1) << c.name;
            // Nothing was checked successfully, so the old date stays and the next run is due.
            EXPECT_EQ(UserValue(QStringLiteral("LastChecked")), c.lastChecked.value_or(0))
                << c.name;
        }
    }
}

TEST(WorkFlow, PreambleHandsCredentialsOnButProxyOnlyWithOverride) {
    struct Case {
        bool overrideProxy;
        const char* expectedHost;
    };
    for (const Case& c : {Case{false, ""}, Case{true, "proxy.example:3128"}}) {
        Sandbox sandbox;
        SetValue(CurrentUser, QStringLiteral("CheckUpdates"), 0); // stop after the preamble
        DatedWorkFlow workFlow(kDay);
        CCmdLineContext context;
        context.proxy = QStringLiteral("proxy.example:3128");
        context.username = QStringLiteral("u");
        context.password = QStringLiteral("p");
        context.overrideProxy = c.overrideProxy;
        workFlow.RunSilent(context);

        QString host, user, password;
        int32_t port = -1;
        workFlow.GetProxyHandler()->GetProxySettings(host, port, user, password);
        EXPECT_EQ(host, QString::fromLatin1(c.expectedHost));
        EXPECT_EQ(user, QStringLiteral("u"));
        EXPECT_EQ(password, QStringLiteral("p"));
    }
}

TEST(WorkFlow, InteractiveRunRefusedByPolicyWarnsAndWritesNothing) {
    Sandbox sandbox;
    SetPolicy(11);
    QString title, text;
    ModalAnswerer answer([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        title = box->windowTitle();
        text = box->text();
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        box->accept();
    });
    DatedWorkFlow workFlow(kDay);
    CCmdLineContext context;
    EXPECT_EQ(workFlow.RunInteractive(context), 0);
    EXPECT_EQ(answer.Count(), 1);
    EXPECT_EQ(title, QStringLiteral("ORVEX Product Update"));
    EXPECT_EQ(text, QStringLiteral("Internet access is disabled by the system administrator."));
    EXPECT_TRUE(NothingSaved());
}

TEST(WorkFlow, InteractiveRunShowsTheWindowAndSavesWhenItCloses) {
    Sandbox sandbox;
    SetValue(LocalMachine, QStringLiteral("Interval"), 14);
    SetValue(CurrentUser, QStringLiteral("CheckUpdates"), 2);
    bool dialogAllowedWhileShown = false;
    DatedWorkFlow workFlow(kDay);
    ModalAnswerer closeWindow([&](QWidget* modal) {
        dialogAllowedWhileShown = workFlow.GetProxyHandler()->credentialsDialogAllowed;
        EXPECT_EQ(modal->objectName(), QStringLiteral("MainWindow"));
        // Nothing may be written while the window is still open.
        EXPECT_FALSE(UserValue(QStringLiteral("Interval")).has_value());
        qobject_cast<QDialog*>(modal)->reject();
    });
    CCmdLineContext context;
    EXPECT_EQ(workFlow.RunInteractive(context), 0);
    EXPECT_EQ(closeWindow.Count(), 1);
    EXPECT_TRUE(dialogAllowedWhileShown);
    // The machine's interval becomes the user's, and a stored 2 (not "on") is saved as off.
    EXPECT_EQ(UserValue(QStringLiteral("Interval")), 14);
    EXPECT_EQ(UserValue(QStringLiteral("CheckUpdates")), 0);
    EXPECT_EQ(UserValue(QStringLiteral("LastChecked")), 0);
}

// The machine-wide proxy values belong to every product of the maker: a run without a proxy
// of its own leaves them as another product stored them.
TEST(WorkFlow, InteractiveRunStoresTheProxyOnlyWhenItHasOne) {
    const QString key =
        QStringLiteral("Software/ORVEX Technologies/Tavlo Software/ProxyInformation");
    struct Case {
        const char* name;
        bool overrideProxy;
        const char* proxy;
        const char* stored; // the machine's host and port after the run
    };
    const Case cases[] = {
        {"no proxy", false, "", "other.example 8080"},
        {"proxy without override", false, "proxy.example:3128", "other.example 8080"},
        {"override with empty proxy", true, "", "other.example 8080"},
        {"override proxy", true, "proxy.example:3128", "proxy.example:3128 0"},
    };
    for (const Case& c : cases) {
        Sandbox sandbox;
        ASSERT_EQ(WriteSettingString(LocalMachine, key, "HttpProxyHost", "other.example",
                                     kRegistryMarker),
                  0);
        ASSERT_EQ(WriteSettingInt(LocalMachine, key, "HttpProxyPort", 8080, kRegistryMarker), 0);
        ModalAnswerer closeWindow([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
        DatedWorkFlow workFlow(kDay);
        CCmdLineContext context;
        context.overrideProxy = c.overrideProxy;
        context.proxy = QString::fromLatin1(c.proxy);
        EXPECT_EQ(workFlow.RunInteractive(context), 0) << c.name;
        EXPECT_EQ(closeWindow.Count(), 1) << c.name;
        const QString host =
            ReadSettingString(LocalMachine, key, "HttpProxyHost", {}, nullptr, kRegistryMarker);
        const int32_t port =
            ReadSettingInt(LocalMachine, key, "HttpProxyPort", -1, nullptr, kRegistryMarker);
        EXPECT_EQ(host + u' ' + QString::number(port), QString::fromLatin1(c.stored)) << c.name;
    }
}

} // namespace

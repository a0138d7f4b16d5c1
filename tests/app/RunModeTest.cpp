#include "app/WorkFlow.h"
#include "platform/Registry.h"
#include "platform/Settings.h"
#include "support/ModalAnswerer.h"
#include "support/QtPrinters.h"
#include "support/Sandbox.h"
#include "update/RecordKeeper.h"

#include <QDialog>
#include <QMessageBox>

#include <gtest/gtest.h>

#include <climits>
#include <optional>

namespace {

const QString kKey = QStringLiteral("Software/ORVEX Technologies/Product Update");
constexpr int32_t kDay = 2451545; // 1 January 2000

constexpr auto UserValue = &Sandbox::UserValue;

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

TEST(RecordKeeper, DecidesWhetherTheSilentCheckIsDue) {
    struct DueCase {
        int32_t interval, lastChecked, today;
        bool due;
    };
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

TEST(RecordKeeper, LoadFallsBackToMachineThenDefaults) {
    struct LoadCase {
        const char* name;
        std::vector<std::tuple<int32_t, const char*, int32_t>> stored;
        int32_t interval;
        bool checkUpdates;
        int32_t lastChecked;
        bool loadResult;
    };
    // clang-format off
    const LoadCase cases[] = {
        {"nothing stored", {}, 30, true, 0, false},
        {"user values", {{CurrentUser, "Interval", 7}, {CurrentUser, "CheckUpdates", 0}, {CurrentUser, "LastChecked", kDay}}, 7, false, kDay, true},
        {"machine interval", {{LocalMachine, "Interval", 7}}, 7, true, 0, false},
        {"user wins over machine", {{LocalMachine, "Interval", 7}, {CurrentUser, "Interval", 9}}, 9, true, 0, false},
        {"check updates 2 is off", {{CurrentUser, "CheckUpdates", 2}}, 30, false, 0, false},
        {"machine switches checks off", {{LocalMachine, "CheckUpdates", 0}}, 30, false, 0, false},
        {"machine last checked ignored", {{LocalMachine, "LastChecked", kDay}}, 30, true, 0, false},
    };
    // clang-format on
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        for (const auto& [scope, name, value] : c.stored)
            SetValue(scope, QString::fromLatin1(name), value);
        CRecordKeeper keeper;
        EXPECT_EQ(keeper.Load(), c.loadResult);
        EXPECT_EQ(keeper.Interval, c.interval);
        EXPECT_EQ(keeper.CheckUpdates, c.checkUpdates);
        EXPECT_EQ(keeper.LastChecked, c.lastChecked);
        EXPECT_EQ(keeper.LastCheckedToStore, c.lastChecked);
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

// A silent run writes the schedule only when it reaches its end; one the schedule or the
// administrator's policy stops writes nothing at all. The policy is a mask whose bit four
// (the value 4) allows access; no stored policy allows it.
TEST(WorkFlow, SilentRunSavesOnlyWhenItReachesTheEnd) {
    struct SilentCase {
        const char* name;
        std::optional<uint32_t> policy;
        std::optional<int32_t> checkUpdates, lastChecked;
        bool saves;
    };
    const std::nullopt_t none = std::nullopt;
    const SilentCase cases[] = {
        {"due, never checked", none, none, none, true},
        {"due after interval", none, none, kDay - 30, true},
        {"checked yesterday", none, none, kDay - 1, false},
        {"checking off", none, 0, none, false},
        {"policy 11 refuses", 11u, none, none, false},
        {"policy 0 refuses", 0u, none, none, false},
        {"policy 3 refuses", 3u, none, none, false},
        {"policy 8 refuses", 8u, none, none, false},
        {"policy 4 allows", 4u, none, none, true},
        {"policy 5 allows", 5u, none, none, true},
        {"policy 15 allows", 15u, none, none, true},
        {"every bit allows", 0xFFFFFFFFu, none, none, true},
    };
    for (const SilentCase& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        if (c.policy)
            SetPolicy(*c.policy);
        if (c.checkUpdates)
            SetValue(CurrentUser, QStringLiteral("CheckUpdates"), *c.checkUpdates);
        if (c.lastChecked)
            SetValue(CurrentUser, QStringLiteral("LastChecked"), *c.lastChecked);

        DatedWorkFlow workFlow(kDay);
        CCmdLineContext context;
        EXPECT_EQ(workFlow.RunSilent(context), 0);
        // The silent run never offers to ask for proxy credentials before it shows a window.
        EXPECT_FALSE(workFlow.GetProxyHandler()->credentialsDialogAllowed);
        EXPECT_EQ(UserValue(QStringLiteral("Interval")).has_value(), c.saves);
        if (c.saves) {
            EXPECT_EQ(UserValue(QStringLiteral("CheckUpdates")), 1);
            // Nothing was checked successfully, so the old date stays and the next run is due.
            EXPECT_EQ(UserValue(QStringLiteral("LastChecked")), c.lastChecked.value_or(0));
        } else {
            EXPECT_EQ(UserValue(QStringLiteral("CheckUpdates")), c.checkUpdates);
            EXPECT_EQ(UserValue(QStringLiteral("LastChecked")), c.lastChecked);
        }
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

// The window is shown with the credentials dialog allowed, and the schedule is saved only once
// it closes. The command line's credentials always reach the proxy handler, its proxy only
// with -overrideproxy. The machine-wide proxy values belong to every product of the maker: a
// run without a proxy of its own leaves them as another product stored them.
TEST(WorkFlow, InteractiveRunSavesWhenTheWindowClosesAndStoresOnlyItsOwnProxy) {
    const QString key =
        QStringLiteral("Software/ORVEX Technologies/Tavlo Software/ProxyInformation");
    struct Case {
        const char* name;
        bool overrideProxy;
        const char *proxy, *stored; // the machine's host and port after the run
    };
    const Case cases[] = {
        {"no proxy", false, "", "other.example 8080"},
        {"proxy without override", false, "proxy.example:3128", "other.example 8080"},
        {"override with empty proxy", true, "", "other.example 8080"},
        {"override proxy", true, "proxy.example:3128", "proxy.example:3128 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        SetValue(LocalMachine, QStringLiteral("Interval"), 14);
        SetValue(CurrentUser, QStringLiteral("CheckUpdates"), 2);
        ASSERT_EQ(WriteSettingString(LocalMachine, key, "HttpProxyHost", "other.example",
                                     kRegistryMarker),
                  0);
        ASSERT_EQ(WriteSettingInt(LocalMachine, key, "HttpProxyPort", 8080, kRegistryMarker), 0);
        DatedWorkFlow workFlow(kDay);
        bool dialogAllowedWhileShown = false;
        ModalAnswerer closeWindow([&](QWidget* modal) {
            dialogAllowedWhileShown = workFlow.GetProxyHandler()->credentialsDialogAllowed;
            EXPECT_EQ(modal->objectName(), QStringLiteral("MainWindow"));
            EXPECT_FALSE(UserValue(QStringLiteral("Interval")).has_value()) << "written too early";
            qobject_cast<QDialog*>(modal)->reject();
        });
        CCmdLineContext context;
        context.overrideProxy = c.overrideProxy;
        context.proxy = QString::fromLatin1(c.proxy);
        context.username = QStringLiteral("u");
        context.password = QStringLiteral("p");
        EXPECT_EQ(workFlow.RunInteractive(context), 0);
        EXPECT_EQ(closeWindow.Count(), 1);
        EXPECT_TRUE(dialogAllowedWhileShown);
        // The machine's interval becomes the user's, and a stored 2 (not "on") is saved as off.
        EXPECT_EQ(UserValue(QStringLiteral("Interval")), 14);
        EXPECT_EQ(UserValue(QStringLiteral("CheckUpdates")), 0);
        EXPECT_EQ(UserValue(QStringLiteral("LastChecked")), 0);

        QString host, user, password;
        int32_t port = -1;
        workFlow.GetProxyHandler()->GetProxySettings(host, port, user, password);
        EXPECT_EQ(host, c.overrideProxy ? QString::fromLatin1(c.proxy) : QString());
        EXPECT_EQ(user + u'/' + password, QStringLiteral("u/p"));
        const QString storedHost =
            ReadSettingString(LocalMachine, key, "HttpProxyHost", {}, nullptr, kRegistryMarker);
        const int32_t storedPort =
            ReadSettingInt(LocalMachine, key, "HttpProxyPort", -1, nullptr, kRegistryMarker);
        EXPECT_EQ(storedHost + u' ' + QString::number(storedPort), QString::fromLatin1(c.stored));
    }
}

} // namespace

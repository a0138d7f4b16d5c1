#include "app/WorkFlow.h"
#include "platform/Registry.h"
#include "support/ModalAnswerer.h"
#include "support/Sandbox.h"
#include "update/RecordKeeper.h"

#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include <climits>

namespace {

const QString kKey = QStringLiteral("Software/ORVEX Technologies/Product Update");
const QString kProxyKey =
    QStringLiteral("Software/ORVEX Technologies/Tavlo Software/ProxyInformation");
constexpr int32_t kDay = 2451545; // 1 January 2000
constexpr auto UserValue = &Sandbox::UserValue;

void SetValue(int32_t scope, const QString& name, int32_t value) {
    ASSERT_EQ(WriteSettingInt(scope, kKey, name, value, kRegistryMarker), 0);
}

void SetPolicy(uint32_t value) {
    ASSERT_EQ(RegWriteDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORVEX Technologies\\ACC",
                            "InternetAccess", value),
              0);
}

TEST(RecordKeeper, DecidesWhetherTheSilentCheckIsDue) {
    // Interval, last checked, today, due.
    // clang-format off
    const std::tuple<int32_t, int32_t, int32_t, bool> cases[] = {
        {30, kDay, kDay + 29, false}, {30, kDay, kDay + 30, true}, {1, kDay - 1, kDay, true},
        // A last check ahead of today (a clock that ran ahead) never holds the check back.
        {30, kDay + 1, kDay, true}, {-5, kDay + 3, kDay, true}, {0, kDay, kDay, true},
        // Hand-edited extremes must not overflow into the opposite answer.
        {30, INT32_MIN, kDay, true}, {30, INT32_MAX, kDay, true}, {INT32_MAX, 0, kDay, false},
    };
    // clang-format on
    for (const auto& [interval, lastChecked, today, due] : cases) {
        CRecordKeeper keeper;
        keeper.Interval = interval;
        keeper.LastChecked = lastChecked;
        EXPECT_EQ(keeper.IsCheckDue(today), due) << interval << ' ' << lastChecked;
    }
}

// A workflow whose calendar the test sets.
struct DatedWorkFlow : CWorkFlow {
    DatedWorkFlow() {
        GetRecordKeeper()->SetClock([] { return kDay; });
    }
};

// A silent run that the schedule or the administrator's policy stops writes nothing at all
// (the runs that reach their end are the end-to-end tests'). The policy is a mask whose value
// 4 allows access.
TEST(WorkFlow, SilentRunStoppedBeforeItsEndWritesNothing) {
    using Value = std::optional<int32_t>;
    // Policy, the machine's switch, the user's date, and whether the run reaches its end.
    const std::tuple<const char*, std::optional<uint32_t>, Value, Value, bool> cases[] = {
        // The administrator's machine-wide switch turns checks off for every user.
        {"checked yesterday", {}, {}, kDay - 1, false}, {"machine checking off", {}, 0, {}, false},
        {"policy 11 refuses", 11u, {}, {}, false},      {"policy 0 refuses", 0u, {}, {}, false},
        {"policy 3 refuses", 3u, {}, {}, false},        {"policy 5 allows", 5u, {}, {}, true},
        {"policy 4 allows", 4u, {}, {}, true},          {"policy 16 refuses", 16u, {}, {}, false},
    };
    for (const auto& [name, policy, checkUpdates, lastChecked, saves] : cases) {
        SCOPED_TRACE(name);
        Sandbox sandbox;
        if (policy)
            SetPolicy(*policy);
        if (checkUpdates)
            SetValue(LocalMachine, "CheckUpdates", *checkUpdates);
        if (lastChecked)
            SetValue(CurrentUser, "LastChecked", *lastChecked);
        DatedWorkFlow workFlow;
        CCmdLineContext context;
        EXPECT_EQ(workFlow.RunSilent(context), 0);
        // The silent run never offers to ask for proxy credentials before it shows a window.
        EXPECT_FALSE(workFlow.GetProxyHandler()->credentialsDialogAllowed);
        EXPECT_EQ(UserValue("Interval").has_value(), saves);
        EXPECT_EQ(UserValue("CheckUpdates"), saves ? Value(1) : Value());
        EXPECT_EQ(UserValue("LastChecked"), saves ? 0 : lastChecked);
    }
}

// The schedule is saved only once the window closes; a run the policy refuses warns instead
// and writes nothing. The command line's credentials always reach the proxy handler, its
// proxy only with -overrideproxy. The machine-wide proxy values are the administrator's proxy,
// which downloads take when the command line names none; they belong to every product of the
// maker: a run without a proxy of its own leaves them as another product stored them.
TEST(WorkFlow, InteractiveRunSavesWhenTheWindowClosesAndStoresOnlyItsOwnProxy) {
    using Value = std::optional<int32_t>;
    // Policy, -overrideproxy, -proxy, the proxy downloads take, and the machine's host and
    // port after the run.
    const std::tuple<Value, bool, QString, QString, QString> cases[] = {
        {{}, false, "proxy.example:3128", "other.example:8080", "other.example 8080"},
        {{}, true, "", "other.example:8080", "other.example 8080"},
        {{}, true, "proxy.example:3128", "proxy.example:3128:0", "proxy.example:3128 0"},
        {11, true, "proxy.example:3128", "proxy.example:3128:0", "other.example 8080"},
    };
    for (const auto& [policy, overrideProxy, proxy, used, stored] : cases) {
        SCOPED_TRACE(proxy.toStdString() + (overrideProxy ? " overriding" : "") +
                     (policy ? " refused" : ""));
        Sandbox sandbox;
        if (policy)
            SetPolicy(*policy);
        SetValue(LocalMachine, "Interval", 14);
        SetValue(CurrentUser, "CheckUpdates", 2);
        WriteSettingString(LocalMachine, kProxyKey, "HttpProxyHost", "other.example",
                           kRegistryMarker);
        WriteSettingInt(LocalMachine, kProxyKey, "HttpProxyPort", 8080, kRegistryMarker);
        DatedWorkFlow workFlow;
        QStringList shown;
        ModalAnswerer person([&](QWidget* modal) {
            const auto* box = qobject_cast<QMessageBox*>(modal);
            shown << (box ? box->text() : modal->objectName());
            EXPECT_EQ(workFlow.GetProxyHandler()->credentialsDialogAllowed, !box);
            EXPECT_FALSE(UserValue("Interval").has_value()) << "written too early";
            if (modal->objectName() == "MainWindow") {
                // Connection Options must open on this run's own settings.
                QMetaObject::invokeMethod(modal, "OnProxyOptions", Qt::QueuedConnection);
                return;
            }
            if (auto* user = modal->findChild<QLineEdit*>("proxyUserNameEdit")) {
                shown << user->text();
                QTimer::singleShot(0, modal->parentWidget(), &QWidget::close);
            }
            qobject_cast<QDialog*>(modal)->reject();
        });
        CCmdLineContext context{proxy, "u", "p", {}, false, overrideProxy};
        EXPECT_EQ(workFlow.RunInteractive(context), 0);
        EXPECT_EQ(shown.join(' '), policy
                                       ? "Internet access is disabled by the system administrator."
                                       : "MainWindow ProxyAuth u");
        // The machine's interval becomes the user's, and a stored 2 (not "on") is saved as off.
        EXPECT_EQ(
            std::tuple(UserValue("Interval"), UserValue("CheckUpdates"), UserValue("LastChecked")),
            policy ? std::tuple(Value(), Value(2), Value())
                   : std::tuple(Value(14), Value(0), Value(0)));
        QString host, user, password;
        int32_t port = -1;
        workFlow.GetProxyHandler()->GetProxySettings(host, port, user, password);
        EXPECT_EQ(host + u':' + QString::number(port) + ' ' + user + '/' + password, used + " u/p");
        EXPECT_EQ(Sandbox::StoredProxy(), stored);
    }
}

} // namespace

// The main window offscreen, wired to a real controller whose list holds products written for
// the test ("Fake" elements of a product list in the sandbox).
#include "ui/MainWindow.h"

#include "catalogue/Products.h"
#include "catalogue/XmlDocument.h"
#include "net/IDownloader.h"
#include "net/ProxyAuth.h"
#include "net/ProxyHandlerBase.h"
#include "qtglue/Language.h"
#include "support/Sandbox.h"
#include "update/ProductListController.h"
#include "update/RecordKeeper.h"

#include <QDate>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QTest>
#include <QThread>

#include <cstring>
#include <map>
#include <tuple>

namespace {

// "info": the check obtained this row's latest version.
// "late": the rows come with the check, as a notice fetched during it.
// clang-format off
struct FakeRow { QString installed = {}; bool info = true; QString latest = {}; bool update = false, button = true, notice = false; };
struct FakeAnswers { std::vector<FakeRow> rows = {}; bool late = false; std::function<void()> duringCheck = {}; QStringList fetches = {}; };
// clang-format on

// A product answering from the answers its "Name" attribute names.
class FakeProduct : public IProduct {
public:
    explicit FakeProduct(const std::map<QString, FakeAnswers>& answers) : m_table(answers) {}

    bool Load(const tinyxml2::XMLElement* element) override {
        m_name = Utf8Attribute(element, "Name");
        m_answers = m_table.at(m_name);
        for (const FakeRow& row : m_answers.rows)
            m_tableRows.push_back(row.notice ? -1 : 0);
        return true;
    }
    bool FindInstalled() override { return true; }
    bool CheckForUpdates() override {
        if (m_answers.duringCheck)
            m_answers.duringCheck();
        for (const QString& url : m_answers.fetches)
            m_downloader->Download(url, 1, 0);
        return m_checked = true;
    }
    CAtlString GetId() override { return m_name; }
    QString GetName() override { return m_name; }
    bool HasUpdateInfo(unsigned i) override { return m_checked && Row(i).info; }
    bool IsUpdateAvailable(unsigned i) override { return HasUpdateInfo(i) && Row(i).update; }
    bool ShouldNotify(unsigned) override { return true; }
    bool HasActionButton(unsigned i) override { return Row(i).button; }
    bool OpenAction(unsigned i) override { return (opened.push_back(i), true); }
    bool IsNotice(unsigned i) override { return Row(i).notice; }
    unsigned GetItemCount() override {
        return m_answers.late && !m_checked ? 0 : static_cast<unsigned>(m_answers.rows.size());
    }
    CAtlString GetInstalledVersionText(unsigned i) override { return Row(i).installed; }
    CAtlString GetLatestVersionText(unsigned i) override { return Row(i).latest; }
    void SetRow(unsigned i, int row) override { m_tableRows.at(i) = row; }
    int GetRow(unsigned i) override { return m_tableRows.at(i); }
    QStringList GetActionLabels(unsigned) override { return {"Nothing new", "Get it"}; }
    CAtlString GetBaseXml() override { return m_name; }

    std::vector<unsigned> opened;

private:
    const FakeRow& Row(unsigned i) const { return m_answers.rows.at(i); }

    const std::map<QString, FakeAnswers>& m_table;
    FakeAnswers m_answers;
    QString m_name;
    bool m_checked = false;
    std::vector<int> m_tableRows;
};

class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest() {
        SetExtraProductFactory([this](const char* name) -> std::shared_ptr<IProduct> {
            if (std::strcmp(name, "Fake") != 0)
                return nullptr;
            made.push_back(std::make_shared<FakeProduct>(answers));
            return made.back();
        });
        window.SetController(controller);
        window.SetProxyHandler(std::make_shared<ProxyHandlerBase>());
        window.SetRecordKeeper(keeper);
    }
    ~MainWindowTest() override { SetExtraProductFactory(nullptr); }

    // The machine-wide product list, naming the answers in this order.
    void List(const QStringList& names, const QByteArray& url = {}) {
        QByteArray xml = "<ProductList Version=\"1.0.0.0\" Url=\"" + url + "\">";
        for (const QString& name : names)
            xml += "<Fake Name=\"" + name.toUtf8() + "\"/>";
        sandbox.Write("ProgramData/productlist.xml", xml + "</ProductList>");
    }
    void Check() { QMetaObject::invokeMethod(&window, "OnCheckUpdates"); }
    QString Text(int row, int column) const {
        return window.tableWidget->item(row, column)->text();
    }
    QPushButton* Button(int row) const {
        return qobject_cast<QPushButton*>(window.tableWidget->cellWidget(row, 3));
    }
    bool Highlighted(int row) const {
        return window.tableWidget->item(row, 0)->background().style() == Qt::LinearGradientPattern;
    }

    Sandbox sandbox;
    std::map<QString, FakeAnswers> answers;
    std::vector<std::shared_ptr<FakeProduct>> made;
    std::shared_ptr<CProductListController> controller = std::make_shared<CProductListController>();
    std::shared_ptr<CRecordKeeper> keeper = std::make_shared<CRecordKeeper>();
    MainWindow window;
};

// One row per item row, in list order, a notice whose rows came with the check appended at
// the end; the latest version, "N/A" or the button's state as the product's answers decide.
// Retry replaces every row, button and adapter; while the check runs, neither Retry nor a
// second call starts another.
TEST_F(MainWindowTest, CheckFillsOneRowPerItemRowAndRetryRebuildsThem) {
    answers["News"] = {{{"", true, "", false, true, true}}};
    answers["Studio"] = {
        {{"2.0.0.0", true, "2.1.0.0", true}, {"1.0.0.0", false, "", false, false}}};
    answers["Late"] = {{{"3/1/2024", true, "", false, true, true}}, true};
    answers["Viewer"] = {{{"3.0.0.0", true, "3.0.0.0", false}}};
    answers["Broken"] = {{{"1.5.0.0", false, "9.9.9.9", true}}};
    List({"News", "Studio", "Late", "Viewer", "Broken"});
    keeper->LastChecked = 2451545;
    keeper->CheckUpdates = true;
    keeper->Interval = -5; // hand-edited
    QString dateDuringCheck;
    answers["Broken"].duringCheck = [&] { dateDuringCheck = window.labelDate->text(); };
    // What a reader is told of each row: while Studio is checked, and once all are done.
    const auto told = [this] {
        QStringList states;
        for (int row = 0; row < window.tableWidget->rowCount(); ++row)
            states
                << window.tableWidget->item(row, 0)->data(Qt::AccessibleDescriptionRole).toString();
        return states;
    };
    QStringList toldDuringCheck;
    answers["Studio"].duringCheck = [&] { toldDuringCheck = told(); };
    Check();
    EXPECT_EQ(toldDuringCheck, QStringList({"A notice.", "Being checked.", "Being checked.",
                                            "Not checked yet.", "Not checked yet."}));
    EXPECT_EQ(told(), QStringList({"A notice.", "An update is available.",
                                   "The latest version is not known.", "Up to date.",
                                   "The latest version is not known.", "A notice."}));
    // Name, installed, latest, the button's text (none: the row has no button) and state,
    // and whether the row carries the notices' gradient.
    const std::tuple<QString, QString, QString, const char*, bool, bool> rows[] = {
        {"News", "", "", "Nothing new", false, true},
        {"Studio", "2.0.0.0", "2.1.0.0", "Get it", true, false},
        {"Studio", "1.0.0.0", "N/A", nullptr, false, false},
        {"Viewer", "3.0.0.0", "3.0.0.0", "Nothing new", false, false},
        // Without update information the button keeps its first state.
        {"Broken", "1.5.0.0", "N/A", "Current", false, false},
        {"Late", "3/1/2024", "", "Nothing new", false, true},
    };
    ASSERT_EQ(window.tableWidget->rowCount(), 6);
    EXPECT_EQ(made[2]->GetRow(0), 5);
    for (int row = 0; row < 6; ++row) {
        const auto& [name, installed, latest, text, enabled, highlighted] = rows[row];
        SCOPED_TRACE(row);
        EXPECT_EQ(std::tuple(Text(row, 0), Text(row, 1), Text(row, 2), Highlighted(row)),
                  std::tuple(name, installed, latest, highlighted));
        ASSERT_EQ(Button(row) != nullptr, text != nullptr);
        EXPECT_TRUE(!text || (Button(row)->text() == text && Button(row)->isEnabled() == enabled))
            << Button(row)->text().toStdString();
    }
    EXPECT_EQ(keeper->LastCheckedToStore, QDate::currentDate().toJulianDay());
    // The date loaded at start-up while the check runs, the check's own once it recorded it.
    EXPECT_EQ(dateDuringCheck, QLocale::system().toString(QDate(2000, 1, 1), QLocale::ShortFormat));
    EXPECT_EQ(window.labelDate->text(),
              QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat));
    // The schedule is shown within range, and only a change by the person writes it back.
    EXPECT_EQ(std::tuple(window.spinBox->value(), window.checkBox->isChecked(), keeper->Interval),
              std::tuple(0, true, -5));

    const QPointer<QPushButton> old = Button(1);
    answers["Viewer"].duringCheck = [this] {
        EXPECT_FALSE(window.retryButton->isEnabled() || window.proxyButton->isEnabled());
        Check();
        EXPECT_EQ(made.size(), 10u) << "a second check started inside the first";
    };
    window.retryButton->click();
    // The table hands replaced cell widgets to the event loop for deletion.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(old.isNull());
    ASSERT_EQ(made.size(), 10u);
    ASSERT_EQ(window.tableWidget->rowCount(), 6);
    Button(1)->click();
    EXPECT_TRUE(made[1]->opened.empty() && made[6]->opened == std::vector<unsigned>{0});
    EXPECT_TRUE(window.retryButton->isEnabled() && window.proxyButton->isEnabled());
    // A window made after the check (as the silent run makes it for a finding) shows what
    // this one, which watched the check, shows.
    {
        MainWindow later;
        later.SetController(controller);
        later.SetRecordKeeper(keeper);
        later.ShowFinishedCheck({1, 2, 0, 1, 1});
        const auto shown = [](const MainWindow& w) {
            QStringList cells{w.labelDate->text()};
            for (int row = 0; row < w.tableWidget->rowCount(); ++row) {
                for (int column = 0; column < 3; ++column)
                    cells << w.tableWidget->item(row, column)->text();
                const auto* button = qobject_cast<QPushButton*>(w.tableWidget->cellWidget(row, 3));
                cells << w.tableWidget->item(row, 2)->toolTip()
                      << (button ? button->text() + (button->isEnabled() ? "+" : "-") : "none")
                      << QString::number(w.tableWidget->item(row, 0)->background().style());
            }
            return cells;
        };
        EXPECT_EQ(shown(later), shown(window));
    }
    // A stored interval beyond the spin box's 60 days is shown as 60, and the change of the box
    // writes 60 back, which the run then saves.
    keeper->Interval = 75;
    window.Refresh();
    EXPECT_EQ(std::pair(window.spinBox->value(), keeper->Interval), std::pair(60, 60));
}

// Busy bars cover every row of a product still checked when its 700 ms are up, and never
// appear before or for a product done by then.
TEST_F(MainWindowTest, BusyIndicatorOnlyForAProductCheckedTooLong) {
    auto* timer = window.findChild<QTimer*>("tooLongTimer");
    ASSERT_NE(timer, nullptr);
    const auto bars = [this] {
        int count = 0;
        for (int row = 0; row < window.tableWidget->rowCount(); ++row) {
            QWidget* cell = window.tableWidget->cellWidget(row, 2);
            count += cell && cell->findChild<QProgressBar*>() ? 1 : 0;
        }
        return count;
    };
    answers["Slow"] = {{{"1.0.0.0"}, {"0.9.0.0", false}}, false, [&] {
                           EXPECT_TRUE(timer->isActive() && timer->isSingleShot());
                           EXPECT_EQ(std::pair(timer->interval(), bars()), std::pair(700, 0));
                           // The check stalls here, as on a slow server, while the window's
                           // events flow; the margin is generous, the bars' time is the timer's.
                           for (QDeadlineTimer limit(5000); bars() == 0 && !limit.hasExpired();
                                QThread::msleep(10))
                               QCoreApplication::processEvents();
                           EXPECT_EQ(bars(), 2);
                       }};
    answers["Quick"] = {{{"2.0.0.0"}}, false, [&] { EXPECT_TRUE(timer->isActive()); }};
    List({"Slow", "Quick"});
    Check();
    EXPECT_FALSE(timer->isActive());
    EXPECT_EQ(bars(), 0);
}

// Closing the window during a check cancels it: the download under way is told to end, the
// product's next document is not asked for and no later product is checked, so the run ends
// promptly; the cancelled check records nothing, though the product before the close
// succeeded, and the next check runs whole.
TEST_F(MainWindowTest, ClosingDuringACheckCancelsTheRestOfIt) {
    struct CancelCounter : IDownloader {
        int cancels = 0;
        QStringList asked;
        std::function<void()> during;
        CAtlString Download(const CAtlString& url, int32_t, int32_t) override {
            asked << url;
            if (during)
                during();
            return {};
        }
        void Cancel() override { ++cancels; }
    };
    auto downloader = std::make_shared<CancelCounter>();
    controller->SetDownloader(downloader);
    int laterChecks = 0;
    keeper->LastCheckedToStore = keeper->LastChecked = 2451545;
    answers["First"] = {};
    answers["Second"].fetches = {"second.xml", "second.xml.minisig"};
    answers["Third"].duringCheck = [&] { ++laterChecks; };
    List({"First", "Second", "Third"});
    downloader->during = [&] {
        if (downloader->asked.last() == "second.xml")
            window.reject();
    };
    Check();
    EXPECT_EQ(std::tuple(downloader->cancels, laterChecks, keeper->LastCheckedToStore),
              std::tuple(1, 0, 2451545));
    EXPECT_EQ(downloader->asked, QStringList{"second.xml"});
    downloader->during = nullptr;
    Check();
    EXPECT_EQ(std::tuple(downloader->cancels, laterChecks, keeper->LastCheckedToStore),
              std::tuple(1, 1, static_cast<int32_t>(QDate::currentDate().toJulianDay())));
    EXPECT_EQ(downloader->asked.size(), 3);
    // A close while the list itself is fetched checks no product at all.
    List({"Third"}, "http://127.0.0.1:9/l.xml");
    downloader->during = [this] { window.reject(); };
    Check();
    EXPECT_EQ(std::pair(downloader->cancels, laterChecks), std::pair(2, 1));
    // Such a run is no check that succeeded.
    downloader->during = [this] { controller->CancelCheck(); };
    EXPECT_FALSE(controller->RunCheck(nullptr));
}

// A person without a mouse. The table is one tab stop whose arrows move between rows; Tab
// goes on to the current row's action (when it has one to offer), the schedule, Retry and
// Close, and round to the table; Shift+Tab comes back the same way. Return and Space on a row
// or its button run the row's action and never close the window, nor does Return in the
// interval box; the access keys reach their controls; Escape closes.
TEST_F(MainWindowTest, KeyboardWalksFromTheRowsToCloseAndBack) {
    answers["Studio"] = {{{"2.0.0.0", true, "2.1.0.0", true}}};
    answers["Viewer"] = {{{"3.0.0.0", true, "3.0.0.0", false}}};
    answers["Tutorials"] = {{{" ", true, " ", true, true, true}}};
    List({"Studio", "Viewer", "Tutorials"});
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    Check();
    ASSERT_EQ(window.tableWidget->rowCount(), 3);
    const auto focused = [this] {
        QWidget* widget = QApplication::focusWidget();
        for (int row = 0; row < window.tableWidget->rowCount(); ++row)
            if (widget && widget == Button(row))
                return QStringLiteral("row%1").arg(row);
        return widget ? widget->objectName() : QStringLiteral("nothing");
    };
    const auto press = [&](const QString& keys) {
        for (const QString& key : keys.split(u' ')) {
            const Qt::KeyboardModifiers modifiers =
                key.startsWith(u'^') ? Qt::ShiftModifier : Qt::NoModifier;
            const QString name = key.mid(modifiers ? 1 : 0);
            const Qt::Key code = name == "Tab"     ? (modifiers ? Qt::Key_Backtab : Qt::Key_Tab)
                                 : name == "Down"  ? Qt::Key_Down
                                 : name == "Up"    ? Qt::Key_Up
                                 : name == "Space" ? Qt::Key_Space
                                                   : Qt::Key_Return;
            QTest::keyClick(QApplication::focusWidget(), code, modifiers);
        }
        return focused();
    };
    EXPECT_EQ(focused(), "tableWidget") << "the window opens with the keyboard on its rows";

    // From the table: the keys, then where the keyboard is after each, and the current row.
    const std::tuple<const char*, QString, QStringList, int> walks[] = {
        {"ForwardFromTheFirstRow",
         "Tab Tab Tab Tab Tab Tab",
         {"row0", "checkBox", "spinBox", "retryButton", "cancelButton", "tableWidget"},
         0},
        {"BackToTheTable",
         "^Tab ^Tab ^Tab ^Tab ^Tab ^Tab",
         {"cancelButton", "retryButton", "spinBox", "checkBox", "row0", "tableWidget"},
         0},
        // A row with nothing to do offers no button.
        {"PastARowWithoutAction", "Down Tab ^Tab", {"tableWidget", "checkBox", "tableWidget"}, 1},
        {"ToTheThirdRowsAction",
         "Down Tab ^Tab Up Up",
         {"tableWidget", "row2", "tableWidget", "tableWidget", "tableWidget"},
         0},
    };
    for (const auto& [name, keys, expected, row] : walks) {
        SCOPED_TRACE(name);
        QStringList seen;
        for (const QString& key : keys.split(u' '))
            seen << press(key);
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(window.tableWidget->currentRow(), row);
    }
    // What the row with the keyboard is about shows under the table.
    EXPECT_EQ(window.rowStateLabel->text(), "Studio: An update is available.");

    // Where the keyboard starts, the keys, and the actions they run per product.
    const std::tuple<const char*, QString, QString, std::vector<unsigned>, std::vector<unsigned>>
        presses[] = {
            {"ReturnAndSpaceOnARow", "tableWidget", "Return Space", {0, 0}, {}},
            {"ReturnAndSpaceOnItsAction", "row0", "Return Space", {0, 0}, {}},
            {"OnARowWithoutAction", "tableWidget", "Down Return Space Up", {}, {}},
            {"OnTheThirdRow", "tableWidget", "Down Down Space Up Up", {}, {0}},
            {"ReturnInTheIntervalBox", "spinBox", "Return", {}, {}},
        };
    for (const auto& [name, start, keys, studio, tutorials] : presses) {
        SCOPED_TRACE(name);
        made[0]->opened.clear();
        made[2]->opened.clear();
        if (start == "row0")
            Button(0)->setFocus();
        else
            window.findChild<QWidget*>(start)->setFocus();
        press(keys);
        EXPECT_EQ(made[0]->opened, studio);
        EXPECT_EQ(made[2]->opened, tutorials);
        EXPECT_TRUE(window.isVisible());
    }

    // The access keys: where each leads, and what it did.
    const bool automatic = window.checkBox->isChecked();
    window.tableWidget->setFocus();
    QTest::keyClick(&window, Qt::Key_A, Qt::AltModifier);
    EXPECT_EQ(focused(), "checkBox");
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.checkBox->isChecked() != automatic; }));
    QTest::keyClick(&window, Qt::Key_D, Qt::AltModifier);
    EXPECT_EQ(focused(), "spinBox");
    const size_t checks = made.size();
    QTest::keyClick(&window, Qt::Key_R, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return made.size() == checks + 3; })) << "Retry ran no check";
    // Pressed from the keyboard, Retry keeps it for the next press instead of handing it to Close.
    window.retryButton->setFocus();
    press("Space");
    EXPECT_EQ(std::pair(made.size(), focused()), std::pair(checks + 6, QString("retryButton")));
    QTest::keyClick(&window, Qt::Key_C, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); })) << "Alt+C did not close";

    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    window.tableWidget->setFocus();
    press("Tab");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible()) << "Escape did not close the window";
    EXPECT_EQ(window.result(), QDialog::Rejected);
}

// Every text of the window that has less room than it needs, as "what: needs > has".
QStringList CutTexts(MainWindow& window) {
    QStringList cut;
    const auto check = [&](const QString& what, int needs, int has) {
        if (needs > has)
            cut << QStringLiteral("%1: %2 > %3").arg(what).arg(needs).arg(has);
    };
    QTableWidget* table = window.tableWidget;
    // An item view lays a cell's text out inside this margin on either side.
    const int margin =
        table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 1;
    for (int row = 0; row < table->rowCount(); ++row) {
        for (int column = 0; column < 3; ++column) {
            const QString text = table->item(row, column)->text();
            check(text, table->fontMetrics().horizontalAdvance(text) + 2 * margin,
                  table->columnWidth(column));
            check(text + " (height)", table->fontMetrics().height(), table->rowHeight(row));
        }
        if (auto* button = qobject_cast<QPushButton*>(table->cellWidget(row, 3))) {
            check(button->text(), button->sizeHint().width(), button->width());
            check(button->text() + " (height)", button->sizeHint().height(), button->height());
        }
    }
    for (int column = 0; column < table->columnCount(); ++column)
        check(table->horizontalHeaderItem(column)->text(),
              table->horizontalHeader()->sectionSizeHint(column), table->columnWidth(column));
    for (QWidget* widget : std::initializer_list<QWidget*>{
             window.checkBox, window.spinBox, window.label, window.label_2, window.labelDate,
             window.retryButton, window.cancelButton})
        check(widget->objectName(), widget->sizeHint().width(), widget->width());
    return cut;
}

// The credentials dialog's labels, fields and buttons that get less room than their texts need.
QStringList CutTexts(QDialog& dialog) {
    QStringList cut;
    for (QWidget* widget : dialog.findChildren<QWidget*>()) {
        if (!widget->isVisible() ||
            !(qobject_cast<QLabel*>(widget) || qobject_cast<QLineEdit*>(widget) ||
              qobject_cast<QPushButton*>(widget)))
            continue;
        const QSize needs =
            qobject_cast<QLabel*>(widget) && widget->sizePolicy().hasHeightForWidth()
                ? QSize(0, widget->heightForWidth(widget->width()))
                : widget->minimumSizeHint();
        if (needs.width() > widget->width() || needs.height() > widget->height())
            cut << QStringLiteral("%1 %2: %3x%4 > %5x%6")
                       .arg(widget->objectName(), widget->property("text").toString())
                       .arg(needs.width())
                       .arg(needs.height())
                       .arg(widget->width())
                       .arg(widget->height());
    }
    return cut;
}

// At the desktop's 12-point font (and a larger one) and at a scale of 1.5 no name, version or
// button text is cut: the window grows to what its texts need. The scale is fixed when the
// application starts, so its rows run in a second run of this test program with QT_SCALE_FACTOR
// set.
TEST_F(MainWindowTest, NoTextIsCutAtALargeFontOrScale) {
    const bool scaled = qEnvironmentVariableIsSet("ORVEX_TEST_SCALED");
    if (!scaled) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_SCALE_FACTOR", "1.5");
        env.insert("ORVEX_TEST_SCALED", "1");
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--gtest_filter=MainWindowTest.NoTextIsCutAtALargeFontOrScale"});
        ASSERT_TRUE(child.waitForFinished(60000));
        EXPECT_EQ(child.exitCode(), 0) << "at a scale of 1.5:\n" << child.readAll().constData();
    }
    answers["ORVEX Nature Gallery"] = {{{"Jun 1, 2008", true, "Jul 1, 2008", true}}};
    answers["New tutorials for ORVEX Nature: painting light on water"] = {
        {{" ", true, " ", true, true, true}}};
    answers["ORVEX Studio"] = {{{"10.20.300.4000", true, "10.20.300.4001", true}}};
    answers["ORVEX Converter"] = {{{"1.4.0.0", false}}};
    List({"ORVEX Nature Gallery", "New tutorials for ORVEX Nature: painting light on water",
          "ORVEX Studio", "ORVEX Converter"});
    const QFont desktop = QApplication::font();
    for (const int points : {desktop.pointSize(), 12, 16}) {
        SCOPED_TRACE(points);
        QFont font = desktop;
        font.setPointSize(points);
        QApplication::setFont(font);
        // Made at the desktop's font, as the program makes its window.
        MainWindow shown;
        shown.SetController(controller);
        shown.SetRecordKeeper(keeper);
        shown.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&shown));
        QMetaObject::invokeMethod(&shown, "OnCheckUpdates");
        // The layout settles in posted events.
        for (int round = 0; round < 3; ++round)
            QApplication::processEvents();
        EXPECT_EQ(shown.devicePixelRatio(), scaled ? 1.5 : 1.0);
        EXPECT_EQ(CutTexts(shown), QStringList());
        // The credentials dialog, with its line that says who asks, at the same font.
        ProxyAuth dialog;
        dialog.SetRequest("proxy.example.com:3128",
                          "https://updates.example.org/productupdate/OrvexProductUpdate.xml");
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        for (int round = 0; round < 3; ++round)
            QApplication::processEvents();
        EXPECT_EQ(CutTexts(dialog), QStringList());
    }
    QApplication::setFont(desktop);
}

// The access keys of a window: each labelled control (a label's key leads to its buddy) with
// its key, "none" for a control without one.
QStringList AccessKeys(QWidget* window) {
    QStringList keys;
    // The table's corner button, unnamed, has no text to carry a key.
    for (auto* button : window->findChildren<QAbstractButton*>())
        if (!button->objectName().isEmpty())
            keys << button->objectName() + u'=' + QKeySequence::mnemonic(button->text()).toString();
    for (auto* label : window->findChildren<QLabel*>())
        if (label->buddy())
            keys << label->buddy()->objectName() + u'=' +
                        QKeySequence::mnemonic(label->text()).toString();
    keys.replaceInStrings(QRegularExpression("=$"), "=none");
    return keys;
}

// The shipped translations reach the window: its texts in the run's language, mirrored for a
// right-to-left one; in every language each labelled control of the window and of the
// credentials dialog has an access key, and no two of one window share one. English comes
// last so the process is left as it started.
TEST(MainWindowLanguage, SpeaksTheRunsLanguage) {
    const std::tuple<QString, QString, QString, Qt::LayoutDirection> rows[] = {
        {"de", "ORVEX Produktaktualisierung", "&Wiederholen", Qt::LeftToRight},
        {"fr", "Mise à jour des produits ORVEX", "&Réessayer", Qt::LeftToRight},
        {"he", "עדכון מוצרי ORVEX", "&נסה שוב", Qt::RightToLeft},
        {"en", "ORVEX Product Update", "&Retry", Qt::LeftToRight},
    };
    for (const auto& [code, title, retry, direction] : rows) {
        SCOPED_TRACE(code.toStdString());
        Sandbox sandbox;
        SetLocaleOverride(code);
        SetupLanguage("ORVEXProductUpdate");
        MainWindow window;
        EXPECT_EQ(
            std::tuple(window.windowTitle(), window.retryButton->text(), window.layoutDirection()),
            std::tuple(title, retry, direction));
        ProxyAuth dialog;
        for (QWidget* shown : std::initializer_list<QWidget*>{&window, &dialog}) {
            const QStringList keys = AccessKeys(shown);
            EXPECT_EQ(keys.size(), 5) << keys.join(' ').toStdString();
            QStringList distinct;
            for (const QString& key : keys)
                distinct << key.section(u'=', 1);
            distinct.removeDuplicates();
            EXPECT_EQ(distinct.size(), keys.size()) << keys.join(' ').toStdString();
            EXPECT_FALSE(distinct.contains("none")) << keys.join(' ').toStdString();
        }
    }
    SetLocaleOverride({});
}

} // namespace

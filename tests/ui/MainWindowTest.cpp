// The main window offscreen, wired to a real controller whose list holds products written for
// the test ("Fake" elements of a product list in the sandbox).
#include "ui/MainWindow.h"

#include "catalogue/Products.h"
#include "catalogue/XmlDocument.h"
#include "net/ProxyHandlerBase.h"
#include "qtglue/Language.h"
#include "support/QtPrinters.h"
#include "support/Sandbox.h"
#include "update/ProductListController.h"
#include "update/RecordKeeper.h"

#include <QDate>
#include <QLocale>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>

#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <map>

namespace {

// "info": the check obtained this row's latest version.
struct FakeRow {
    QString installed = {};
    bool info = true;
    QString latest = {};
    bool update = false, button = true, notice = false;
};

struct FakeAnswers {
    std::vector<FakeRow> rows = {};
    bool late = false; // the rows come with the check, as a notice fetched during it
    std::function<void()> duringCheck = {};
};

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
        return m_checked = true;
    }
    CAtlString GetId() override { return m_name; }
    QString GetName() override { return m_name; }
    bool HasUpdateInfo(unsigned i) override { return m_checked && Row(i).info; }
    bool IsUpdateAvailable(unsigned i) override { return HasUpdateInfo(i) && Row(i).update; }
    bool ShouldNotify(unsigned) override { return true; }
    bool HasActionButton(unsigned i) override { return Row(i).button; }
    bool OpenAction(unsigned i) override {
        opened.push_back(i);
        return true;
    }
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
        window.SetProxyHandler(proxyHandler);
        window.SetRecordKeeper(keeper);
    }
    ~MainWindowTest() override { SetExtraProductFactory(nullptr); }

    // The machine-wide product list, naming the answers in this order.
    void List(const QStringList& names) {
        QByteArray xml = "<ProductList Version=\"1.0.0.0\">";
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
    std::shared_ptr<ProxyHandlerBase> proxyHandler = std::make_shared<ProxyHandlerBase>();
    std::shared_ptr<CRecordKeeper> keeper = std::make_shared<CRecordKeeper>();
    MainWindow window;
};

// One row per item row, in list order; the latest version, "N/A" or the button's state as the
// product's answers decide; the console frames every product.
TEST_F(MainWindowTest, CheckFillsOneRowPerItemRow) {
    answers["Studio"] = {
        {{"2.0.0.0", true, "2.1.0.0", true}, {"1.0.0.0", false, "", false, false}}};
    answers["Viewer"] = {{{"3.0.0.0", true, "3.0.0.0", false}}};
    answers["Broken"] = {{{"1.5.0.0", false, "9.9.9.9", true}}};
    List({"Studio", "Viewer", "Broken"});
    keeper->LastChecked = 2451545;
    const auto today = QDate::currentDate().toJulianDay();

    testing::internal::CaptureStdout();
    Check();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n- Checking Studio...\n- Done Studio\n- Checking Viewer...\n- Done Viewer\n"
              "- Checking Broken...\n- Done Broken\n");

    struct Expected {
        const char *name, *installed, *latest, *button; // a null button: the row has none
        bool enabled;
    };
    const Expected rows[] = {
        {"Studio", "2.0.0.0", "2.1.0.0", "Get it", true},
        {"Studio", "1.0.0.0", "N/A", nullptr, false},
        {"Viewer", "3.0.0.0", "3.0.0.0", "Nothing new", false},
        // Without update information the button keeps its first state.
        {"Broken", "1.5.0.0", "N/A", "Current", false},
    };
    ASSERT_EQ(window.tableWidget->rowCount(), 4);
    for (int row = 0; row < 4; ++row) {
        const Expected& e = rows[row];
        SCOPED_TRACE(row);
        EXPECT_EQ(Text(row, 0), e.name);
        EXPECT_EQ(Text(row, 1), e.installed);
        EXPECT_EQ(Text(row, 2), e.latest);
        for (int column = 0; column < 3; ++column)
            EXPECT_EQ(window.tableWidget->item(row, column)->flags(), Qt::ItemIsEnabled);
        QPushButton* button = Button(row);
        ASSERT_EQ(button != nullptr, e.button != nullptr);
        if (button) {
            EXPECT_EQ(button->text(), e.button);
            EXPECT_EQ(button->isEnabled(), e.enabled);
        }
        EXPECT_FALSE(Highlighted(row));
    }

    Button(0)->click();
    EXPECT_EQ(made[0]->opened, std::vector<unsigned>{0});
    EXPECT_EQ(keeper->LastCheckedToStore, today);
    // The date shown is the one loaded at start-up, not the check just made.
    EXPECT_EQ(window.labelDate->text(),
              QLocale::system().toString(QDate(2000, 1, 1), QLocale::ShortFormat));
    EXPECT_TRUE(window.retryButton->isEnabled());

    // Checked while hidden, the columns were left as they were; they fit once it appears.
    window.show();
    QCoreApplication::processEvents();
    QAbstractItemView* view = window.tableWidget;
    for (int column = 1; column < 4; ++column)
        EXPECT_GE(window.tableWidget->columnWidth(column),
                  std::max(view->sizeHintForColumn(column),
                           window.tableWidget->horizontalHeader()->sectionSizeHint(column)))
            << column;
}

// Busy bars cover every row of a product still checked when its 700 ms are up, and never
// appear for one done before; a timeout between products shows nothing.
TEST_F(MainWindowTest, BusyIndicatorOnlyForAProductCheckedTooLong) {
    auto* timer = window.findChild<QTimer*>("tooLongTimer");
    ASSERT_NE(timer, nullptr);
    const auto bar = [this](int row) {
        QWidget* cell = window.tableWidget->cellWidget(row, 2);
        return cell ? cell->findChild<QProgressBar*>() : nullptr;
    };
    answers["Slow"] = {{{"1.0.0.0"}, {"0.9.0.0", false}}, false, [&] {
                           EXPECT_TRUE(timer->isActive() && timer->isSingleShot());
                           EXPECT_EQ(timer->interval(), 700);
                           EXPECT_EQ(bar(0), nullptr);
                           QMetaObject::invokeMethod(&window, "OnTooLong");
                           EXPECT_TRUE(bar(0) && bar(1) && bar(1)->maximum() == 0);
                       }};
    answers["Quick"] = {{{"2.0.0.0"}}, false, [&] { EXPECT_TRUE(timer->isActive()); }};
    List({"Slow", "Quick"});
    Check();
    EXPECT_FALSE(timer->isActive());
    QMetaObject::invokeMethod(&window, "OnTooLong");
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(window.tableWidget->cellWidget(row, 2), nullptr) << row;
    EXPECT_EQ(Text(1, 2), "N/A");
}

// Notices carry the gradient and are scrolled into view; one whose rows came with the check
// is appended at the end of the table.
TEST_F(MainWindowTest, NoticesAreHighlightedAndLateOnesAppended) {
    QStringList names{"News"};
    answers["News"] = {{{"", true, "", false, true, true}}};
    for (int i = 0; i < 25; ++i) {
        names << QStringLiteral("Filler %1").arg(i);
        answers[names.back()] = {{{"1.0.0.0"}}};
    }
    names << "Late";
    answers["Late"] = {{{"3/1/2024", true, "", false, true, true}}, true};
    List(names);
    window.show();
    Check();

    const int last = window.tableWidget->rowCount() - 1;
    ASSERT_EQ(last, 26);
    EXPECT_EQ(made.back()->GetRow(0), last);
    EXPECT_EQ(Text(last, 0), "Late");
    EXPECT_EQ(Text(last, 1), "3/1/2024");
    EXPECT_EQ(Button(last)->text(), "Nothing new");
    EXPECT_TRUE(Highlighted(0));
    EXPECT_FALSE(Highlighted(1));
    EXPECT_TRUE(Highlighted(last));
    QTableWidget* table = window.tableWidget;
    EXPECT_GT(table->verticalScrollBar()->value(), 0);
    EXPECT_TRUE(table->viewport()->rect().contains(table->visualItemRect(table->item(last, 0))));
}

// Retry replaces every row, button and adapter; while the check runs, neither Retry nor a
// second call starts another.
TEST_F(MainWindowTest, RetryRebuildsEveryRowAndCannotReenter) {
    answers["Studio"] = {{{"2.0.0.0", true, "2.1.0.0", true}}};
    answers["Viewer"] = {{{"3.0.0.0", true, "3.0.0.0"}}};
    List({"Studio", "Viewer"});
    Check();
    ASSERT_EQ(made.size(), 2u);
    const QPointer<QPushButton> old = Button(0);

    answers["Viewer"].duringCheck = [this] {
        EXPECT_FALSE(window.retryButton->isEnabled());
        EXPECT_FALSE(window.proxyButton->isEnabled());
        Check();
        EXPECT_EQ(made.size(), 4u) << "a second check started inside the first";
    };
    window.retryButton->click();
    // The table hands replaced cell widgets to the event loop for deletion.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(old.isNull());
    ASSERT_EQ(made.size(), 4u);
    ASSERT_EQ(window.tableWidget->rowCount(), 2);
    Button(0)->click();
    EXPECT_EQ(made[2]->opened, std::vector<unsigned>{0});
    EXPECT_TRUE(made[0]->opened.empty());
    EXPECT_TRUE(window.retryButton->isEnabled() && window.proxyButton->isEnabled());
    EXPECT_TRUE(window.proxyButton->isHidden());
}

// The schedule controls show the record keeper's values within their range; only a change of
// a control's value writes back.
TEST(MainWindowSchedule, ShowsTheStoredScheduleWithinRange) {
    struct Case {
        const char* name;
        bool checkUpdates;
        int32_t interval, lastChecked, shown, kept;
        QString date;
    };
    const Case cases[] = {
        {"above the maximum", true, 75, 0, 60, 60, ""},
        {"negative", true, -5, 0, 0, -5, ""},
        {"in range, off", false, 14, 2451545, 14, 14,
         QLocale::system().toString(QDate(2000, 1, 1), QLocale::ShortFormat)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto keeper = std::make_shared<CRecordKeeper>();
        keeper->CheckUpdates = c.checkUpdates;
        keeper->Interval = c.interval;
        keeper->LastChecked = c.lastChecked;
        MainWindow window;
        window.SetRecordKeeper(keeper);
        window.Refresh();
        EXPECT_EQ(window.spinBox->value(), c.shown);
        EXPECT_EQ(keeper->Interval, c.kept);
        EXPECT_EQ(window.checkBox->isChecked(), c.checkUpdates);
        EXPECT_EQ(keeper->CheckUpdates, c.checkUpdates);
        EXPECT_EQ(window.labelDate->text(), c.date);
    }
}

} // namespace

namespace {

// The shipped translations reach the window: its texts in the run's language, mirrored for a
// right-to-left one. English comes last so the process is left as it started.
TEST(MainWindowLanguage, SpeaksTheRunsLanguage) {
    const struct {
        const char* code;
        QString title;
        QString retry;
        Qt::LayoutDirection direction;
    } rows[] = {
        {"de", "ORVEX Produktaktualisierung", "Wiederholen", Qt::LeftToRight},
        {"fr", "Mise à jour des produits ORVEX", "Réessayer", Qt::LeftToRight},
        {"he", "עדכון מוצרי ORVEX", "נסה שוב", Qt::RightToLeft},
        {"en", "ORVEX Product Update", "Retry", Qt::LeftToRight},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        Sandbox sandbox;
        SetLocaleOverride(QString::fromLatin1(row.code));
        SetupLanguage(QStringLiteral("ORVEXProductUpdate"));
        MainWindow window;
        EXPECT_EQ(window.windowTitle(), row.title);
        EXPECT_EQ(window.retryButton->text(), row.retry);
        EXPECT_EQ(window.layoutDirection(), row.direction);
    }
    SetLocaleOverride({});
}

} // namespace

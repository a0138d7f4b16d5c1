#include "ui/MainWindow.h"

#include "net/ProxyHandlerBase.h"
#include "platform/ConsoleText.h"
#include "qtglue/Qtfier.h"
#include "update/ProductListController.h"
#include "update/RecordKeeper.h"

#include <QCloseEvent>
#include <QDate>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidgetItem>
#include <QTextDocument>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>

namespace {
constexpr int kColumnName = 0;
constexpr int kColumnInstalled = 1;
constexpr int kColumnLatest = 2;
constexpr int kColumnAction = 3;

// Tests and scripts read these lines from a pipe, where standard output is fully buffered.
void ConsoleLine(const QString& text) {
    std::fputs(ConsoleText(text).constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void ErrorLine(const QString& text) {
    std::fputs(ConsoleText(text).constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

// An address as it may be printed: a login written into it (a version file may name one for a
// server of its own) stays out of terminals and logs.
QString PrintableAddress(const QString& address) {
    QUrl url(address);
    if (url.userInfo().isEmpty())
        return address;
    url.setUserInfo(QString());
    return url.toString();
}

QTableWidgetItem* NewCell(Qt::Alignment alignment) {
    auto* item = new QTableWidgetItem();
    // Selectable so that the row with the keyboard is highlighted as a whole.
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    if (alignment)
        item->setTextAlignment(alignment);
    return item;
}
} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowSystemMenuHint) {
    setupUi(this);

    connect(proxyButton, &QPushButton::clicked, this, &MainWindow::OnProxyOptions);
    connect(retryButton, &QPushButton::clicked, this, &MainWindow::OnCheckUpdates);
    connect(cancelButton, &QPushButton::clicked, this, &MainWindow::OnClose);
    connect(checkBox, &QCheckBox::stateChanged, this, &MainWindow::OnCheckboxChanged);
    connect(spinBox, &QSpinBox::valueChanged, this, &MainWindow::OnIntervalChanged);
    connect(&m_tooLongTimer, &QTimer::timeout, this, &MainWindow::OnTooLong);
    connect(tableWidget, &QTableWidget::currentCellChanged, this,
            [this](int row, int, int previous, int) { OnCurrentRowChanged(row, previous); });
    tableWidget->installEventFilter(this);

    m_tooLongTimer.setParent(this);
    m_tooLongTimer.setObjectName(QStringLiteral("tooLongTimer"));
    m_tooLongTimer.setSingleShot(true);
    m_tooLongTimer.setInterval(700);

    QLinearGradient gradient(0, 0, 300, 0);
    gradient.setColorAt(0.0, QColor(0, 50, 255, 50));
    gradient.setColorAt(1.0, tableWidget->palette().color(QPalette::Base));
    m_highlightBrush = QBrush(gradient);

    // Nothing shows it again; it still takes part in disabling while a check runs, so
    // showing it cannot open a way into a running check.
    proxyButton->hide();
    InitTable();
}

MainWindow::~MainWindow() {
    // The buttons go with the table; their adapters must not outlive this window's callbacks.
    m_rowSlots.clear();
    if (m_controller) {
        m_controller->SetCheckingCallback(nullptr);
        m_controller->SetDoneCallback(nullptr);
        m_controller->SetListCallback(nullptr);
    }
}

void MainWindow::SetController(std::shared_ptr<CProductListController> controller) {
    m_controller = std::move(controller);
    if (!m_controller)
        return;
    m_controller->SetDoneCallback(
        [this](const std::shared_ptr<IProduct>& product) { OnProductDone(product); });
    m_controller->SetCheckingCallback(
        [this](const std::shared_ptr<IProduct>& product) { OnProductChecking(product); });
    m_controller->SetListCallback([this] { Refresh(); });
}

void MainWindow::SetProxyHandler(std::shared_ptr<ProxyHandlerBase> proxyHandler) {
    m_proxyHandler = std::move(proxyHandler);
}

void MainWindow::SetRecordKeeper(std::shared_ptr<CRecordKeeper> recordKeeper) {
    m_recordKeeper = std::move(recordKeeper);
}

void MainWindow::InitTable() {
    while (tableWidget->rowCount() > 0)
        tableWidget->removeRow(tableWidget->rowCount() - 1);
    tableWidget->clear();
    tableWidget->setRowCount(0);
    tableWidget->setColumnCount(4);
    // The button column's header says what its buttons do, for the eye and for a reader alike
    // (a reader that asks for a column's description gets the header's display text).
    tableWidget->setHorizontalHeaderLabels(
        {tr("Product"), tr("Installed version"), tr("Latest version"), tr("Action")});
    tableWidget->verticalHeader()->hide();
    // Rows at least as tall as a row button at the window's font, which would otherwise be
    // squeezed, its text cut, at a large font.
    QPushButton probe(tr("Update"));
    probe.ensurePolished();
    tableWidget->verticalHeader()->setDefaultSectionSize(
        std::max(tableWidget->verticalHeader()->defaultSectionSize(), probe.sizeHint().height()));
    QHeaderView* header = tableWidget->horizontalHeader();
    header->setSectionsClickable(false);
    header->setSectionsMovable(false);
    header->setSectionResizeMode(kColumnName, QHeaderView::Stretch);
    SizeColumnsToContents(isVisible());
}

// Sizing a column to its contents measures every row in it, and a check changes a row per
// product: done after each, the check of a long list would spend most of its time measuring.
// So the columns follow their contents only while anyone can see them; the silent run's
// hidden check leaves them alone, and they are sized once when the window appears.
void MainWindow::SizeColumnsToContents(bool enable) {
    QHeaderView* header = tableWidget->horizontalHeader();
    for (int column : {kColumnInstalled, kColumnLatest, kColumnAction})
        header->setSectionResizeMode(column,
                                     enable ? QHeaderView::ResizeToContents : QHeaderView::Fixed);
}

void MainWindow::showEvent(QShowEvent* event) {
    SizeColumnsToContents(true);
    QDialog::showEvent(event);
    FitTableToContents();
}

// The first column stretches over what the others leave; were the window too narrow, it would
// cut the product names at a large font. A table as wide as all its columns need makes the
// layout widen the window. Hidden, nothing is measured (see SizeColumnsToContents).
void MainWindow::FitTableToContents() {
    if (!isVisible())
        return;
    QHeaderView* header = tableWidget->horizontalHeader();
    // Public in the base, where it measures the rows' texts and cell widgets alike.
    const QAbstractItemView* view = tableWidget;
    // The scroll bar is counted even while absent, so that a row too many does not cut the names.
    int width =
        2 * tableWidget->frameWidth() + tableWidget->verticalScrollBar()->sizeHint().width();
    for (int column = 0; column < tableWidget->columnCount(); ++column)
        width += std::max(header->sectionSizeHint(column), view->sizeHintForColumn(column));
    tableWidget->setMinimumWidth(width);
}

void MainWindow::Refresh() {
    ShowSchedule();
    BuildRows({});
}

void MainWindow::ShowSchedule() {
    if (!m_recordKeeper)
        return;
    checkBox->setCheckState(m_recordKeeper->CheckUpdates ? Qt::Checked : Qt::Unchecked);
    spinBox->setValue(m_recordKeeper->Interval);
    ShowLastChecked();
}

void MainWindow::ShowLastChecked() {
    if (!m_recordKeeper)
        return;
    // What the run will store: the loaded date until a check of this run succeeds.
    const int32_t lastChecked = m_recordKeeper->LastCheckedToStore != 0
                                    ? m_recordKeeper->LastCheckedToStore
                                    : m_recordKeeper->LastChecked;
    labelDate->setText(
        lastChecked != 0
            ? QLocale::system().toString(QDate::fromJulianDay(lastChecked), QLocale::ShortFormat)
            : QString());
    // The form's minimum width would let a narrow window squeeze a date at a large font.
    labelDate->setMinimumWidth(std::max(70, labelDate->sizeHint().width()));
}

void MainWindow::BuildRows(const std::vector<unsigned>& itemsAtList) {
    // A rebuilt table (Retry) keeps the keyboard on the row it was on.
    const int current = tableWidget->currentRow();
    InitTable();
    m_rowSlots.clear();
    if (!m_controller)
        return;

    const ProductList products = m_controller->GetProducts();
    std::vector<unsigned> counts;
    for (size_t k = 0; k < products.size(); ++k) {
        const unsigned now = products[k]->GetItemCount();
        counts.push_back(k < itemsAtList.size() ? std::min(itemsAtList[k], now) : now);
        // Rows that came later are appended as their product is done (ShowResult).
        for (unsigned i = counts[k]; i < now; ++i)
            products[k]->SetRow(i, -1);
    }
    // All rows exist before any is filled: a product's rows are told their table rows first.
    for (size_t k = 0; k < products.size(); ++k) {
        const auto& product = products[k];
        for (unsigned i = 0; i < counts[k]; ++i) {
            const int row = InsertRow(product->HasActionButton(i),
                                      [product, i] { return product->OpenAction(i); });
            product->SetRow(i, row);
        }
    }
    for (size_t k = 0; k < products.size(); ++k) {
        for (unsigned i = 0; i < counts[k]; ++i)
            FillProductCells(products[k], i, products[k]->GetRow(i));
    }
    ChainRowButtons();
    if (tableWidget->rowCount() > 0)
        tableWidget->setCurrentCell(std::clamp(current, 0, tableWidget->rowCount() - 1),
                                    kColumnName);
    FitTableToContents();
}

void MainWindow::ShowFinishedCheck(const std::vector<unsigned>& itemsAtList) {
    ShowSchedule();
    BuildRows(itemsAtList);
    if (m_controller)
        for (const auto& product : m_controller->GetProducts())
            ShowResult(product);
}

void MainWindow::FillProductCells(const std::shared_ptr<IProduct>& product, unsigned i, int row) {
    if (QTableWidgetItem* name = tableWidget->item(row, kColumnName))
        name->setText(product->GetName());
    if (QTableWidgetItem* installed = tableWidget->item(row, kColumnInstalled))
        installed->setText(product->GetInstalledVersionText(i));
    DescribeRow(row, tr("Not checked yet."));
}

int MainWindow::InsertRow(bool withButton, RowAction action) {
    const int row = tableWidget->rowCount();
    tableWidget->setRowCount(row + 1);
    tableWidget->setItem(row, kColumnName, NewCell({}));
    tableWidget->setItem(row, kColumnInstalled, NewCell(Qt::AlignCenter));
    tableWidget->setItem(row, kColumnLatest, NewCell(Qt::AlignCenter));
    // Under the button: what a reader walking the table's cells meets in this column.
    tableWidget->setItem(row, kColumnAction, NewCell({}));
    if (withButton) {
        auto* button = new QPushButton(tr("Current"));
        button->setEnabled(false);
        // A tab stop only while its row is the current one (OnCurrentRowChanged).
        button->setFocusPolicy(Qt::ClickFocus);
        button->setSizePolicy(QSizePolicy::MinimumExpanding, QSizePolicy::Preferred);
        auto adapter = std::make_shared<Qtfier>(
            [this, row, action = std::move(action)] { RunRowAction(row, action); });
        m_rowSlots.push_back(adapter);
        connect(button, &QPushButton::clicked, adapter.get(), &Qtfier::Slot);
        tableWidget->setCellWidget(row, kColumnAction, button);
    }
    return row;
}

void MainWindow::RunRowAction(int row, const RowAction& action) {
    (void)row;
    if (action)
        action();
}

int MainWindow::AddProductRow(const std::shared_ptr<IProduct>& product, unsigned i) {
    if (!product)
        return -1;
    const int row =
        InsertRow(product->HasActionButton(i), [product, i] { return product->OpenAction(i); });
    product->SetRow(i, row);
    FillProductCells(product, i, row);
    ChainRowButtons();
    return row;
}

void MainWindow::TellChecking(IProduct& product) {
    ConsoleLine(QStringLiteral("- Checking ") + product.GetName() + QStringLiteral("..."));
}

void MainWindow::TellDone(IProduct& product, bool verbose) {
    ConsoleLine(QStringLiteral("- Done ") + product.GetName());
    if (!verbose)
        return;
    QStringList reasons;
    for (unsigned i = 0; i < product.GetItemCount(); ++i) {
        if (product.HasUpdateInfo(i))
            continue;
        const QString reason = product.GetFailureReason(i);
        if (!reason.isEmpty() && !reasons.contains(reason))
            reasons << reason;
    }
    QStringList parts{product.GetName(), PrintableAddress(product.GetUpdateAddress())};
    parts << reasons;
    parts.removeAll(QString());
    ErrorLine(parts.join(QStringLiteral(": ")));
}

void MainWindow::OnProductChecking(const std::shared_ptr<IProduct>& product) {
    if (!product)
        return;
    TellChecking(*product);
    m_currentProduct = product;
    m_tooLongTimer.start();
    for (unsigned i = 0; i < product->GetItemCount(); ++i)
        DescribeRow(product->GetRow(i), tr("Being checked."));
}

void MainWindow::OnTooLong() {
    if (!m_currentProduct)
        return;
    for (unsigned i = 0; i < m_currentProduct->GetItemCount(); ++i) {
        const int row = m_currentProduct->GetRow(i);
        if (row >= 0 && row < tableWidget->rowCount())
            tableWidget->setCellWidget(row, kColumnLatest, CreateBusyIndicator());
    }
}

QWidget* MainWindow::CreateBusyIndicator() {
    auto* indicator = new QWidget();
    auto* layout = new QVBoxLayout(indicator);
    auto* bar = new QProgressBar();
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    QPalette palette = bar->palette();
    const QBrush base = tableWidget->palette().base();
    for (QPalette::ColorRole role : {QPalette::Window, QPalette::Mid, QPalette::Dark,
                                     QPalette::Light, QPalette::Shadow, QPalette::Midlight})
        palette.setBrush(role, base);
    bar->setPalette(palette);
    layout->addWidget(bar);
    return indicator;
}

void MainWindow::OnProductDone(const std::shared_ptr<IProduct>& product) {
    if (!product)
        return;
    m_currentProduct.reset();
    m_tooLongTimer.stop();
    ShowResult(product);
    TellDone(*product, m_verbose);
}

void MainWindow::ShowResult(const std::shared_ptr<IProduct>& product) {
    for (unsigned i = 0; i < product->GetItemCount(); ++i) {
        int row = product->GetRow(i);
        // Only a notice that was not in the list at Refresh answers a negative row here.
        if (row < 0)
            row = AddProductRow(product, i);
        if (row < 0)
            continue;

        if (QWidget* busy = tableWidget->cellWidget(row, kColumnLatest)) {
            busy->hide();
            tableWidget->removeCellWidget(row, kColumnLatest);
        }
        QTableWidgetItem* latest = tableWidget->item(row, kColumnLatest);
        if (product->HasUpdateInfo(i)) {
            if (latest)
                latest->setText(product->GetLatestVersionText(i));
            if (auto* button =
                    qobject_cast<QPushButton*>(tableWidget->cellWidget(row, kColumnAction))) {
                const QStringList labels = product->GetActionLabels(i);
                const bool update = product->IsUpdateAvailable(i);
                button->setText(labels.value(update ? 1 : 0));
                button->setEnabled(update);
            }
        } else if (latest) {
            latest->setText(tr("N/A"));
            const QString reason = product->GetFailureReason(i);
            // A tool tip that looks like markup is laid out as such, and a reason can quote
            // a server: escaped, it shows as the text it is.
            latest->setToolTip(Qt::mightBeRichText(reason) ? Qt::convertFromPlainText(reason)
                                                           : reason);
            ShowRefusal(row, product->GetFailure(i), latest->toolTip());
        }
        if (product->IsNotice(i)) {
            if (QTableWidgetItem* name = tableWidget->item(row, kColumnName)) {
                name->setBackground(m_highlightBrush);
                tableWidget->scrollToItem(name);
            }
        }
        DescribeRow(row, RowState(*product, i));
    }
    FitTableToContents();
}

void MainWindow::ShowRefusal(int row, const CheckFailure& failure, const QString& toolTip) {
    auto* button = qobject_cast<QPushButton*>(tableWidget->cellWidget(row, kColumnAction));
    // A refused document is not a current product: the person must not read it as one.
    if (!button || !IsRefusal(failure))
        return;
    button->setText(tr("Refused"));
    button->setToolTip(toolTip);
    button->setAccessibleDescription(DescribeFailure(failure));
}

void MainWindow::OnConnectionError(const QString& error) {
    statusLabel->setText(error);
}

void MainWindow::OnProxyOptions() {
    if (m_proxyHandler)
        m_proxyHandler->ShowConnectionOptions(this);
}

void MainWindow::OnCheckUpdates() {
    // Events flow while a check waits for its downloads; a second check started from one of
    // them would reload the list under the first and rebuild the rows it is filling.
    if (m_checkRunning)
        return;
    m_checkRunning = true;

    ConsoleLine(QString());
    if (m_proxyHandler)
        m_proxyHandler->credentialsDialogAllowed = true;
    statusLabel->clear();
    // Disabled, Retry hands the keyboard on to Close; it gets it back after the check unless
    // the person has moved on meanwhile, so that a second Space does not close the window.
    const bool retryHadFocus = retryButton->hasFocus();
    retryButton->setEnabled(false);
    proxyButton->setEnabled(false);
    const QWidget* focusDuringCheck = focusWidget();

    // The controller runs the whole check, the same one as the silent run, and rebuilds
    // the rows through the callbacks registered in SetController.
    if (m_controller)
        m_controller->RunCheck(m_recordKeeper.get());
    ShowLastChecked();

    retryButton->setEnabled(true);
    proxyButton->setEnabled(true);
    if (retryHadFocus && focusWidget() == focusDuringCheck)
        retryButton->setFocus(Qt::TabFocusReason);
    m_checkRunning = false;
}

void MainWindow::OnClose() {
    reject();
}

void MainWindow::reject() {
    if (m_checkRunning && m_controller)
        m_controller->CancelCheck();
    QDialog::reject();
}

void MainWindow::OnCheckboxChanged(int state) {
    if (m_recordKeeper)
        m_recordKeeper->CheckUpdates = (state == Qt::Checked);
}

void MainWindow::OnIntervalChanged(int value) {
    if (m_recordKeeper)
        m_recordKeeper->Interval = value;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The frame's close box ends the modal loop the same way as Close and Escape.
    (void)event;
    reject();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // A focused button presses itself on Return and never gets here.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // Focusing a row's button makes its cell the current one; back on the table, the arrows
    // would then walk the button column and hand the keyboard to every button they pass.
    if (watched == tableWidget && event->type() == QEvent::FocusIn &&
        tableWidget->currentColumn() == kColumnAction)
        tableWidget->setCurrentCell(tableWidget->currentRow(), kColumnName);
    if (watched == tableWidget && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        if (plain && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter ||
                      key->key() == Qt::Key_Space)) {
            RunCurrentRowAction();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void MainWindow::RunCurrentRowAction() {
    QPushButton* button = RowButton(tableWidget->currentRow());
    if (button && button->isEnabled())
        button->click();
}

QPushButton* MainWindow::RowButton(int row) const {
    return qobject_cast<QPushButton*>(tableWidget->cellWidget(row, kColumnAction));
}

// Cell widgets join the focus chain where they are created, after Close; moved right behind
// the table, in row order, Tab reaches a row's action from the row and Shift+Tab comes back.
void MainWindow::ChainRowButtons() {
    QWidget* previous = tableWidget;
    for (int row = 0; row < tableWidget->rowCount(); ++row) {
        if (QPushButton* button = RowButton(row)) {
            setTabOrder(previous, button);
            previous = button;
        }
    }
}

void MainWindow::OnCurrentRowChanged(int row, int previous) {
    if (QPushButton* button = RowButton(previous))
        button->setFocusPolicy(Qt::ClickFocus);
    if (QPushButton* button = RowButton(row))
        button->setFocusPolicy(Qt::StrongFocus);
    const QTableWidgetItem* name = row >= 0 ? tableWidget->item(row, kColumnName) : nullptr;
    rowStateLabel->setText(
        name ? tr("%1: %2").arg(name->text(), name->data(Qt::AccessibleDescriptionRole).toString())
             : QString());
}

QString MainWindow::RowState(IProduct& product, unsigned i) {
    if (!product.HasUpdateInfo(i)) {
        const QString reason = product.GetFailureReason(i);
        return reason.isEmpty() ? tr("The latest version is not known.") : reason;
    }
    if (product.IsNotice(i))
        return tr("A notice.");
    return product.IsUpdateAvailable(i) ? tr("An update is available.") : tr("Up to date.");
}

void MainWindow::DescribeRow(int row, const QString& state) {
    if (row < 0 || row >= tableWidget->rowCount())
        return;
    for (int column : {kColumnName, kColumnInstalled, kColumnLatest, kColumnAction})
        if (QTableWidgetItem* cell = tableWidget->item(row, column))
            cell->setData(Qt::AccessibleDescriptionRole, state);
    const QTableWidgetItem* name = tableWidget->item(row, kColumnName);
    QTableWidgetItem* action = tableWidget->item(row, kColumnAction);
    if (QPushButton* button = RowButton(row); button && name && action) {
        // "Update ORVEX Studio": the same words on every row, told apart by the product.
        const QString named = tr("%1 %2").arg(button->text(), name->text());
        button->setAccessibleName(named);
        button->setAccessibleDescription(state);
        action->setData(Qt::AccessibleTextRole, named);
    }
    if (row == tableWidget->currentRow())
        OnCurrentRowChanged(row, -1);
}

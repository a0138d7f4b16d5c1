#include "ui/MainWindow.h"

#include "net/ProxyHandlerBase.h"
#include "platform/ConsoleText.h"
#include "qtglue/Qtfier.h"
#include "update/ProductListController.h"
#include "update/RecordKeeper.h"

#include <QCloseEvent>
#include <QDate>
#include <QHeaderView>
#include <QLinearGradient>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
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
    item->setFlags(Qt::ItemIsEnabled);
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
    // The empty header of the button column is as wide as a button must at least be.
    tableWidget->setHorizontalHeaderLabels({tr("Product"), tr("Installed version"),
                                            tr("Latest version"),
                                            QStringLiteral("                             ")});
    tableWidget->verticalHeader()->hide();
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
    // The date the run started with: a check made now is shown from the next run on.
    const int32_t lastChecked = m_recordKeeper->LastChecked;
    labelDate->setText(
        lastChecked != 0
            ? QLocale::system().toString(QDate::fromJulianDay(lastChecked), QLocale::ShortFormat)
            : QString());
}

void MainWindow::BuildRows(const std::vector<unsigned>& itemsAtList) {
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
}

int MainWindow::InsertRow(bool withButton, RowAction action) {
    const int row = tableWidget->rowCount();
    tableWidget->setRowCount(row + 1);
    tableWidget->setItem(row, kColumnName, NewCell({}));
    tableWidget->setItem(row, kColumnInstalled, NewCell(Qt::AlignCenter));
    tableWidget->setItem(row, kColumnLatest, NewCell(Qt::AlignCenter));
    if (withButton) {
        auto* button = new QPushButton(tr("Current"));
        button->setEnabled(false);
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
    }
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
    retryButton->setEnabled(false);
    proxyButton->setEnabled(false);

    // The controller runs the whole check, the same one as the silent run, and rebuilds
    // the rows through the callbacks registered in SetController.
    if (m_controller)
        m_controller->RunCheck(m_recordKeeper.get());

    retryButton->setEnabled(true);
    proxyButton->setEnabled(true);
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

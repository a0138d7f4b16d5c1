#include "ui/MainWindow.h"

#include "update/ProductListController.h"
#include "update/RecordKeeper.h"
#include "net/ProxyHandlerBase.h"

#include <QHeaderView>
#include <QTableWidget>
#include <QVBoxLayout>

MainWindow::MainWindow(QWidget* parent) : QDialog(parent), m_table(new QTableWidget(0, 3, this)) {
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(tr("ORVEX Product Update"));
    m_table->setObjectName(QStringLiteral("productTable"));
    m_table->setHorizontalHeaderLabels(
        {tr("Product"), tr("Installed version"), tr("Latest version")});
    m_table->horizontalHeader()->setStretchLastSection(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    resize(560, 320);
}

MainWindow::~MainWindow() = default;

void MainWindow::SetController(std::shared_ptr<CProductListController> controller) {
    m_controller = std::move(controller);
}

void MainWindow::SetProxyHandler(std::shared_ptr<ProxyHandlerBase> proxyHandler) {
    m_proxyHandler = std::move(proxyHandler);
}

void MainWindow::SetRecordKeeper(std::shared_ptr<CRecordKeeper> recordKeeper) {
    m_recordKeeper = std::move(recordKeeper);
}

void MainWindow::Refresh() {
    m_table->setRowCount(0);
}

void MainWindow::OnCheckUpdates() {
    if (m_proxyHandler)
        m_proxyHandler->credentialsDialogAllowed = true;
    if (!m_controller)
        return;
    m_controller->FindInstalledAll();
    Refresh();
    m_controller->CheckAll();
}

#pragma once

#include <QDialog>

#include <memory>

class CProductListController;
class CRecordKeeper;
class ProxyHandlerBase;
class QTableWidget;

// The program's one window: a table of products with an action per row. Stand-in until
// the product catalogue exists: an empty table and the check slot.
class MainWindow : public QDialog {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    void SetController(std::shared_ptr<CProductListController> controller);
    void SetProxyHandler(std::shared_ptr<ProxyHandlerBase> proxyHandler);
    void SetRecordKeeper(std::shared_ptr<CRecordKeeper> recordKeeper);
    // Rebuilds the table from the controller's products.
    void Refresh();

public Q_SLOTS:
    void OnCheckUpdates();

private:
    QTableWidget* m_table;
    std::shared_ptr<CProductListController> m_controller;
    std::shared_ptr<ProxyHandlerBase> m_proxyHandler;
    std::shared_ptr<CRecordKeeper> m_recordKeeper;
};

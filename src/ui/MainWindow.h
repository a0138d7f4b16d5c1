#pragma once

#include "catalogue/Product.h"
#include "ui_MainWindow.h"

#include <QBrush>
#include <QDialog>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class CProductListController;
class CRecordKeeper;
class ProxyHandlerBase;
class Qtfier;

// The program's one window: a modal dialog with a table of every item row of every product
// (installed and latest version, an action button), the silent-check schedule, Retry and
// Close. OnCheckUpdates has the controller run a whole check and fills the rows as the
// controller reports the list and each product.
//
// Interface thread only. A check blocks inside OnCheckUpdates while downloads keep the events
// flowing, so the window repaints and its buttons stay live; Retry and Connection Options are
// disabled for the duration so that no second check or proxy change starts inside the first.
// Close during a check hides the window at once and cancels the check; exec() returns once
// the download under way has noticed (within a moment).
//
// The widgets of the form are public members (Ui::MainWindow), as the form declares them.
class MainWindow : public QDialog, public Ui::MainWindow {
    Q_OBJECT
public:
    // What a row's button runs; its result is not used.
    using RowAction = std::function<bool()>;

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Stores the controller and registers the list and per-product callbacks on it.
    void SetController(std::shared_ptr<CProductListController> controller);
    void SetProxyHandler(std::shared_ptr<ProxyHandlerBase> proxyHandler);
    void SetRecordKeeper(std::shared_ptr<CRecordKeeper> recordKeeper);
    // With verbose on, each product's address and the reason for its "N/A" rows also go to
    // standard error as the product is done; standard output keeps its lines.
    void SetVerbose(bool verbose) { m_verbose = verbose; }
    // Rebuilds the schedule controls from the record keeper and the table from the
    // controller's products; every row starts with an empty latest version. The spin box and
    // check box write their (possibly clamped) values back through their slots.
    void Refresh();
    // For a window made after its check: shows what a window that watched the check shows.
    // That window built its rows when the list was ready, with itemsAtList[k] item rows for
    // the k-th product; rows that came with the check followed as their products were done.
    void ShowFinishedCheck(const std::vector<unsigned>& itemsAtList);

    // The console lines of a check, which a window prints as the controller reports each
    // product and a run without one prints itself: "- Checking NAME..." before a product,
    // "- Done NAME" after it, and with verbose the product's address and the reasons for its
    // "N/A" rows on standard error.
    static void TellChecking(IProduct& product);
    static void TellDone(IProduct& product, bool verbose);
    // A row whose document was refused for its signature says so on its button ("Refused",
    // never "Current"), with the reason as its tooltip and description.
    void ShowRefusal(int row, const CheckFailure& failure, const QString& toolTip);

public Q_SLOTS:
    void OnConnectionError(const QString& error);
    // Close, Escape and the close box: the window hides at once, and a check under way is
    // cancelled, so that the run ends promptly instead of after every remaining download.
    void reject() override;

protected Q_SLOTS:
    void OnProxyOptions();
    // Has the controller run the check (RunCheck): the table is rebuilt once the list's
    // products know what is installed and filled as each is checked. Blocks until the check
    // has ended.
    void OnCheckUpdates();
    void OnClose();
    void OnCheckboxChanged(int state);
    void OnIntervalChanged(int value);
    // The current product is still being checked 700 ms after it started: busy bars in its
    // latest-version cells.
    void OnTooLong();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void InitTable();
    // The table's rows: the first itemsAtList[k] item rows of the k-th product, every one of
    // a product past its end.
    void BuildRows(const std::vector<unsigned>& itemsAtList);
    void SizeColumnsToContents(bool enable);
    // Appends a row with empty items and, when asked, a disabled "Current" button that runs
    // action; returns the new row.
    int InsertRow(bool withButton, RowAction action);
    void RunRowAction(int row, const RowAction& action);
    // The table row of a product's item row that arrived after Refresh; -1 for no product.
    int AddProductRow(const std::shared_ptr<IProduct>& product, unsigned i);
    void FillProductCells(const std::shared_ptr<IProduct>& product, unsigned i, int row);
    void OnProductChecking(const std::shared_ptr<IProduct>& product);
    void OnProductDone(const std::shared_ptr<IProduct>& product);
    // The rows of a product that has been checked: its latest versions, buttons and reasons.
    void ShowResult(const std::shared_ptr<IProduct>& product);
    // The schedule controls from the record keeper.
    void ShowSchedule();
    // A parentless endless busy bar whose frame blends into the table.
    QWidget* CreateBusyIndicator();

    std::vector<std::shared_ptr<Qtfier>> m_rowSlots;
    std::shared_ptr<CProductListController> m_controller;
    std::shared_ptr<ProxyHandlerBase> m_proxyHandler;
    std::shared_ptr<CRecordKeeper> m_recordKeeper;
    QBrush m_highlightBrush;
    // A child of the window, so that tests find it as "tooLongTimer".
    QTimer m_tooLongTimer;
    std::shared_ptr<IProduct> m_currentProduct;
    bool m_checkRunning = false;
    bool m_verbose = false;
};

// The window as a screen reader meets it: the sample's products checked against a real server,
// and the window's tree read through Qt's accessibility interfaces in-process, which is what
// the AT-SPI bridge hands a reader; then the credentials dialog's fields.
#include "ui/MainWindow.h"

#include "net/ProxyAuth.h"
#include "net/TestServers.h"
#include "support/CatalogueSandbox.h"
#include "update/ProductListController.h"
#include "update/RecordKeeper.h"

#include <QAccessible>
#include <QLineEdit>
#include <QProcess>

namespace {

QAccessibleInterface* Reader(QWidget* widget) {
    return QAccessible::queryAccessibleInterface(widget);
}

// What a reader says of one node: its role, name and description.
std::tuple<QAccessible::Role, QString, QString> Said(QAccessibleInterface* node) {
    if (!node)
        return {QAccessible::NoRole, "(missing)", {}};
    return {node->role(), node->text(QAccessible::Name), node->text(QAccessible::Description)};
}

TEST(MainWindowReader, ReadsEveryRowItsActionAndWhyAndEveryControl) {
    TestServer server;
    ASSERT_TRUE(server.IsRunning()) << "python3 could not start the test server";
    ClearProxyEnvironment();
    CatalogueSandbox sandbox;
    const QString host = QStringLiteral("127.0.0.1:%1").arg(server.Port());
    ASSERT_EQ(QProcess::execute(ORVEX_LAY_OUT_SAMPLE, {host, sandbox.Root(), server.Folder()}), 0);
    auto controller = std::make_shared<CProductListController>();
    controller->SetDownloader(std::make_shared<Downloader>());
    MainWindow window;
    window.SetController(controller);
    window.SetRecordKeeper(std::make_shared<CRecordKeeper>());
    QMetaObject::invokeMethod(&window, "OnCheckUpdates");

    QAccessibleInterface* table = Reader(window.tableWidget);
    ASSERT_TRUE(table && table->tableInterface());
    EXPECT_EQ(Said(table), std::tuple(QAccessible::Table, QString("Products"), QString()));
    // The headers, as cells of the table and as the columns' descriptions.
    const QStringList headers{"Product", "Installed version", "Latest version", "Action"};
    ASSERT_EQ(table->tableInterface()->columnCount(), 4);
    for (int column = 0; column < 4; ++column) {
        SCOPED_TRACE(column);
        EXPECT_EQ(table->tableInterface()->columnDescription(column), headers[column]);
        const QList<QAccessibleInterface*> header =
            table->tableInterface()->cellAt(0, column)->tableCellInterface()->columnHeaderCells();
        ASSERT_EQ(header.size(), 1);
        // Made anew for the caller and kept nowhere: registered, so the cache frees it.
        const QAccessible::Id id = QAccessible::registerAccessibleInterface(header[0]);
        EXPECT_EQ(Said(header[0]),
                  std::tuple(QAccessible::ColumnHeader, headers[column], QString()));
        QAccessible::deleteAccessibleInterface(id);
    }

    // Every row's cells, as a reader moving over them hears them; "" stands for a text that
    // depends on the day or the locale. The action cell and its button carry the same name.
    // clang-format off
    const struct { QString name, installed, latest, action, state; bool enabled; } rows[] = {
        {"ORVEX Studio", "5.1.0.0", "5.2.0.0", "Update ORVEX Studio", "An update is available.", true},
        {"ORVEX Viewer", "2.3.1.0", "2.3.1.0", "Current ORVEX Viewer", "Up to date.", false},
        {"ORVEX Converter", "1.4.0.0", "N/A", "Current ORVEX Converter",
         "The server answered with status 404 File not found.", false},
        {"ORVEX Nature Gallery", "", "", "Update ORVEX Nature Gallery", "An update is available.", true},
        {"New tutorials for ORVEX Studio", " ", " ", "More... New tutorials for ORVEX Studio", "A notice.", true},
    };
    // clang-format on
    ASSERT_EQ(table->tableInterface()->rowCount(), static_cast<int>(std::size(rows)));
    for (int row = 0; row < static_cast<int>(std::size(rows)); ++row) {
        const auto& expected = rows[row];
        SCOPED_TRACE(expected.name.toStdString());
        const QString cells[] = {expected.name, expected.installed, expected.latest,
                                 expected.action};
        for (int column = 0; column < 4; ++column) {
            QAccessibleInterface* cell = table->tableInterface()->cellAt(row, column);
            ASSERT_NE(cell, nullptr);
            const auto [role, name, description] = Said(cell);
            EXPECT_EQ(role, QAccessible::Cell);
            EXPECT_TRUE(cells[column].isEmpty() || name == cells[column]) << name.toStdString();
            EXPECT_EQ(description, expected.state) << column;
            // Every cell can take the keyboard, so a reader can stop on it.
            EXPECT_TRUE(cell->state().focusable && cell->state().selectable) << column;
        }
        auto* button = window.tableWidget->cellWidget(row, 3);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(Said(Reader(button)),
                  std::tuple(QAccessible::Button, expected.action, expected.state));
        EXPECT_EQ(Reader(button)->state().disabled, !expected.enabled);
    }

    // The other controls, in the order Tab reaches them, and what shows the current row.
    const std::tuple<QWidget*, QAccessible::Role, QString> controls[] = {
        {window.rowStateLabel, QAccessible::StaticText, "ORVEX Studio: An update is available."},
        {window.checkBox, QAccessible::CheckBox, "Check for updates automatically every:"},
        {window.spinBox, QAccessible::SpinBox, "Days between automatic checks"},
        {window.retryButton, QAccessible::Button, "Retry"},
        {window.cancelButton, QAccessible::Button, "Close"},
    };
    for (const auto& [widget, role, name] : controls) {
        SCOPED_TRACE(widget->objectName().toStdString());
        EXPECT_EQ(Said(Reader(widget)), std::tuple(role, name, QString()));
    }

    // The credentials dialog: each field named by its label, the password one as such.
    ProxyAuth dialog;
    dialog.SetAuthenticationRequiredMode();
    const std::tuple<const char*, QString, bool> fields[] = {
        {"proxyHostEdit", "Proxy Host:", false},
        {"proxyPortEdit", "Proxy port", false},
        {"proxyUserNameEdit", "User Name:", false},
        {"proxyPasswordEdit", "Password:", true},
    };
    for (const auto& [field, name, password] : fields) {
        SCOPED_TRACE(field);
        QAccessibleInterface* node = Reader(dialog.findChild<QLineEdit*>(field));
        EXPECT_EQ(Said(node), std::tuple(QAccessible::EditableText, name, QString()));
        EXPECT_EQ(node && node->state().passwordEdit, password);
    }
}

} // namespace

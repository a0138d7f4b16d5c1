// Checking every product, with its callbacks and findings, is shown by MainWindowTest and
// CheckEndToEnd; here the refresh of the list itself, which decides the next run's list.
#include "update/ProductListController.h"
#include "support/CatalogueSandbox.h"

TEST(ProductListController, RefreshAdoptsOnlyANewerListAndStoresIt) {
    const QString url = QStringLiteral("http://127.0.0.1:9/list.xml");
    const auto list = [](const QString& version, const QString& listUrl, const char* first) {
        return CatalogueSandbox::List(version, listUrl, {CatalogueSandbox::Product(first, "B")});
    };
    const QByteArray newer = list("2.0.0.0", url, "New");
    // clang-format off
    const struct { const char* name; QString listUrl; QByteArray served; bool programWritable, result; QString firstName, storedIn; } rows[] = {
        {"NewerStoredBesideProgram", url, newer, true, true, "New", "Program"},
        {"NewerFallsBackToCommonFolder", url, newer, false, true, "New", "ProgramData"},
        {"OlderDiscarded", url, list("0.9.0.0", url, "Older"), true, true, "Old", ""},
        {"SameVersionDiscarded", url, list("1.0.0.0", url, "Same"), true, true, "Old", ""},
        {"UnreadableDiscarded", url, "<nope", true, false, "Old", ""},
        {"NoUrlNeverFetched", "", newer, true, false, "Old", ""},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueSandbox sandbox;
        const QByteArray old = list("1.0.0.0", row.listUrl, "Old");
        sandbox.Write("ProgramData/productlist.xml", old);
        auto downloader = std::make_shared<FakeDownloader>();
        downloader->documents[url] = row.served;
        // Tests run as root, who writes anywhere: a folder in the way of the copy stands in
        // for a program folder the user may not write.
        if (!row.programWritable)
            QDir().mkpath(sandbox.Path("Program/productlist.xml/x"));
        CProductListController controller;
        controller.SetDownloader(downloader);
        ASSERT_TRUE(controller.LoadProductList());
        EXPECT_EQ(controller.RefreshProductList(), row.result);
        EXPECT_EQ(downloader->asked, row.listUrl.isEmpty() ? QStringList() : QStringList{url});
        EXPECT_EQ(controller.GetProducts().at(0)->GetName(), row.firstName);
        EXPECT_TRUE(TemporaryFiles().isEmpty());
        // Nothing else on disk changes: no copy of a list not taken, and no half-made copy
        // beside the program when the copy there fails.
        const bool besideProgram = row.storedIn == "Program" || !row.programWritable;
        EXPECT_EQ(QDir(sandbox.Path("Program")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                  besideProgram ? QStringList{"productlist.xml"} : QStringList());
        EXPECT_EQ(sandbox.Read("ProgramData/productlist.xml"),
                  row.storedIn == "ProgramData" ? newer : old);
        if (!row.storedIn.isEmpty()) {
            EXPECT_EQ(sandbox.Read(row.storedIn + "/productlist.xml"), newer);
            // The next run's choice finds the stored copy again.
            ASSERT_TRUE(controller.LoadProductList());
            EXPECT_EQ(controller.GetProducts().at(0)->GetName(), "New");
        }
    }
}

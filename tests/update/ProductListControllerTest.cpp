#include "update/ProductListController.h"
#include "support/CatalogueSandbox.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

const QString kServer = QStringLiteral("http://127.0.0.1:9/");

// Three products whose checks fail, succeed and fail: A's information is missing, B is
// current, C's is missing too.
struct ControllerTest : ::testing::Test {
    void SetUp() override {
        for (const char* name : {"A", "B", "C"})
            sandbox.Write(QStringLiteral("Program/%1.xml").arg(name),
                          CatalogueSandbox::VersionFile("1.0.0.0", kServer, name));
        downloader->documents[kServer + "B"] = CatalogueSandbox::Info("1.0.0.0");
        controller.SetDownloader(downloader);
    }
    void WriteList(const QString& folder, const QString& version, const QString& url = {}) {
        sandbox.Write(folder + "/productlist.xml",
                      CatalogueSandbox::List(version, url,
                                             {CatalogueSandbox::Product("A", "A"),
                                              CatalogueSandbox::Product("B", "B"),
                                              CatalogueSandbox::Product("C", "C")}));
    }
    CatalogueSandbox sandbox;
    std::shared_ptr<FakeDownloader> downloader = std::make_shared<FakeDownloader>();
    CProductListController controller;
};

TEST_F(ControllerTest, FramesEveryProductWithBothCallbacksAndSucceedsWhenOneDoes) {
    WriteList("ProgramData", "1.0.0.0");
    QStringList calls;
    controller.SetCheckingCallback([&](const auto& p) { calls << "checking " + p->GetName(); });
    controller.SetDoneCallback([&](const auto& p) {
        calls << "done " + p->GetName() + (p->HasUpdateInfo(0) ? " read" : " n/a");
    });
    ASSERT_TRUE(controller.LoadProductList());
    EXPECT_TRUE(controller.FindInstalledAll());
    EXPECT_TRUE(controller.CheckAll());
    EXPECT_TRUE(controller.CheckSucceeded());
    EXPECT_EQ(calls, (QStringList{"checking A", "done A n/a", "checking B", "done B read",
                                  "checking C", "done C n/a"}));
    EXPECT_FALSE(controller.HasFindings()) << "B is current";

    downloader->documents[kServer + "C"] = CatalogueSandbox::Info("1.5.0.0");
    controller.CheckAll();
    EXPECT_TRUE(controller.HasFindings());
    EXPECT_TRUE(TemporaryFiles().isEmpty());
}

TEST_F(ControllerTest, RefreshAdoptsOnlyANewerListAndStoresIt) {
    const QString url = kServer + "list.xml";
    const QByteArray newer =
        CatalogueSandbox::List("2.0.0.0", url, {CatalogueSandbox::Product("New", "B")});
    const struct {
        const char* name;
        QString listUrl;
        QByteArray served; // null: the download fails
        bool programWritable, result;
        QString firstName, storedIn;
    } rows[] = {
        // clang-format off
        {"NewerStoredBesideProgram", url, newer, true, true, "New", "Program"},
        {"NewerFallsBackToCommonFolder", url, newer, false, true, "New", "ProgramData"},
        {"SameVersionDiscarded", url, CatalogueSandbox::List("1.0.0.0", url, {CatalogueSandbox::Product("Same", "B")}), true, true, "A", ""},
        {"UnreadableDiscarded", url, "<nope", true, false, "A", ""},
        {"DownloadFails", url, QByteArray(), true, false, "A", ""},
        {"NoUrlNeverFetched", "", newer, true, false, "A", ""},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QDir(sandbox.Path("Program/productlist.xml")).removeRecursively();
        QFile::remove(sandbox.Path("Program/productlist.xml"));
        WriteList("ProgramData", "1.0.0.0", row.listUrl);
        downloader->asked.clear();
        downloader->documents.remove(url);
        if (!row.served.isNull())
            downloader->documents[url] = row.served;
        // Tests run as root, who writes anywhere: a folder in the way of the copy stands in
        // for a program folder the user may not write.
        if (!row.programWritable)
            QDir().mkpath(sandbox.Path("Program/productlist.xml/x"));

        ASSERT_TRUE(controller.LoadProductList());
        EXPECT_EQ(controller.RefreshProductList(), row.result);
        EXPECT_EQ(downloader->asked, row.listUrl.isEmpty() ? QStringList() : QStringList{url});
        EXPECT_EQ(controller.GetProducts().at(0)->GetName(), row.firstName);
        EXPECT_TRUE(TemporaryFiles().isEmpty());
        if (!row.storedIn.isEmpty()) {
            EXPECT_EQ(sandbox.Read(row.storedIn + "/productlist.xml"), newer);
            // The next run's choice finds the stored copy again.
            ASSERT_TRUE(controller.LoadProductList());
            EXPECT_EQ(controller.GetProducts().at(0)->GetName(), "New");
        }
    }
}

} // namespace

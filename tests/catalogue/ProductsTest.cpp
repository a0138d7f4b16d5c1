#include "catalogue/Products.h"
#include "support/CatalogueSandbox.h"
#include "support/ModalAnswerer.h"

#include <QMessageBox>

// That only items the program can show are kept is the fuzz target's; the common copy alone,
// with a notice spelt "BaseXML", is CheckEndToEnd's.

const QString kInfo = QStringLiteral("http://127.0.0.1:9/");

// Of the two copies the program folder's only when it is newer, so the common one on a tie;
// a copy that cannot be read loses to one that can. Element names are case-sensitive.
TEST(ProductList, TakesTheNewerCopyTheCommonOneOnATie) {
    // Versions of the common and the program folder's copy ("!" for one that does not parse),
    // and the copy taken.
    const std::tuple<const char*, QString, QString, QString> rows[] = {
        {"ProgramNewer", "1.0.0.0", "1.0.0.1", "Program"},
        {"CommonNewer", "2.0.0.0", "1.9.0.0", "ProgramData"},
        {"Tie", "1.0.0.0", "1.0.0.0", "ProgramData"},
        {"CommonUnreadable", "!", "1.0.0.0", "Program"},
        {"ProgramUnreadable", "1.0.0.0", "!", "ProgramData"},
    };
    for (const auto& [name, common, program, taken] : rows) {
        SCOPED_TRACE(name);
        CatalogueSandbox sandbox;
        for (const auto& [folder, version] :
             {std::pair(QString("ProgramData"), common), std::pair(QString("Program"), program)}) {
            const QStringList items{R"(<product Name="lower" BaseXml="L"/>)",
                                    CatalogueSandbox::Product(folder, "X")};
            sandbox.Write(folder + "/productlist.xml",
                          version == "!" ? "<nope" : CatalogueSandbox::List(version, {}, items));
        }
        // One list object read again keeps nothing of the list before.
        Products reread;
        reread.Parse(CatalogueSandbox::List("9", "http://127.0.0.1:9/l.xml", {}));
        EXPECT_EQ(reread.Load(sandbox.Path("ProgramData/productlist.xml")), common != "!");
        EXPECT_EQ(reread.Url(), "");
        QStringList names;
        const auto list = LoadBestProductList();
        for (const auto& item : list->Items())
            names << item->GetName();
        EXPECT_EQ(names, QStringList{taken});
    }
}

struct InstalledFixture : ::testing::Test {
    void Version(const QString& path, const QString& version) {
        sandbox.Write(path, CatalogueSandbox::VersionFile(version, kInfo, "x.xml"));
    }
    const ProductList& LoadList(const QStringList& items) {
        list.Parse(CatalogueSandbox::List("1", {}, items));
        for (const auto& item : list.Items())
            item->FindInstalled();
        return list.Items();
    }
    CatalogueSandbox sandbox;
    Products list;
    std::shared_ptr<FakeDownloader> downloader = std::make_shared<FakeDownloader>();
};

// Version files are "<BaseXml><digits>.xml" beside the program or in the sibling folder;
// each version is one row, and only the highest is checked.
TEST_F(InstalledFixture, ScansBothFoldersKeepsEachVersionOnceAndChecksTheHighest) {
    Version("Program/X.xml", "1.2.3.4");
    Version("Program/X2.xml", "1.2.3.4");                // the same version again: no second row
    Version("Program/X5.xml.bak", "9.0.0.0");            // not a version file by its name
    Version("Program/XTools.xml", "7.0.0.0");            // another product's file
    Version("Program/XY.xml", "8.0.0.0");                // and one more right after it
    Version("ORVEX Software Update/X10.XML", "2.0.0.0"); // names match without regard to case
    sandbox.Write("ORVEX Software Update/X3.xml", "<not a version file");
    // Without the file's name the published information cannot be found: not a version file.
    sandbox.Write("Program/X6.xml", R"(<R><Product CurrentVersion="6.0.0.0"
        RemoteVersionFileURL="http://x/"/></R>)");
    QDir().mkpath(sandbox.Path("Program/X4.xml")); // a folder is no candidate
    downloader->documents[kInfo + "x.xml"] = CatalogueSandbox::Info("3.0.0.0");

    IProduct& x = *LoadList({CatalogueSandbox::Product("X", "X")})[0];
    ASSERT_EQ(x.GetItemCount(), 2u);
    EXPECT_EQ(x.GetInstalledVersionText(0) + (x.HasActionButton(0) ? "*" : ""), "1.2.3.4");
    EXPECT_EQ(x.GetInstalledVersionText(1) + (x.HasActionButton(1) ? "*" : ""), "2.0.0.0*");
    x.SetDownloader(downloader);
    EXPECT_TRUE(x.CheckForUpdates());
    EXPECT_EQ(downloader->asked.size(), 1);
    EXPECT_FALSE(x.HasUpdateInfo(0));
    EXPECT_EQ(x.GetLatestVersionText(1), "3.0.0.0");
    EXPECT_TRUE(TemporaryFiles().isEmpty());
    // A base name from the list is no pattern: "*" matches none of these files.
    EXPECT_EQ(LoadList({CatalogueSandbox::Product("Star", "*")})[0]->GetItemCount(), 0u);
}

// An administrator's rule: A's updates are off while any installed version of another product
// (B's 2.0, not only its selected 5.0) is within a range, bounds in either order.
TEST_F(InstalledFixture, DisablersLookAtOtherProductsRows) {
    Version("Program/A.xml", "1.0.0.0");
    Version("Program/B.xml", "2.0.0.0");
    Version("Program/B1.xml", "5.0.0.0");
    const QString rule = R"(<DisableUpdatesIfInstalled><Disabler uid="C" versionFrom="1.0.0.0"
        versionTo="9.0.0.0"/><Disabler uid="B" versionFrom="2.0.0.0" versionTo="1.0.0.0"/>
        </DisableUpdatesIfInstalled>)";
    for (const auto& [other, disabled] : {std::pair("B", true), {"C", false}}) {
        SCOPED_TRACE(other);
        const ProductList& products = LoadList(
            {CatalogueSandbox::Product("A", "A", rule), CatalogueSandbox::Product(other, other)});
        for (const auto& item : products)
            item->ApplyRules(products);
        EXPECT_EQ(!products[0]->HasActionButton(0), disabled);
        EXPECT_EQ(products[0]->GetLatestVersionText(0), disabled ? "1.0.0.0" : "");
    }
}

// The update's web page, or else the product's default page, is opened as a browser's address
// bar takes it; anything but a web address from the server is refused with a warning that
// names it.
TEST_F(InstalledFixture, OpensOnlyWebAddressesAndWarnsOtherwise) {
    Version("Program/X.xml", "1.0.0.0");
    // The update's own page opening is the person's test; here what is left when it is missing
    // or no web address. Handed: what the browser is given, empty when refused.
    const std::tuple<const char*, QString, QString, QString> rows[] = {
        {"FallsBackToDefault", "", "http://example.org/d", "http://example.org/d"},
        {"SpaceEncoded", " http://example.org/a b ", "", "http://example.org/a%20b"},
        {"BarInQueryEncoded", "https://example.org/q?x=a|b", "", "https://example.org/q?x=a%7Cb"},
        {"EncodedLeftAlone", "http://example.org/a%20b?x=%7C", "",
         "http://example.org/a%20b?x=%7C"},
        {"FileAddressRefused", "file:///etc/passwd", "https://example.org/d", ""},
        {"NothingToOpen", "", "", ""},
        {"ProgramNameRefused", "xterm", "https://example.org/d", ""},
        {"NoHostRefused", "http:///etc/passwd", "", ""}};
    for (const auto& [name, webPage, defaultUrl, handed] : rows) {
        SCOPED_TRACE(name);
        const bool opened = !handed.isEmpty();
        ShellRecorder shell;
        downloader->documents[kInfo + "x.xml"] =
            CatalogueSandbox::Info("2.0.0.0", "UpdateWebPage=\"" + webPage + "\"");
        IProduct& x =
            *LoadList({"<Product Name=\"X\" BaseXml=\"X\" DefaultUrl=\"" + defaultUrl + "\"/>"})[0];
        x.SetDownloader(downloader);
        x.CheckForUpdates();
        QString warning;
        ModalAnswerer answerer([&](QWidget* modal) {
            warning = qobject_cast<QMessageBox*>(modal) ? static_cast<QMessageBox*>(modal)->text()
                                                        : QString();
            modal->close();
        });
        const QString page = webPage.isEmpty() ? defaultUrl : webPage;
        EXPECT_EQ(x.OpenAction(0), opened);
        EXPECT_EQ(shell->opened, opened ? QStringList{handed} : QStringList());
        EXPECT_EQ(answerer.Count(), opened ? 0 : 1);
        EXPECT_TRUE(opened || warning.endsWith(page)) << warning.toStdString();
    }
}

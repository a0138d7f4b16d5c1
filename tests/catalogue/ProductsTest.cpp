#include "catalogue/Products.h"
#include "catalogue/ProductVersions.h"
#include "support/CatalogueSandbox.h"
#include "support/ModalAnswerer.h"
#include "support/QtPrinters.h"

#include <QMessageBox>

#include <gtest/gtest.h>

namespace {

const QString kInfo = QStringLiteral("http://127.0.0.1:9/");

QByteArray ListWithVersion(const QString& version) {
    return CatalogueSandbox::List(version, {}, {CatalogueSandbox::Product("P" + version, "P")});
}

TEST(ProductList, PrefersTheProgramCopyOnlyWhenItsVersionIsGreater) {
    const struct {
        const char* name;
        QByteArray common, program;
        QString chosen;
    } rows[] = {
        {"ProgramGreater", ListWithVersion("1.0.0.0"), ListWithVersion("2.0.0.0"), "P2.0.0.0"},
        {"EqualKeepsCommon", ListWithVersion("2.0.0.0"), ListWithVersion("2.0.0.0"), "P2.0.0.0"},
        {"CommonGreater", ListWithVersion("3.0.0.0"), ListWithVersion("2.0.0.0"), "P3.0.0.0"},
        {"OnlyProgram", {}, ListWithVersion("1.0.0.0"), "P1.0.0.0"},
        {"OnlyCommon", ListWithVersion("1.0.0.0"), {}, "P1.0.0.0"},
        {"ProgramUnreadable", ListWithVersion("1.0.0.0"), "<broken", "P1.0.0.0"},
        {"Neither", {}, {}, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueSandbox sandbox;
        if (!row.common.isNull())
            sandbox.Write("ProgramData/productlist.xml", row.common);
        if (!row.program.isNull())
            sandbox.Write("Program/productlist.xml", row.program);
        const auto list = LoadBestProductList();
        EXPECT_EQ(list->IsLoaded(), !row.chosen.isEmpty());
        EXPECT_EQ(list->Items().empty() ? QString() : list->Items()[0]->GetName(), row.chosen);
    }
}

TEST(ProductList, KeepsOnlyKnownElementsThatLoad) {
    CatalogueSandbox sandbox;
    sandbox.Write("list.xml", R"(<L Version="1.2.0.0" Url="http://127.0.0.1:9/list.xml">
        <Product Name="A" BaseXml="A"/>
        <product Name="lower" BaseXml="L"/>
        <Product Name="NoBase"/>
        <Product BaseXml="NoName"/>
        <Gallery Name="G" GUID="{1}" DefaultUrl="https://example.org/g"/>
        <Gallery Name="G2" GUID="{2}"/>
        <Notification Name="N" BaseXML="news"/>
        <Notification Name="N2" BaseXml="news"/>
        <Other Name="O" BaseXml="O"/>
        <Product Name="Ünïcode" BaseXml="U"/></L>)");
    Products list;
    ASSERT_TRUE(list.Load(FilePath(sandbox.Path("list.xml")).Text()));
    QStringList ids;
    for (const auto& item : list.Items())
        ids << item->GetId();
    // The notice with "BaseXml" in place of "BaseXML" is gone.
    EXPECT_EQ(ids, (QStringList{"A", "{1}", "news", "U"}));
    EXPECT_EQ(list.Items().back()->GetName(), "Ünïcode");
    EXPECT_TRUE(list.Version().IsValid());
    EXPECT_FALSE(list.Load(FilePath(sandbox.Path("missing.xml")).Text()));
    EXPECT_TRUE(list.Items().empty());
    EXPECT_FALSE(list.Version().IsValid());
}

struct InstalledFixture : ::testing::Test {
    // Writes a version file of product X into folder ("Program" or the sibling).
    void Version(const QString& path, const QString& version) {
        sandbox.Write(path, CatalogueSandbox::VersionFile(version, kInfo, "x.xml"));
    }
    // Loads a product list of the given items.
    const ProductList& LoadList(const QStringList& items) {
        sandbox.Write("list.xml", CatalogueSandbox::List("1", {}, items));
        list.Load(FilePath(sandbox.Path("list.xml")).Text());
        return list.Items();
    }
    std::shared_ptr<CProductVersions> Load(const QString& name) {
        return std::dynamic_pointer_cast<CProductVersions>(
            LoadList({CatalogueSandbox::Product(name, name)}).at(0));
    }
    static QStringList Installed(IProduct& product) {
        QStringList rows;
        for (unsigned i = 0; i < product.GetItemCount(); ++i)
            rows << product.GetInstalledVersionText(i) + (product.HasActionButton(i) ? "*" : "");
        return rows;
    }
    CatalogueSandbox sandbox;
    Products list;
};

TEST_F(InstalledFixture, ScansBothFoldersKeepsEachVersionOnceAndSelectsTheHighest) {
    Version("Program/X.xml", "1.2.3.4");
    Version("Program/X2.xml", "1.2.3.4");     // the same version again: no second row
    Version("Program/X5.xml.bak", "9.0.0.0"); // not a version file by its name
    Version("Program/XTools.xml", "7.0.0.0"); // another product's file
    Version("Program/XY.xml", "8.0.0.0");     // and one more right after it
    Version("Program/Y.xml", "9.0.0.0");
    Version("ORVEX Software Update/X10.XML", "2.0.0.0"); // names match without regard to case
    sandbox.Write("ORVEX Software Update/X3.xml", "<not a version file");
    QDir().mkpath(sandbox.Path("Program/X4.xml")); // a folder is no candidate

    const auto product = Load("X");
    EXPECT_TRUE(product->FindInstalled());
    EXPECT_EQ(Installed(*product), (QStringList{"1.2.3.4", "2.0.0.0*"}));
    EXPECT_EQ(product->Selected()->GetInstalledVersion().ToString(), "2.0.0.0");

    const auto absent = Load("Z");
    EXPECT_FALSE(absent->FindInstalled());
    EXPECT_EQ(absent->GetItemCount(), 0u);
}

TEST_F(InstalledFixture, OnlyTheSelectedVersionIsChecked) {
    Version("Program/X.xml", "1.0.0.0");
    Version("Program/X2.xml", "2.0.0.0");
    const auto product = Load("X");
    product->FindInstalled();
    auto downloader = std::make_shared<FakeDownloader>();
    downloader->documents[kInfo + "x.xml"] = CatalogueSandbox::Info("3.0.0.0");
    product->SetDownloader(downloader);
    EXPECT_TRUE(product->CheckForUpdates());
    EXPECT_EQ(downloader->asked.size(), 1);
    EXPECT_FALSE(product->HasUpdateInfo(0));
    EXPECT_TRUE(product->HasUpdateInfo(1));
    EXPECT_TRUE(product->IsUpdateAvailable(1));
    EXPECT_EQ(product->GetLatestVersionText(1), "3.0.0.0");
    EXPECT_TRUE(TemporaryFiles().isEmpty());
}

TEST_F(InstalledFixture, DisablersLookAtOtherProductsRows) {
    Version("Program/A.xml", "1.0.0.0");
    Version("Program/B.xml", "2.0.0.0");
    Version("Program/B1.xml", "5.0.0.0");
    const QString rule = R"(<DisableUpdatesIfInstalled><Disabler uid="C" versionFrom="1.0.0.0"
        versionTo="9.0.0.0"/><Disabler uid="B" versionFrom="2.0.0.0" versionTo="1.0.0.0"/>
        </DisableUpdatesIfInstalled>)";
    const struct {
        const char* name;
        QStringList others;
        bool disabled;
    } rows[] = {
        {"OtherInRange", {"B"}, true}, {"OtherAbsent", {"C"}, false}, {"OnlyItself", {}, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QStringList items{CatalogueSandbox::Product("A", "A", rule)};
        for (const QString& other : row.others)
            items << CatalogueSandbox::Product(other, other);
        const ProductList& products = LoadList(items);
        for (const auto& item : products)
            item->FindInstalled();
        for (const auto& item : products)
            item->ApplyRules(products);
        EXPECT_EQ(!products[0]->HasActionButton(0), row.disabled);
        EXPECT_EQ(products[0]->GetLatestVersionText(0), row.disabled ? "1.0.0.0" : "");
    }
}

// The update's web page, or else the product's default page, is opened; anything but a web
// address is refused with a warning that names it.
TEST_F(InstalledFixture, OpensOnlyWebAddressesAndWarnsOtherwise) {
    Version("Program/X.xml", "1.0.0.0");
    const struct {
        const char* name;
        QString webPage, defaultUrl;
        bool opened;
    } rows[] = {
        {"UpdatePage", "https://example.org/new", "https://example.org/d", true},
        {"FallsBackToDefault", "", "http://example.org/d", true},
        {"FileAddressRefused", "file:///etc/passwd", "https://example.org/d", false},
        {"ProgramNameRefused", "xterm", "https://example.org/d", false},
        {"NothingToOpen", "", "", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ShellRecorder shell;
        auto downloader = std::make_shared<FakeDownloader>();
        downloader->documents[kInfo + "x.xml"] =
            CatalogueSandbox::Info("2.0.0.0", "UpdateWebPage=\"" + row.webPage + "\"");
        IProduct& x = *LoadList(
            {"<Product Name=\"X\" BaseXml=\"X\" DefaultUrl=\"" + row.defaultUrl + "\"/>"})[0];
        x.FindInstalled();
        x.SetDownloader(downloader);
        x.CheckForUpdates();
        QString warning;
        ModalAnswerer answerer([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            warning = box ? box->text() : QString();
            modal->close();
        });
        const QString page = row.webPage.isEmpty() ? row.defaultUrl : row.webPage;
        EXPECT_EQ(x.OpenAction(0), row.opened);
        EXPECT_EQ(shell->opened, row.opened ? QStringList{page} : QStringList());
        EXPECT_EQ(answerer.Count(), row.opened ? 0 : 1);
        EXPECT_TRUE(row.opened || warning.endsWith(page)) << warning.toStdString();
    }
}

TEST_F(InstalledFixture, TavloCountsBelowVersionTen) {
    const struct {
        const char* name;
        QString version;
        bool installed;
    } rows[] = {{"Absent", "", false}, {"Nine", "9.5.0.0", true}, {"Ten", "10.0.0.0", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(sandbox.Path("Program/SoftwareUpdateTSW.xml"));
        if (!row.version.isEmpty())
            Version("Program/SoftwareUpdateTSW.xml", row.version);
        EXPECT_EQ(IsTavloInstalled(), row.installed);
    }
}

} // namespace

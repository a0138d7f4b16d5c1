#include "catalogue/ProductVersion.h"
#include "catalogue/ProductVersions.h"
#include "support/CatalogueSandbox.h"

const QString kFolder = QStringLiteral("http://127.0.0.1:9/info");

static QByteArray Local(const QString& version, const QString& url = kFolder) {
    return CatalogueSandbox::VersionFile(version, url, "x.xml");
}

// The update information served: a document, or the name of one of the data folder's.
// ranges.xml: 1.0-1.9.9.9 offers 1.9 and 2.0-3.0 (its bounds written swapped) 2.5; a later,
// narrower range from 2.0 offers 9.0 and one from 4.0 nothing, so everything else gets the
// product's own 3.0.
static QByteArray Remote(const QByteArray& served) {
    return served.endsWith(".xml") ? Sandbox::Data(served) : served;
}

// The update's web page and its installer: "URL|file|argument".
// clang-format off
struct Row { const char* name; QByteArray local, remote; bool testMode, remoteRead; QString offered; bool update; QString webPage = {}, install = "||"; };
// clang-format on

class UpdateInformation : public ::testing::TestWithParam<Row> {};

TEST_P(UpdateInformation, ChoosesTheEntryForTheInstalledVersion) {
    const Row& row = GetParam();
    CatalogueSandbox sandbox;
    if (row.testMode)
        sandbox.Write("drive_c/testmark.dat", "");
    sandbox.Write("Program/X.xml", row.local);
    FakeDownloader downloader;
    downloader.documents[kFolder + "/x.xml"] = Remote(row.remote);
    CProductVersion version(FilePath(sandbox.Path("Program/X.xml")).Text());
    version.SetDownloader(&downloader);
    ASSERT_TRUE(version.ReadLocal());
    EXPECT_EQ(version.ReadRemote(), row.remoteRead);
    EXPECT_EQ(downloader.asked, QStringList{kFolder + "/x.xml"});
    EXPECT_EQ(version.GetUpdateVersion().ToString(), row.offered);
    EXPECT_EQ(version.HasUpdate(), row.update);
    EXPECT_EQ(version.GetUpdateWebPage(), row.webPage);
    EXPECT_EQ(version.GetUpdateInstallURL() + "|" + version.GetUpdateInstallFile() + "|" +
                  version.GetUpdateArgument(),
              row.install);
    EXPECT_TRUE(TemporaryFiles().isEmpty()) << "the fetched copy is deleted once read";
}

// clang-format off
const Row kRows[] = {
    // The folder URL ends in "/": it is joined to the file without a second one.
    {"InsideFirstRangeFolderUrlWithSlash", Local("1.5.0.0", kFolder + "/"), "ranges.xml", false, true, "1.9.0.0", true, "https://example.org/19", "https://example.org/dl|setup19.run|-q"},
    // Swapped bounds are put in order; a later range with the same lower bound is ignored,
    // even a narrower one, so 9.0 is never offered.
    {"SwappedRangeAndDuplicateLowerBound", Local("2.9.9.9"), "ranges.xml", false, true, "2.5.0.0", false},
    {"RangeWithoutEntryFallsBackToDefault", Local("4.0.0.0"), "ranges.xml", false, true, "3.0.0.0", false, "https://example.org/3"},
    {"LocationOtherThanServer", Local("1.0.0.0"), R"(<Info Location="server"><Product UpdateVersion="9.0.0.0"/></Info>)", false, false, "", false},
    // Every invalid version sorts below every valid one; that must not read as an update.
    {"InvalidInstalledVersionReadsButIsNeverOffered", Local("beta"), CatalogueSandbox::Info("1.0.0.0"), false, true, "1.0.0.0", false},
    {"LiveModeIgnoresTestEntries", Local("1.5.0.0"), "test-products.xml", false, true, "1.8.0.0", true},
    {"TestModePrefersTopLevelTestProduct", Local("3.0.0.0"), "test-products.xml", true, true, "5.0.0.0", true},
    // Without a top-level test entry the live product is used, but its ranges still count
    // only through test entries: the first range has none and is skipped entirely.
    {"TestModeFallsBackToLiveProduct", Local("1.5.0.0"), "live-only-top-level.xml", true, true, "1.6.0.0", true},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, UpdateInformation, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Too deep, too many elements, too large: refused before they take the stack or the memory.
TEST(UpdateInformation, HostileDocumentsFailWithoutCrashing) {
    const std::pair<const char*, QByteArray> documents[] = {
        {"deep", QByteArray("<a Location=\"Server\">") + QByteArray("<b>").repeated(1000)},
        {"many", QByteArray("<a Location=\"Server\"><Product UpdateVersion=\"2.0\"/>") +
                     QByteArray("<c/>").repeated(6000) + "</a>"},
        {"huge", QByteArray("<a Location=\"Server\"><Product UpdateVersion=\"2.0\" X=\"") +
                     QByteArray(17 * 1024 * 1024, 'x') + "\"/></a>"},
    };
    for (const auto& [name, bytes] : documents)
        EXPECT_FALSE(CProductVersion(QStringLiteral("unused")).ParseRemote(bytes)) << name;
}

// An installed version that is no version number is listed as written and never offered
// anything: its information is not even fetched, and the row says why. Beside a valid
// version it is still the valid one that is checked.
TEST(UpdateInformation, InvalidInstalledVersionsAreShownWithAReasonAndNeverOffered) {
    const QString notValid =
        QStringLiteral("The installed version \"%1\" is not a valid version number.");
    const std::tuple<QString, QString, bool> rows[] = {
        {"2.1", notValid.arg("2.1"), false},
        {"", "The version file gives no installed version.", false},
        {"1.2.3.4.5", notValid.arg("1.2.3.4.5"), false},
        {"2.1", notValid.arg("2.1"), true},
        {"0.9.0.0", "Only the newest installed version is checked.", true},
    };
    for (const auto& [text, reason, withValid] : rows) {
        SCOPED_TRACE(text.toStdString() + (withValid ? " beside 1.0.0.0" : ""));
        CatalogueSandbox sandbox;
        sandbox.Write("Program/X.xml", Local(text));
        if (withValid)
            sandbox.Write("Program/X2.xml", Local("1.0.0.0"));
        auto downloader = std::make_shared<FakeDownloader>();
        downloader->documents[kFolder + "/x.xml"] = CatalogueSandbox::Info("9.0.0.0");
        CProductVersions product(QStringLiteral("X"));
        ASSERT_TRUE(product.FindInstalled());
        product.SetDownloader(downloader);
        EXPECT_EQ(product.CheckForUpdates(), withValid);
        EXPECT_EQ(downloader->asked.size(), withValid ? 1 : 0);
        const unsigned row = product.GetInstalledVersionText(0) == text ? 0 : 1;
        EXPECT_EQ(std::tuple(product.GetItemCount(), product.GetInstalledVersionText(row),
                             product.HasUpdateInfo(row), product.IsUpdateAvailable(row),
                             product.GetFailureReason(row)),
                  std::tuple(withValid ? 2u : 1u, text, false, false, reason));
        EXPECT_EQ(product.IsUpdateAvailable(1 - row), withValid);
    }
}

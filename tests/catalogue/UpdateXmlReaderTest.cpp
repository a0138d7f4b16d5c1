#include "catalogue/ProductVersion.h"
#include "support/CatalogueSandbox.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

const QString kFolder = QStringLiteral("http://127.0.0.1:9/info");

QByteArray Local(const QString& version, const QString& url = kFolder) {
    return CatalogueSandbox::VersionFile(version, url, "x.xml");
}

// 1.0-1.9.9.9 offers 1.9 and 2.0-3.0 (its bounds written swapped) 2.5; a later, narrower range
// from 2.0 offers 9.0 and one from 4.0 nothing, so everything else gets the product's own 3.0.
const QByteArray kRanges = R"(<Info Location="Server"><Product UpdateVersion="3.0.0.0"
  UpdateWebPage="https://example.org/3"><Compatibility>
  <Range VersionFrom="1.0.0.0" VersionTo="1.9.9.9"><Product UpdateVersion="1.9.0.0"
    UpdateInstallURL="https://example.org/dl" UpdateInstallFile="setup19.run"
    UpdateArgument="-q" UpdateWebPage="https://example.org/19"/></Range>
  <Range VersionFrom="3.0.0.0" VersionTo="2.0.0.0"><Product UpdateVersion="2.5.0.0"/></Range>
  <Range VersionFrom="2.0.0.0" VersionTo="2.9.9.9"><Product UpdateVersion="9.0.0.0"/></Range>
  <Range VersionFrom="4.0.0.0" VersionTo="4.9.9.9"/>
</Compatibility></Product></Info>)";

const QByteArray kTestProducts = R"(<Info Location="Server">
  <Product UpdateVersion="2.0.0.0"><Compatibility>
    <Range VersionFrom="1.0.0.0" VersionTo="1.9.9.9"><Product UpdateVersion="1.8.0.0"/>
      <TestProduct UpdateVersion="1.7.0.0"/></Range></Compatibility></Product>
  <TestProduct UpdateVersion="5.0.0.0"/></Info>)";

const QByteArray kLiveOnlyTopLevel = R"(<Info Location="Server">
  <Product UpdateVersion="2.0.0.0"><Compatibility>
    <Range VersionFrom="1.0.0.0" VersionTo="1.9.9.9"><Product UpdateVersion="1.8.0.0"/></Range>
    <Range VersionFrom="1.0.0.0" VersionTo="1.9.9.9"><TestProduct UpdateVersion="1.6.0.0"/>
    </Range></Compatibility></Product></Info>)";

struct Row {
    const char* name;
    QByteArray local, remote;
    bool testMode, remoteRead;
    QString offered;
    bool update;
    // The update's web page and its installer: "URL|file|argument".
    QString webPage = {}, install = "||";
};

class UpdateInformation : public ::testing::TestWithParam<Row> {};

TEST_P(UpdateInformation, ChoosesTheEntryForTheInstalledVersion) {
    const Row& row = GetParam();
    CatalogueSandbox sandbox;
    if (row.testMode)
        sandbox.Write("drive_c/testmark.dat", "");
    sandbox.Write("Program/X.xml", row.local);
    FakeDownloader downloader;
    downloader.documents[kFolder + "/x.xml"] = row.remote;
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
    {"InsideFirstRangeFolderUrlWithSlash", Local("1.5.0.0", kFolder + "/"), kRanges, false, true, "1.9.0.0", true, "https://example.org/19", "https://example.org/dl|setup19.run|-q"},
    // Swapped bounds are put in order; a later range with the same lower bound is ignored,
    // even a narrower one, so 9.0 is never offered.
    {"SwappedRangeAndDuplicateLowerBound", Local("2.9.9.9"), kRanges, false, true, "2.5.0.0", false},
    {"RangeWithoutEntryFallsBackToDefault", Local("4.0.0.0"), kRanges, false, true, "3.0.0.0", false, "https://example.org/3"},
    {"LocationOtherThanServer", Local("1.0.0.0"), R"(<Info Location="server"><Product UpdateVersion="9.0.0.0"/></Info>)", false, false, "", false},
    {"EmptyProductElementIsReadButOffersNothing", Local("1.0.0.0"), R"(<Info Location="Server"><Product/></Info>)", false, true, "", false},
    {"InvalidInstalledVersionStillReads", Local("beta"), CatalogueSandbox::Info("1.0.0.0"), false, true, "1.0.0.0", true},
    {"LiveModeIgnoresTestEntries", Local("1.5.0.0"), kTestProducts, false, true, "1.8.0.0", true},
    {"TestModePrefersTopLevelTestProduct", Local("3.0.0.0"), kTestProducts, true, true, "5.0.0.0", true},
    // Without a top-level test entry the live product is used, but its ranges still count
    // only through test entries: the first range has none and is skipped entirely.
    {"TestModeFallsBackToLiveProduct", Local("1.5.0.0"), kLiveOnlyTopLevel, true, true, "1.6.0.0", true},
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

} // namespace

#include "catalogue/GalleryVersion.h"
#include "catalogue/XmlDocument.h"
#include "support/CatalogueSandbox.h"
#include "support/ProgramRun.h"
#include "support/QtPrinters.h"

#include <QDate>
#include <QLocale>
#include <QScopeGuard>

#include <gtest/gtest.h>

namespace {

const QString kGuid = QStringLiteral("{6F1C2A34-0B7D-4E55-9C1A-2D3E4F506172}");
const QString kKey = "Software\\ORVEX Technologies\\Gallery\\" + kGuid + "\\TeamContent";
const QString kDefaultUrl = QStringLiteral("http://127.0.0.1:9/gallery/");
const QString kPublished = QStringLiteral("http://127.0.0.1:9/gallery/gallery_categories.xml");

// "A=2008-05-01 B=..." as a categories file (published ones wrap them in "categories"); "-"
// for no file, "many" for thousands of categories.
QByteArray Categories(const QString& stamps, bool published) {
    if (stamps == "-")
        return {};
    QString body;
    for (const QString& pair : stamps.split(u' ', Qt::SkipEmptyParts)) {
        body += QStringLiteral("<category id=\"%1\" version=\"%2\"/>")
                    .arg(pair.section(u'=', 0, 0), pair.section(u'=', 1));
    }
    for (int i = 0; stamps == "many" && i < 6000; ++i)
        body += QStringLiteral("<category id=\"%1\" version=\"1\"/>").arg(i);
    if (published)
        body = "<categories>" + body + "</categories>";
    return ("<Gallery>" + body + "</Gallery>").toUtf8();
}

QString Short(int year, int month, int day) {
    return QLocale::system().toString(QDate(year, month, day), QLocale::ShortFormat);
}

std::shared_ptr<GalleryVersion> LoadGallery(const QString& defaultUrl) {
    CXmlDocument list;
    EXPECT_TRUE(list.Parse(QStringLiteral("<Gallery Name=\"Pack\" GUID=\"%1\" DefaultUrl=\"%2\"/>")
                               .arg(kGuid, defaultUrl)
                               .toUtf8()));
    auto gallery = std::make_shared<GalleryVersion>();
    EXPECT_TRUE(gallery->Load(list.Root()));
    return gallery;
}

// The registry record; C: is the sandbox's drive_c, where only "viewer" exists.
struct Record {
    QString manifest = "C:\\Gallery\\manifest.xml", app = "C:\\Gallery\\viewer", metadata = {};
};

// A pack is found when its installed text is not empty.
struct GalleryCase {
    const char* name;
    QString installed, published;
    bool valid, update;
    QString installedText, latestText;
    bool button = true;
    Record record = {};
    QString defaultUrl = kDefaultUrl;
};

TEST(GalleryVersion, ReadsRecordInstalledAndPublishedCategories) {
    const QString ab = "A=2008-05-01 B=2008-06-01";
    const QString june = Short(2008, 6, 1);
    // clang-format off
    const GalleryCase rows[] = {
        {"NewestStampsAsShortDates", ab, "A=2008-07-01 B=2008-06-01", true, true, june, Short(2008, 7, 1)},
        // Text order: "9" is above "10", and neither is a date.
        {"StampsCompareAsText", "A=10", "A=9", true, true, "10", "9"},
        {"OnlyUnknownIdsPublished", ab, "C=2009-01-01", false, false, june, ""},
        {"PublishedFileMissing", ab, "-", false, false, june, ""},
        {"ApplicationMissing", ab, "A=2009-01-01", true, true, june, Short(2009, 1, 1), false,
         {.app = "C:\\Gallery\\missing"}},
        {"DoubledSeparatorTrimmed", ab, "B=2008-06-01", true, false, june, june, true, {},
         "http://127.0.0.1:9/gallery//"},
        {"SeparatorAdded", ab, "B=2008-06-01", true, false, june, june, true, {},
         "http://127.0.0.1:9/gallery"},
        {"EmptyAppPathFindsNothing", ab, "-", false, false, "", "", false, {.app = ""}},
        // A relative manifest would name a folder below the current one.
        {"RelativeManifest", ab, "-", false, false, "", "", false, {.manifest = "Gallery\\manifest.xml"}},
        // Without a manifest there is no folder to look in.
        {"MetadataWithoutManifest", ab, "-", false, false, "", "", false,
         {.manifest = "", .metadata = "C:\\Gallery\\meta.xml"}},
        {"InstalledFileMissing", "-", "-", false, false, "", "", false},
        {"IdlessCategoriesIgnored", "=2008-01-01", "-", false, false, "", "", false},
        // Thousands of categories are refused before they take the memory of a tree.
        {"HostileInstalledFile", "many", "-", false, false, "", "", false},
        {"HostilePublishedFile", ab, "many", false, false, june, ""},
    };
    // clang-format on
    for (const GalleryCase& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueSandbox sandbox;
        const QString current = QDir::currentPath();
        QDir::setCurrent(sandbox.Root());
        const auto back = qScopeGuard([&current] { QDir::setCurrent(current); });
        const std::pair<const char*, QString> values[] = {{"ImsManifestXml", row.record.manifest},
                                                          {"AppPath", row.record.app},
                                                          {"MetadataXml", row.record.metadata}};
        for (const auto& [name, value] : values) {
            if (!value.isEmpty())
                WriteSettingString(LocalMachine, kKey, name, value, kRegistryMarker);
        }
        for (const char* file :
             {"drive_c/Gallery/Uninstall/updateinfo.xml", "Gallery/Uninstall/updateinfo.xml"}) {
            if (row.installed != "-")
                sandbox.Write(file, Categories(row.installed, false));
        }
        sandbox.Write("drive_c/Gallery/viewer", "#!/bin/sh\n");
        auto downloader = std::make_shared<FakeDownloader>();
        if (row.published != "-")
            downloader->documents[kPublished] = Categories(row.published, true);

        const bool found = !row.installedText.isEmpty();
        const auto gallery = LoadGallery(row.defaultUrl);
        EXPECT_EQ(gallery->FindInstalled(), found);
        EXPECT_EQ(gallery->GetItemCount(), found ? 1u : 0u);
        // The window asks for the button before the check.
        EXPECT_EQ(gallery->HasActionButton(0), row.button);
        gallery->SetDownloader(downloader);
        EXPECT_EQ(gallery->CheckForUpdates(), row.valid);
        EXPECT_EQ(downloader->asked, found ? QStringList{kPublished} : QStringList());
        EXPECT_EQ(gallery->HasUpdateInfo(0), row.valid);
        EXPECT_EQ(gallery->IsUpdateAvailable(0), row.update);
        EXPECT_EQ(gallery->GetInstalledVersionText(0), row.installedText);
        EXPECT_EQ(gallery->GetLatestVersionText(0), row.latestText);
        EXPECT_EQ(TemporaryFiles(), QStringList());
    }
}

// The record names Windows paths (a drive below the sandbox here) or this machine's own, and
// the content application gets exactly "-guid" and the GUID, whatever "Args" says.
TEST(GalleryVersion, StartsTheRecordedProgramWithTheGuid) {
    CatalogueSandbox sandbox;
    const struct {
        const char* name;
        QString folder, recordFolder;
    } rows[] = {
        {"WindowsPath", "drive_c/Gallery", "C:\\Gallery"},
        {"LinuxPath", "linux/gallery", sandbox.Path("linux/gallery")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        WriteSettingString(LocalMachine, kKey, "ImsManifestXml",
                           row.recordFolder + "\\manifest.xml", kRegistryMarker);
        WriteSettingString(LocalMachine, kKey, "AppPath", row.recordFolder + "/viewer",
                           kRegistryMarker);
        WriteSettingString(LocalMachine, kKey, "Args", "-open all", kRegistryMarker);
        sandbox.Write(row.folder + "/Uninstall/updateinfo.xml", Categories("A=1", false));
        const QString program = sandbox.Path(row.folder + "/viewer");
        sandbox.Write(row.folder + "/viewer",
                      "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.started\"\n");
        QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner);

        const auto gallery = LoadGallery("http://127.0.0.1:9/");
        ASSERT_TRUE(gallery->FindInstalled());
        ASSERT_TRUE(gallery->HasActionButton(0));
        EXPECT_TRUE(gallery->OpenAction(0));
        ASSERT_TRUE(WaitFor([&] { return QFileInfo(program + ".started").size() > 0; }, 10000));
        EXPECT_EQ(sandbox.Read(row.folder + "/viewer.started"),
                  ("-guid\n" + kGuid + "\n").toUtf8());
    }
}

} // namespace

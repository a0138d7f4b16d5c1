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

// A categories file of (id, stamp) pairs; published files wrap them in "categories".
QByteArray Categories(const std::vector<std::pair<QString, QString>>& categories,
                      bool published = false) {
    QString body;
    for (const auto& [id, stamp] : categories)
        body += QStringLiteral("<category id=\"%1\" version=\"%2\"/>").arg(id, stamp);
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

struct Record {
    QString manifest = "C:\\Gallery\\manifest.xml", app = "C:\\Gallery\\viewer", metadata = {};
};

struct GalleryCase {
    const char* name;
    Record record;
    // Where the installed file goes below the sandbox; null bytes leave it out.
    QByteArray installed;
    QByteArray published;
    bool found, valid, update;
    QString installedText, latestText;
    bool button;
    bool appExists = true;
    QString defaultUrl = kDefaultUrl;
    // Relative to the sandbox, which is also the current folder.
    QString installedFile = "drive_c/Gallery/Uninstall/updateinfo.xml";
};

QString Many(int count) {
    QString text;
    for (int i = 0; i < count; ++i)
        text += QStringLiteral("<category id=\"%1\" version=\"2008-01-01\"/>").arg(i);
    return text;
}

TEST(GalleryVersion, ReadsRecordInstalledAndPublishedCategories) {
    const QByteArray ab = Categories({{"A", "2008-05-01"}, {"B", "2008-06-01"}});
    const GalleryCase rows[] = {
        {"NewestStampsShownAsShortDates",
         {},
         ab,
         Categories({{"A", "2008-07-01"}, {"B", "2008-06-01"}}, true),
         true,
         true,
         true,
         Short(2008, 6, 1),
         Short(2008, 7, 1),
         true},
        {"CurrentPack",
         {},
         ab,
         Categories({{"A", "2008-05-01"}, {"B", "2008-06-01"}}, true),
         true,
         true,
         false,
         Short(2008, 6, 1),
         Short(2008, 6, 1),
         true},
        // Text order: "9" is above "10", and neither is a date.
        {"StampsCompareAsText",
         {},
         Categories({{"A", "10"}}),
         Categories({{"A", "9"}}, true),
         true,
         true,
         true,
         "10",
         "9",
         true},
        {"OnlyUnknownIdsPublished",
         {},
         ab,
         Categories({{"C", "2009-01-01"}}, true),
         true,
         false,
         false,
         Short(2008, 6, 1),
         "",
         true},
        {"PublishedWithoutCategories",
         {},
         ab,
         Categories({{"A", "2009-01-01"}}),
         true,
         false,
         false,
         Short(2008, 6, 1),
         "",
         true},
        {"PublishedFileMissing", {}, ab, {}, true, false, false, Short(2008, 6, 1), "", true},
        {"ApplicationMissing",
         {},
         ab,
         Categories({{"A", "2009-01-01"}}, true),
         true,
         true,
         true,
         Short(2008, 6, 1),
         Short(2009, 1, 1),
         false,
         false},
        {"DoubledSeparatorsTrimmed",
         {},
         ab,
         Categories({{"B", "2008-06-01"}}, true),
         true,
         true,
         false,
         Short(2008, 6, 1),
         Short(2008, 6, 1),
         true,
         true,
         "http://127.0.0.1:9/gallery//"},
        {"NoTrailingSeparator",
         {},
         ab,
         Categories({{"B", "2008-06-01"}}, true),
         true,
         true,
         false,
         Short(2008, 6, 1),
         Short(2008, 6, 1),
         true,
         true,
         "http://127.0.0.1:9/gallery"},
        {"EmptyAppPathFindsNothing", {.app = ""}, ab, {}, false, false, false, "", "", false},
        // Without a manifest there is no folder to look in, not even the current one.
        {"MetadataWithoutManifest",
         {.manifest = "", .metadata = "C:\\Gallery\\meta.xml"},
         ab,
         {},
         false,
         false,
         false,
         "",
         "",
         true,
         true,
         kDefaultUrl,
         "Uninstall/updateinfo.xml"},
        {"NoRecord", {.manifest = "", .app = ""}, ab, {}, false, false, false, "", "", false},
        {"InstalledFileMissing", {}, {}, {}, false, false, false, "", "", true},
        {"IdlessCategoriesIgnored",
         {},
         Categories({{"", "2008-01-01"}}),
         {},
         false,
         false,
         false,
         "",
         "",
         true},
        // Thousands of categories are refused before they take the memory of a tree.
        {"HostileInstalledFile",
         {},
         ("<G>" + Many(6000) + "</G>").toUtf8(),
         {},
         false,
         false,
         false,
         "",
         "",
         true},
        {"HostilePublishedFile",
         {},
         ab,
         ("<G><categories>" + Many(6000) + "</categories></G>").toUtf8(),
         true,
         false,
         false,
         Short(2008, 6, 1),
         "",
         true},
    };
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
        if (!row.installed.isNull())
            sandbox.Write(row.installedFile, row.installed);
        if (row.appExists)
            sandbox.Write("drive_c/Gallery/viewer", "#!/bin/sh\n");
        auto downloader = std::make_shared<FakeDownloader>();
        if (!row.published.isNull())
            downloader->documents[kPublished] = row.published;

        const auto gallery = LoadGallery(row.defaultUrl);
        EXPECT_EQ(gallery->FindInstalled(), row.found);
        EXPECT_EQ(gallery->GetItemCount(), row.found ? 1u : 0u);
        // The window asks for the button before the check.
        EXPECT_EQ(gallery->HasActionButton(0), row.button && row.found);
        gallery->SetDownloader(downloader);
        EXPECT_EQ(gallery->CheckForUpdates(), row.valid);
        EXPECT_EQ(downloader->asked, row.found ? QStringList{kPublished} : QStringList());
        EXPECT_EQ(gallery->HasUpdateInfo(0), row.valid);
        EXPECT_EQ(gallery->IsUpdateAvailable(0), row.update);
        EXPECT_EQ(gallery->GetInstalledVersionText(0), row.installedText);
        EXPECT_EQ(gallery->GetLatestVersionText(0), row.latestText);
        EXPECT_EQ(gallery->HasActionButton(0), row.button && row.found);
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
        sandbox.Write(row.folder + "/Uninstall/updateinfo.xml", Categories({{"A", "1"}}));
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

// What the published file may say is checked on any bytes by the fuzz target; here the
// registry record, the files it leads to and the program it starts (recorded, not started:
// the self-update shows a real start on the desktop's shell).
#include "catalogue/GalleryVersion.h"
#include "catalogue/XmlDocument.h"
#include "support/CatalogueSandbox.h"

#include <QDate>
#include <QLocale>
#include <QScopeGuard>

const QString kGuid = QStringLiteral("{6F1C2A34-0B7D-4E55-9C1A-2D3E4F506172}");
const QString kKey = "Software\\ORVEX Technologies\\Gallery\\" + kGuid + "\\TeamContent";
const QString kPublished = QStringLiteral("http://127.0.0.1:9/gallery/gallery_categories.xml");

// "A=2008-05-01 B=..." as a categories file (published ones wrap them in "categories").
static QByteArray Categories(const QString& stamps, bool published) {
    QString body;
    for (const QString& pair : stamps.split(u' ', Qt::SkipEmptyParts))
        body += QStringLiteral("<category id=\"%1\" version=\"%2\"/>")
                    .arg(pair.section(u'=', 0, 0), pair.section(u'=', 1));
    return ("<Gallery>" + (published ? "<categories>" + body + "</categories>" : body) +
            "</Gallery>")
        .toUtf8();
}

static QString Short(int year, int month, int day) {
    return QLocale::system().toString(QDate(year, month, day), QLocale::ShortFormat);
}

static std::shared_ptr<GalleryVersion> LoadGallery(const QString& manifest, const QString& app,
                                                   const QString& metadata = {}) {
    for (const auto& [name, value] :
         {std::pair("ImsManifestXml", manifest), {"AppPath", app}, {"MetadataXml", metadata}})
        if (!value.isEmpty())
            WriteSettingString(LocalMachine, kKey, name, value, kRegistryMarker);
    WriteSettingString(LocalMachine, kKey, "Args", "-open all", kRegistryMarker);
    CXmlDocument list;
    // Doubled separators go before the file name is joined.
    EXPECT_TRUE(list.Parse("<Gallery Name=\"Pack\" GUID=\"" + kGuid.toUtf8() +
                           "\" DefaultUrl=\"http://127.0.0.1:9/gallery//\"/>"));
    auto gallery = std::make_shared<GalleryVersion>();
    EXPECT_TRUE(gallery->Load(list.Root()));
    return gallery;
}

// Why a pack's row shows "N/A": a published file that is no gallery information, or one
// that lists none of the installed categories.
TEST(GalleryVersion, SaysWhyThePublishedCategoriesDoNotServe) {
    const std::pair<QByteArray, QString> rows[] = {
        {"not XML", "The gallery information was not understood."},
        {Categories("C=2009-01-01", true),
         "The gallery information lists none of the installed categories."}};
    for (const auto& [published, reason] : rows) {
        SCOPED_TRACE(reason.toStdString());
        CatalogueSandbox sandbox;
        sandbox.Write("drive_c/Gallery/Uninstall/updateinfo.xml",
                      Categories("A=2008-05-01", false));
        auto downloader = std::make_shared<FakeDownloader>();
        downloader->documents[kPublished] = published;
        const auto gallery = LoadGallery("C:\\Gallery\\manifest.xml", "C:\\Gallery\\viewer");
        ASSERT_TRUE(gallery->FindInstalled());
        gallery->SetDownloader(downloader);
        EXPECT_FALSE(gallery->CheckForUpdates());
        EXPECT_EQ(DescribeFailure(gallery->GetFailure(0)), reason);
    }
}

// A pack is found when its installed text is not empty. C: is the sandbox's drive_c, where
// only "viewer" exists, and "@" the same folder by this machine's own path; the current folder
// holds the same files. The content application gets exactly "-guid" and the GUID, whatever
// the record's "Args" say.
TEST(GalleryVersion, ReadsRecordInstalledAndPublishedCategoriesAndStartsTheApplication) {
    const QString ab = "A=2008-05-01 B=2008-06-01", june = Short(2008, 6, 1);
    const QString manifest = "C:\\Gallery\\manifest.xml", viewer = "C:\\Gallery\\viewer";
    // clang-format off
    const struct { const char* name; QString installed, published; bool valid, update; QString installedText, latestText; bool button; QString manifest, app, metadata = {}; } rows[] = {
        {"NewestStampsAsShortDates", ab, "A=2008-07-01 B=2008-06-01", true, true, june, Short(2008, 7, 1), true, manifest, viewer},
        {"LinuxPathsNothingNewer", ab, "B=2008-06-01", true, false, june, june, true, "@/manifest.xml", "@/viewer"},
        {"ApplicationMissing", ab, "A=2009-01-01", true, true, june, Short(2009, 1, 1), false, manifest, "C:\\Gallery\\missing"},
        // A relative manifest would name a folder below the current one.
        {"RelativeManifest", ab, "", false, false, "", "", false, "Gallery\\manifest.xml", viewer},
        {"InstalledFileMissing", "", "", false, false, "", "", false, manifest, viewer},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueSandbox sandbox;
        ShellRecorder shell;
        const auto back =
            qScopeGuard([current = QDir::currentPath()] { QDir::setCurrent(current); });
        QDir::setCurrent(sandbox.Root());
        for (const char* file :
             {"drive_c/Gallery/Uninstall/updateinfo.xml", "Gallery/Uninstall/updateinfo.xml"})
            if (!row.installed.isEmpty())
                sandbox.Write(file, Categories(row.installed, false));
        sandbox.Write("drive_c/Gallery/viewer", "#!/bin/sh\n");
        auto downloader = std::make_shared<FakeDownloader>();
        if (!row.published.isEmpty())
            downloader->documents[kPublished] = Categories(row.published, true);

        const bool found = !row.installedText.isEmpty();
        const QString folder = sandbox.Path("drive_c/Gallery");
        const auto gallery = LoadGallery(QString(row.manifest).replace("@", folder),
                                         QString(row.app).replace("@", folder), row.metadata);
        EXPECT_EQ(gallery->FindInstalled(), found);
        // The window asks for the button before the check.
        EXPECT_EQ(gallery->HasActionButton(0), row.button);
        gallery->SetDownloader(downloader);
        EXPECT_EQ(gallery->CheckForUpdates(), row.valid);
        EXPECT_EQ(downloader->asked, found ? QStringList{kPublished} : QStringList());
        EXPECT_EQ(gallery->IsUpdateAvailable(0), row.update);
        EXPECT_EQ(gallery->GetInstalledVersionText(0), row.installedText);
        EXPECT_EQ(gallery->GetLatestVersionText(0), row.latestText);
        EXPECT_EQ(TemporaryFiles(), QStringList());
        if (row.button) {
            EXPECT_TRUE(gallery->OpenAction(0));
            ASSERT_EQ(shell->started.size(), 1u);
            EXPECT_EQ(shell->started[0].program, folder + "/viewer");
            EXPECT_EQ(shell->started[0].arguments, (QStringList{"-guid", kGuid}));
        }
    }
}

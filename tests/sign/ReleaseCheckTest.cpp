// orvex-sign check against a published folder on a local HTTPS server: each document is
// reported as the program's own reader judges it, and the exit status says whether all count.
#include "ToolRun.h"
#include "catalogue/CheckFailure.h"
#include "catalogue/GalleryVersion.h"
#include "catalogue/ProductVersion.h"
#include "catalogue/XmlDocument.h"
#include "net/Downloader.h"
#include "net/TestServers.h"
#include "sign/SignTool.h"
#include "signing/SignatureSequence.h"
#include "support/CatalogueSandbox.h"
#include "update/ProductListController.h"

#include <QCryptographicHash>
#include <QDateTime>

using namespace Qt::StringLiterals;

namespace {
ToolRun SignTool(const QStringList& arguments) {
    CSignTool tool;
    return RunTool(tool, arguments);
}

// A key pair made by orvex-sign keygen in the sandbox, k.pub and k.key; *key is its public key
// line, as a version file names it.
void MakeKey(Sandbox& sandbox, QString* key) {
    ASSERT_EQ(SignTool({"keygen", "--no-password", "--public", sandbox.Path("k.pub"), "--secret",
                        sandbox.Path("k.key")})
                  .exitCode,
              0);
    *key = QString::fromLatin1(sandbox.Read("k.pub").split('\n').value(1));
}

QByteArray Information(const char* version) {
    return "<Info Location=\"Server\"><Product UpdateVersion=\"" + QByteArray(version) +
           "\"/></Info>";
}

// A product's version file naming its update information at url + file, with the key
// attribute where keyAt says: on "Product", on another element, or nowhere when empty.
QByteArray VersionFile(const QString& url, const QString& file, const QString& key,
                       const QString& keyAt) {
    const QString attribute = keyAt.isEmpty() ? QString() : " UpdatePublicKey=\"" + key + "\"";
    return ("<Version><Product CurrentVersion=\"1.0.0.0\" RemoteVersionFileURL=\"" + url +
            "\" RemoteVersionFile=\"" + file + "\"" +
            (keyAt == u"Product"_s ? attribute : QString()) + "/>" +
            (keyAt == u"Product"_s || keyAt.isEmpty() ? QString()
                                                      : "<" + keyAt + attribute + "/>") +
            "</Version>")
        .toUtf8();
}

// The kinds of version file the first table checks: a product's, a gallery pack's installed
// categories (the pack named by a product list), the program's own with the product list.
enum class Kind { Product, Gallery, List };

// What the program's own reader concludes of the documents a row's local files point to, as a
// client that has seen nothing yet (a sandbox of its own): empty when it takes the document,
// else the reason it gives. versionFile: the local file; list: the local product list.
QString ProgramVerdict(Kind kind, const QString& versionFile, const QString& list,
                       const QString& identity) {
    CatalogueSandbox client;
    const auto downloader = std::make_shared<Downloader>();
    if (kind == Kind::Product) {
        CProductVersion reader(versionFile);
        reader.SetDownloader(downloader.get());
        reader.SetSignedFor({SignedKind::Product, identity});
        EXPECT_TRUE(reader.ReadLocal());
        return reader.ReadRemote() ? QString() : DescribeFailure(reader.RemoteFailure());
    }
    if (kind == Kind::Gallery) {
        CXmlDocument listed;
        EXPECT_TRUE(listed.Parse(ReadFile(list)));
        auto pack = std::make_shared<GalleryVersion>();
        EXPECT_TRUE(pack->Load(FirstChild(listed.Root(), "Gallery")));
        EXPECT_TRUE(pack->ParseInstalled(ReadFile(versionFile)));
        pack->SetDownloader(downloader);
        return pack->CheckForUpdates() ? QString() : DescribeFailure(pack->GetFailure(0));
    }
    // The program's refresh of the list, with its own version file and the list installed.
    client.Write("Program/OrvexProductUpdate.xml", ReadFile(versionFile));
    client.Write("ProgramData/productlist.xml", ReadFile(list));
    CProductListController controller;
    controller.SetDownloader(downloader);
    EXPECT_TRUE(controller.LoadProductList());
    const bool refreshed = controller.RefreshProductList();
    EXPECT_EQ(refreshed, controller.ListFailure().kind == CheckFailure::None);
    return refreshed ? QString() : DescribeFailure(controller.ListFailure());
}

// Serves the program's own update information (self.xml, signed with the sandbox's key)
// offering an installer with its digest, as every product list row's own version file names it.
void PublishOwnInformation(TestServer& server, Sandbox& sandbox) {
    const QByteArray installer = "#!/bin/sh\necho installing\n";
    server.Put("setup.run", installer);
    server.Put("self.xml",
               "<Info Location=\"Server\"><Product UpdateVersion=\"9.0.0.0\" UpdateInstallURL=\"" +
                   server.Url("/").toUtf8() +
                   "\" UpdateInstallFile=\"setup.run\" UpdateInstallSHA256=\"" +
                   QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex() +
                   "\"/></Info>");
    ASSERT_EQ(SignTool({"sign", "--key", sandbox.Path("k.key"), "--for", "OrvexProductUpdate",
                        server.Folder() + "/self.xml"})
                  .exitCode,
              0);
}
} // namespace

// A published folder with one document per row; each row's version file is checked by the
// tool and read by the program, which must agree, and the tool's exit status says whether the
// document counts.
TEST(ReleaseCheck, ReportsEachDocumentAsTheProgramJudgesIt) {
    TestServer server({"--tls"});
    ASSERT_TRUE(server.IsRunning()) << "python3 could not start the test server";
    server.TrustCa();
    Sandbox sandbox;
    QString key;
    ASSERT_NO_FATAL_FAILURE(MakeKey(sandbox, &key));
    const QString minisign = QStandardPaths::findExecutable("minisign");
    ASSERT_FALSE(minisign.isEmpty()) << "minisign is missing: install the package minisign";

    ASSERT_NO_FATAL_FAILURE(PublishOwnInformation(server, sandbox));

    // kind: the version file checked. identity: what the program checks the document for
    // (a product's its name, a gallery pack's its GUID "{name}", the list "productlist").
    // signedFor: the identity its signature names (unsigned when empty; "expired": signed with
    // minisign for the row's identity with an expiry that has passed). keyAt: the element of
    // the version file that names the key (a product's and the program's own: Product; a gallery
    // pack's: its root, g). said: what the tool's output holds for it.
    using K = Kind;
    // clang-format off
    const struct { const char* name; Kind kind; QString signedFor; QString keyAt; int exitCode; QString said; } rows[] = {
        {"Good", K::Product, "Good", "Product", 0, "accepted: key "},
        {"ExpiresSoon", K::Product, "ExpiresSoon", "Product", 0, "warning: its signature expires in 3 days"},
        {"Unsigned", K::Product, "", "", 0, "accepted without a signature"},
        {"Expired", K::Product, "expired", "Product", 1, "refused: The update information was refused. It expired on 2020-01-31."},
        {"SignatureMissing", K::Product, "", "Product", 1, "Its signature is missing."},
        {"KeyOnTheWrongElement", K::Product, "KeyOnTheWrongElement", "Version", 1, "problem: The local file has the attribute \"UpdatePublicKey\" on the element <Version>"},
        {"KeyMiscased", K::Product, "KeyMiscased", "Product", 1, "problem: The local file has the attribute \"updatePublicKey\" on the element <Product>"},
        {"ForAnotherIdentity", K::Product, "Good", "Product", 1, "It was signed for \"Good\""},
        {"GalleryGood", K::Gallery, "{GalleryGood}", "g", 0, "the gallery information, https://"},
        {"GalleryForAnotherGuid", K::Gallery, "{GalleryGood}", "g", 1, "It was signed for \"{GalleryGood}\", not for \"{GalleryForAnotherGuid}\"."},
        {"GalleryUnsigned", K::Gallery, "", "g", 1, "refused: The gallery information was refused. Its signature is missing."},
        {"GalleryExpired", K::Gallery, "expired", "g", 1, "It expired on 2020-01-31."},
        {"ListGood", K::List, "productlist", "Product", 0, "the product list, https://"},
        {"ListUnsigned", K::List, "", "Product", 1, "refused: The product list was refused. Its signature is missing."},
        {"ListForAnotherIdentity", K::List, "OrvexProductUpdate", "Product", 1, "It was signed for \"OrvexProductUpdate\", not for \"productlist\"."},
        {"ListOfNothing", K::List, "productlist", "Product", 1, "refused: The product list was not understood."},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString name = QString::fromLatin1(row.name);
        const QString identity = row.kind == K::Product   ? name
                                 : row.kind == K::Gallery ? "{" + name + "}"
                                                          : u"productlist"_s;
        // The published document and the local files that point to it.
        QString file = name + ".xml";
        QString versionFile = name + ".xml", list;
        QByteArray local, published = Information("2.0.0.0");
        if (row.kind == K::Product) {
            local = VersionFile(server.Url("/"), file, key, row.keyAt);
        } else if (row.kind == K::Gallery) {
            file = name + "/gallery_categories.xml";
            versionFile = name + "/updateinfo.xml";
            published =
                R"(<g><categories><category id="a" version="2026-02-01"/></categories></g>)";
            local = ("<" + row.keyAt + " UpdatePublicKey=\"" + key + "\">" +
                     R"(<category id="a" version="2026-01-01"/></g>)")
                        .toUtf8();
            list = name + "/productlist.xml";
            sandbox.Write(list, ("<ProductList Version=\"1.0.0.0\"><Gallery Name=\"G\" GUID=\"" +
                                 identity + "\" DefaultUrl=\"" + server.Url("/" + name) +
                                 "\"/></ProductList>")
                                    .toUtf8());
        } else {
            versionFile = name + "/OrvexProductUpdate.xml";
            published =
                CatalogueSandbox::List("2.0.0.0", "", {CatalogueSandbox::Product("New", "N")});
            local = VersionFile(server.Url("/"), "self.xml", key, row.keyAt);
            list = name + "/productlist.xml";
            sandbox.Write(list, CatalogueSandbox::List("1.0.0.0", server.Url("/" + file),
                                                       {CatalogueSandbox::Product("Old", "O")}));
        }
        if (name == u"ListOfNothing"_s)
            published = "<ProductList Version=\"2.0.0.0\"/>";
        server.Put(file, published);
        const QString publishedPath = server.Folder() + "/" + file;
        if (row.signedFor == u"expired"_s) {
            QProcess::execute(minisign,
                              {"-S", "-s", sandbox.Path("k.key"), "-m", publishedPath, "-t",
                               "for=" + identity + " sequence=1 expires=2020-01-31"});
        } else if (!row.signedFor.isEmpty()) {
            const QString days = name == u"ExpiresSoon"_s ? "3" : "30";
            ASSERT_EQ(SignTool({"sign", "--key", sandbox.Path("k.key"), "--for", row.signedFor,
                                "--expires-in", days, publishedPath})
                          .exitCode,
                      0);
        }
        if (name == u"KeyMiscased"_s)
            local.replace("UpdatePublicKey", "updatePublicKey");
        sandbox.Write(versionFile, local);

        QStringList arguments{"check", "--version-file", sandbox.Path(versionFile)};
        if (!list.isEmpty())
            arguments << "--product-list" << sandbox.Path(list);
        const ToolRun result = SignTool(arguments);
        const QString program =
            ProgramVerdict(row.kind, sandbox.Path(versionFile), sandbox.Path(list), identity);
        // The program's reason is the tool's, word for word, and both take or refuse the
        // document alike.
        if (program.isEmpty())
            EXPECT_TRUE(result.out.contains("    accepted")) << result.out.toStdString();
        else
            EXPECT_TRUE(result.out.contains("    refused: " + program)) << result.out.toStdString();
        EXPECT_EQ(result.exitCode, row.exitCode) << result.out.toStdString();
        EXPECT_TRUE(result.out.contains(row.said)) << result.out.toStdString();
        EXPECT_EQ(result.exitCode == 0, result.out.contains("Every document would be accepted."));
    }

    // The same document read from a folder before it is published, and the check alone
    // never remembers a sequence for the user who runs it.
    const ToolRun folder =
        SignTool({"check", "--version-file", sandbox.Path("Good.xml"), "--at", server.Folder()});
    EXPECT_EQ(folder.exitCode, 0) << folder.out.toStdString() << folder.err.toStdString();
    EXPECT_TRUE(folder.out.contains("file://" + server.Folder() + "/Good.xml:\n    accepted: key "))
        << folder.out.toStdString();
    EXPECT_EQ(LastSeenSequence({SignedKind::Product, "Good"}), std::nullopt);
    ClearProxyEnvironment();
}

// A notice's local file and a gallery pack's installed categories: what they point to is
// checked the same way, the pack found by its GUID or as the only one a product list names; a
// version file the program would not read at all, or a pack that cannot be told, is an
// error, not a pass.
TEST(ReleaseCheck, ChecksNoticesAndGalleryPacksAndRefusesWhatIsNoVersionFile) {
    Sandbox sandbox;
    QString key;
    ASSERT_NO_FATAL_FAILURE(MakeKey(sandbox, &key));
    ASSERT_TRUE(QDir().mkpath(sandbox.Path("publish")));
    sandbox.Write("publish/news.xml",
                  "<Notification WebPage=\"https://example.org/news.html\" StartDate=\"20200101\" "
                  "StopDate=\"20991231\"><Text><en value=\"Hello\"/></Text></Notification>");
    ASSERT_EQ(SignTool({"sign", "--key", sandbox.Path("k.key"), "--for", "News",
                        sandbox.Path("publish/news.xml")})
                  .exitCode,
              0);
    sandbox.Write("News.xml", ("<Notification URL=\"https://example.org/notices/\" "
                               "File=\"news.xml\" UpdatePublicKey=\"" +
                               key + "\"/>")
                                  .toUtf8());
    // A gallery pack's installed categories, its published ones signed for its GUID, and
    // product lists that name it once, twice, or not.
    sandbox.Write("publish/gallery_categories.xml",
                  R"(<g><categories><category id="a" version="2026-02-01"/></categories></g>)");
    ASSERT_EQ(SignTool({"sign", "--key", sandbox.Path("k.key"), "--for", "{g}",
                        sandbox.Path("publish/gallery_categories.xml")})
                  .exitCode,
              0);
    sandbox.Write("updateinfo.xml", ("<g UpdatePublicKey=\"" + key +
                                     "\"><category id=\"a\" version=\"2026-01-01\"/></g>")
                                        .toUtf8());
    const QString pack = R"(<Gallery Name="G" GUID="%1" DefaultUrl="https://example.org/g"/>)";
    sandbox.Write("one.xml", ("<ProductList>" + pack.arg("{g}") + "</ProductList>").toUtf8());
    sandbox.Write(
        "two.xml",
        ("<ProductList>" + pack.arg("{g}") + pack.arg("{h}") + "</ProductList>").toUtf8());
    sandbox.Write("none.xml",
                  CatalogueSandbox::List("1.0.0.0", "", {CatalogueSandbox::Product("A", "A")}));
    sandbox.Write("Empty.xml", "<Version/>");
    sandbox.Write("Other.xml", "<Catalogue/>");
    const QString publish = sandbox.Path("publish");
    // options: given after the version file and --at.
    // clang-format off
    const struct { const char* name; const char* file; QStringList options; int exitCode; const char* said; } rows[] = {
        {"Notice", "News.xml", {}, 0, "the notice, file://"},
        {"VersionFileWithoutAddress", "Empty.xml", {}, 1, "names no update information"},
        {"NoVersionFile", "Other.xml", {}, 1, "no version file that orvex-sign check knows"},
        {"Missing", "Missing.xml", {}, 1, "cannot be read"},
        {"GalleryByGuid", "updateinfo.xml", {"--for", "{g}"}, 0, "the gallery information, file://"},
        {"GalleryOfTheOnlyPackListed", "updateinfo.xml", {"--product-list", sandbox.Path("one.xml")}, 0, "the gallery pack \"{g}\""},
        {"GalleryChosenFromTwo", "updateinfo.xml", {"--product-list", sandbox.Path("two.xml"), "--for", "{g}"}, 0, "the gallery pack \"{g}\""},
        {"GalleryOfAnotherGuid", "updateinfo.xml", {"--product-list", sandbox.Path("two.xml"), "--for", "{h}"}, 1, "It was signed for \"{g}\", not for \"{h}\"."},
        {"GalleryGuidNotKnown", "updateinfo.xml", {}, 1, "name neither the pack's GUID nor where it is published"},
        {"GalleryOfTwoUnnamed", "updateinfo.xml", {"--product-list", sandbox.Path("two.xml")}, 1, "names several gallery packs; name the pack's GUID with --for."},
        {"GalleryNotListed", "updateinfo.xml", {"--product-list", sandbox.Path("one.xml"), "--for", "{G}"}, 1, "names no gallery pack with the GUID \"{G}\"."},
        {"ListWithoutPacks", "updateinfo.xml", {"--product-list", sandbox.Path("none.xml")}, 1, "names no gallery pack."},
        {"ListUnreadable", "updateinfo.xml", {"--product-list", sandbox.Path("Missing.xml")}, 1, "Missing.xml cannot be read"},
        {"ListOfNothing", "updateinfo.xml", {"--product-list", sandbox.Path("Other.xml")}, 1, "is no product list that the program reads"},
        {"ListWithANotice", "News.xml", {"--product-list", sandbox.Path("one.xml")}, 1, "--product-list goes with the program's own version file or a gallery pack's"},
        {"GuidForANotice", "News.xml", {"--for", "News"}, 1, "--for names a gallery pack's GUID"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const ToolRun result = SignTool(
            QStringList{"check", "--version-file", sandbox.Path(row.file), "--at", publish} +
            row.options);
        EXPECT_EQ(result.exitCode, row.exitCode)
            << result.out.toStdString() << result.err.toStdString();
        EXPECT_TRUE((result.out + result.err).contains(QLatin1String(row.said)))
            << (result.out + result.err).toStdString();
    }
}

// The program's own version file: its update information is judged as the self-update judges
// it (signed, it must give the installer's digest), the installer it offers is fetched and
// checked against that digest, never started, and the product list the local one names is
// judged whatever became of the update information.
TEST(ReleaseCheck, ChecksTheProgramsOwnInformationAndInstaller) {
    Sandbox sandbox;
    QString key;
    ASSERT_NO_FATAL_FAILURE(MakeKey(sandbox, &key));
    const QByteArray installer = "#!/bin/sh\necho installing\n";
    const QByteArray digest =
        QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex();
    // digest: the UpdateInstallSHA256 given (none when empty); served: the installer's bytes;
    // list: the "Url" of the local product list given with --product-list (none when null),
    // which names list.xml, published signed for productlist, by its file name.
    // clang-format off
    const struct { const char* name; QByteArray digest; QByteArray served; const char* list; int exitCode; const char* said; } rows[] = {
        {"DigestMatches", digest, installer, nullptr, 0, "/setup.run:\n    accepted: its SHA-256 is the one the update information gives"},
        {"NoDigest", "", installer, nullptr, 1, "It gives no UpdateInstallSHA256"},
        {"InstallerChanged", digest, installer + "rm -rf /\n", nullptr, 1, "its SHA-256 differs"},
        {"ListFromTheFolder", digest, installer, "https://example.org/list.xml", 0, "/list.xml:\n    accepted: key "},
        {"ListCheckedWhenInformationRefused", "", installer, "https://example.org/list.xml", 1, "/list.xml:\n    accepted: key "},
        {"ListWithoutUrl", digest, installer, "", 0, "note: The product list names no \"Url\""},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString folder = sandbox.Path(row.name);
        ASSERT_TRUE(QDir().mkpath(folder));
        sandbox.Write(QString(row.name) + "/setup.run", row.served);
        sandbox.Write(QString(row.name) + "/self.xml",
                      "<Info Location=\"Server\"><Product UpdateVersion=\"9.0.0.0\" "
                      "UpdateInstallURL=\"https://example.org/\" UpdateInstallFile=\"setup.run\"" +
                          (row.digest.isEmpty() ? QByteArray()
                                                : " UpdateInstallSHA256=\"" + row.digest + "\"") +
                          "/></Info>");
        ASSERT_EQ(SignTool({"sign", "--key", sandbox.Path("k.key"), "--for", "OrvexProductUpdate",
                            folder + "/self.xml"})
                      .exitCode,
                  0);
        sandbox.Write(
            QString(row.name) + "/OrvexProductUpdate.xml",
            ("<Version><Product CurrentVersion=\"1.0.0.0\" "
             "RemoteVersionFileURL=\"https://example.org/\" RemoteVersionFile=\"self.xml\" "
             "UpdatePublicKey=\"" +
             key + "\"/></Version>")
                .toUtf8());
        QStringList arguments{"check", "--version-file", folder + "/OrvexProductUpdate.xml", "--at",
                              folder};
        if (row.list) {
            sandbox.Write(
                QString(row.name) + "/list.xml",
                CatalogueSandbox::List("2.0.0.0", "", {CatalogueSandbox::Product("N", "N")}));
            ASSERT_EQ(SignTool({"sign", "--key", sandbox.Path("k.key"), "--for", "productlist",
                                folder + "/list.xml"})
                          .exitCode,
                      0);
            sandbox.Write(
                "productlist.xml",
                CatalogueSandbox::List("1.0.0.0", row.list, {CatalogueSandbox::Product("O", "O")}));
            arguments << "--product-list" << sandbox.Path("productlist.xml");
        }
        const ToolRun result = SignTool(arguments);
        EXPECT_EQ(result.exitCode, row.exitCode) << result.out.toStdString();
        EXPECT_TRUE(result.out.contains(QLatin1String(row.said))) << result.out.toStdString();
        // Without the local product list the list is not checked, and the output says so.
        EXPECT_EQ(result.out.contains("note: The product list is not checked"), !row.list)
            << result.out.toStdString();
    }
}

// The documents the check reads, when the installed file that points to them names the maker's
// key: each counts only with a signature made by that key over exactly the bytes served, not
// expired and not older than one seen. The reader of signature files and the checks of each
// status are SignatureCheckTest's; the installer's signature is SelfUpdateTest's.
#include "catalogue/GalleryVersion.h"
#include "catalogue/Notification.h"
#include "catalogue/ProductVersions.h"
#include "catalogue/XmlDocument.h"
#include "signing/SignatureSequence.h"
#include "support/CatalogueSandbox.h"
#include "support/MinisignTool.h"
#include "support/ModalAnswerer.h"
#include "update/ProductListController.h"
#include "update/SelfUpdate.h"
#include "update/UpdaterVersion.h"

namespace {
const QString kServer = QStringLiteral("http://127.0.0.1:9/");
const QString kRefused = QStringLiteral("The update information was refused. ");

// Keys and signatures made once for every row: minisign takes a while to start.
struct Maker {
    MinisignTool tool;
    QString key = tool.MakeKey("maker");
    QString otherKey = tool.MakeKey("other");
};

Maker& Keys() {
    static Maker maker;
    return maker;
}
} // namespace

// A product's update information, with no key or one key named in its version file, served
// with its signature in every state: the row's latest version (N/A when refused), the reason
// the row gives, whether the signature was asked for, and the product's remembered sequence.
// Before each row the product has seen sequence 5.
TEST(SignedDocuments, ProductRowCountsOnlyWithAValidSignature) {
    Maker& maker = Keys();
    MinisignTool& tool = maker.tool;
    const QByteArray info = CatalogueSandbox::Info("3.0.0.0");
    const QByteArray changed = CatalogueSandbox::Info("3.0.0.1");
    const QByteArray signedInfo = tool.Sign("maker", info, "for=X sequence=7");
    const SignedItem x{SignedKind::Product, "X"};
    const std::optional<uint64_t> seen = 5, raised = 7;
    // clang-format off
    const struct { const char* name; QString keys; std::optional<QByteArray> signature; QByteArray served; QString latest, reason; bool asked; std::optional<uint64_t> sequence; } rows[] = {
        {"NoKeyUnsigned", "", std::nullopt, info, "3.0.0.0", "", false, seen},
        {"NoKeyBadSignatureIgnored", "", tool.Sign("other", info, ""), info, "3.0.0.0", "", false, seen},
        {"Valid", maker.key, signedInfo, info, "3.0.0.0", "", true, raised},
        {"ValidWithTimeStamp", maker.key, tool.Sign("maker", info, "for=X\ttimestamp:1765000000"), info, "3.0.0.0", "", true, {}},
        {"RotationSecondKey", maker.otherKey + " " + maker.key, signedInfo, info, "3.0.0.0", "", true, raised},
        {"Missing", maker.key, std::nullopt, info, "N/A", kRefused + "Its signature is missing.", true, seen},
        {"OtherKey", maker.key, tool.Sign("other", info, "for=X sequence=7"), info, "N/A", kRefused + "It was signed with an unknown key (" + tool.PrintedId("other") + ").", true, seen},
        {"OneByteChanged", maker.key, signedInfo, changed, "N/A", kRefused + "Its signature does not match.", true, seen},
        {"Expired", maker.key, tool.Sign("maker", info, "for=X expires=2020-02-29 sequence=7"), info, "N/A", kRefused + "It expired on 2020-02-29.", true, seen},
        {"OlderSequence", maker.key, tool.Sign("maker", info, "for=X sequence=4"), info, "N/A", kRefused + "It is older than the last one seen.", true, seen},
        {"SameSequenceAgain", maker.key, tool.Sign("maker", info, "for=X sequence=5"), info, "3.0.0.0", "", true, seen},
        {"Oversized", maker.key, signedInfo + QByteArray(4096, '\n'), info, "N/A", kRefused + "Its signature is not usable: ", true, seen},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueSandbox sandbox;
        RememberSequence(x, {5, {}});
        sandbox.Write("Program/X.xml",
                      CatalogueSandbox::VersionFile("1.0.0.0", kServer, "x.xml",
                                                    "UpdatePublicKey=\"" + row.keys + "\""));
        auto downloader = std::make_shared<FakeDownloader>();
        downloader->documents[kServer + "x.xml"] = row.served;
        if (row.signature)
            downloader->documents[kServer + "x.xml.minisig"] = *row.signature;
        CProductVersions product("X");
        ASSERT_TRUE(product.FindInstalled());
        // What the check will ask for is known before it, to be fetched ahead.
        const QStringList announced = product.GetCheckAddresses();
        product.SetDownloader(downloader);
        EXPECT_EQ(product.CheckForUpdates(), row.reason.isEmpty());
        EXPECT_EQ(announced, downloader->asked);
        EXPECT_EQ(product.HasUpdateInfo(0) ? product.GetLatestVersionText(0) : "N/A", row.latest);
        const QString reason = DescribeFailure(product.GetFailure(0));
        EXPECT_TRUE(row.reason.isEmpty() ? reason.isEmpty() : reason.startsWith(row.reason))
            << reason.toStdString();
        EXPECT_EQ(downloader->asked,
                  QStringList{kServer + "x.xml"} +
                      (row.asked ? QStringList{kServer + "x.xml.minisig"} : QStringList()));
        const std::optional<SeenSequence> last = LastSeenSequence(x);
        if (row.name == std::string("ValidWithTimeStamp"))
            EXPECT_GT(last.value_or(SeenSequence()).sequence, 1000000000u); // minisign's stamp
        else
            EXPECT_EQ(last ? std::optional(last->sequence) : std::nullopt, row.sequence);
        EXPECT_TRUE(TemporaryFiles().isEmpty());
    }
}

// The other documents: the program's own update information, a notice, a gallery pack and the
// product list, each with a key named by its installed file. Whether the document counted, its
// reason, and for the list whether the fetched copy was stored beside the program.
TEST(SignedDocuments, OtherDocumentsCountOnlyWithAValidSignature) {
    Maker& maker = Keys();
    MinisignTool& tool = maker.tool;
    const QString keyAttribute = "UpdatePublicKey=\"" + maker.key + "\"";
    const QByteArray notice = R"(<Notification WebPage="https://example.org/n" StartDate="20240101"
        StopDate="20240131"><Text><en value="News"/></Text></Notification>)";
    const QByteArray gallery =
        R"(<g><categories><category id="a" version="2026-02-01"/></categories></g>)";
    const QByteArray list = CatalogueSandbox::List("2.0.0.0", kServer + "list.xml",
                                                   {CatalogueSandbox::Product("New", "N")});
    const QString ownVersion =
        CatalogueSandbox::VersionFile("1.0.0.0", kServer, "self.xml", keyAttribute);
    enum Kind { Own, Notice, Gallery, List };
    // clang-format off
    const struct { const char* name; Kind kind; QByteArray served; std::optional<QByteArray> signature; QString reason; } rows[] = {
        {"OwnSigned", Own, CatalogueSandbox::Info("2.0.0.0"), tool.Sign("maker", CatalogueSandbox::Info("2.0.0.0"), "for=OrvexProductUpdate sequence=1"), ""},
        {"OwnUnsigned", Own, CatalogueSandbox::Info("2.0.0.0"), std::nullopt, kRefused + "Its signature is missing."},
        {"NoticeSigned", Notice, notice, tool.Sign("maker", notice, "for=n sequence=1"), ""},
        {"NoticeOtherKey", Notice, notice, tool.Sign("other", notice, ""), "The notice was refused. It was signed with an unknown key (" + tool.PrintedId("other") + ")."},
        {"GallerySigned", Gallery, gallery, tool.Sign("maker", gallery, "for={g} sequence=1"), ""},
        {"GalleryChanged", Gallery, gallery + " ", tool.Sign("maker", gallery, ""), "The gallery information was refused. Its signature does not match."},
        {"ListSigned", List, list, tool.Sign("maker", list, "for=productlist sequence=1"), ""},
        {"ListUnsigned", List, list, std::nullopt, "-"},
        {"ListOtherKey", List, list, tool.Sign("other", list, ""), "-"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueSandbox sandbox;
        const bool counts = row.reason.isEmpty();
        auto downloader = std::make_shared<FakeDownloader>();
        const QString address =
            kServer +
            QStringList{"self.xml", "n.xml", "gallery_categories.xml", "list.xml"}.at(row.kind);
        downloader->documents[address] = row.served;
        if (row.signature)
            downloader->documents[address + ".minisig"] = *row.signature;
        sandbox.Write("Program/OrvexProductUpdate.xml", ownVersion.toUtf8());
        QString reason;
        if (row.kind == Own) {
            CUpdaterVersion own(sandbox.Path("Program/OrvexProductUpdate.xml"));
            ASSERT_TRUE(own.ReadLocal());
            own.SetDownloader(downloader);
            EXPECT_EQ(own.ReadRemote(), counts);
            EXPECT_EQ(own.HasUpdate(), counts);
            reason = DescribeFailure(own.RemoteFailure());
            // The self-update hands the same reason back and asks nothing.
            if (!counts) {
                ModalAnswerer answerer([](QWidget* modal) { modal->close(); });
                QString why;
                EXPECT_FALSE(RunSelfUpdate(downloader, &why));
                EXPECT_EQ(std::pair(why, answerer.Count()), std::pair(reason, 0));
                downloader->asked.remove(2, 2);
            }
        } else if (row.kind == Notice || row.kind == Gallery) {
            CXmlDocument element;
            std::shared_ptr<IProduct> item;
            if (row.kind == Notice) {
                ASSERT_TRUE(element.Parse(R"(<Notification Name="N" BaseXML="n"/>)"));
                auto notification = std::make_shared<Notification>();
                ASSERT_TRUE(notification->Load(element.Root()));
                ASSERT_TRUE(notification->ParseLocal(
                    ("<Notification URL=\"" + kServer + "\" File=\"n.xml\" " + keyAttribute + "/>")
                        .toUtf8()));
                item = notification;
            } else {
                ASSERT_TRUE(element.Parse(
                    ("<Gallery Name=\"G\" GUID=\"{g}\" DefaultUrl=\"" + kServer + "\"/>")
                        .toUtf8()));
                auto pack = std::make_shared<GalleryVersion>();
                ASSERT_TRUE(pack->Load(element.Root()));
                ASSERT_TRUE(pack->ParseInstalled(
                    ("<g " + keyAttribute + "><category id=\"a\" version=\"2026-01-01\"/></g>")
                        .toUtf8()));
                item = pack;
            }
            const QStringList announced = item->GetCheckAddresses();
            item->SetDownloader(downloader);
            EXPECT_EQ(item->CheckForUpdates(), counts);
            EXPECT_EQ(announced, downloader->asked);
            EXPECT_EQ(item->HasUpdateInfo(0), counts);
            reason = DescribeFailure(item->GetFailure(0));
        } else {
            // A refused list is neither stored nor used; the reason column only marks it.
            sandbox.Write("ProgramData/productlist.xml",
                          CatalogueSandbox::List("1.0.0.0", kServer + "list.xml",
                                                 {CatalogueSandbox::Product("Old", "O")}));
            CProductListController controller;
            controller.SetDownloader(downloader);
            ASSERT_TRUE(controller.LoadProductList());
            EXPECT_EQ(controller.RefreshProductList(), counts);
            EXPECT_EQ(sandbox.Read("Program/productlist.xml"), counts ? list : QByteArray());
            ASSERT_TRUE(controller.LoadProductList());
            EXPECT_EQ(controller.GetProducts().at(0)->GetName(), counts ? "New" : "Old");
            reason = counts ? "" : "-";
        }
        EXPECT_EQ(reason, row.reason);
        EXPECT_EQ(downloader->asked, (QStringList{address, address + ".minisig"}));
        EXPECT_TRUE(TemporaryFiles().isEmpty());
    }
}

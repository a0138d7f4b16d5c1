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
#include "update/ProgramKeys.h"
#include "update/SelfUpdate.h"
#include "update/UpdaterVersion.h"

namespace {
const QString kServer = QStringLiteral("http://127.0.0.1:9/");
const QString kRefused = QStringLiteral("The update information was refused. ");

// A notice (identity its BaseXML) or a gallery pack (identity its GUID) as the product list
// names it, read from its local file: a notice's naming file, with rootKeys on its root and,
// unless innerKeys is none, a note carrying those; or a pack's installed categories, with
// rootKeys on its root and innerKeys on its category. Null when any of it is not read.
std::shared_ptr<IProduct> ListedItem(bool notice, const QString& identity, const QString& file,
                                     const QString& rootKeys,
                                     const std::optional<QString>& innerKeys) {
    CXmlDocument element;
    if (notice) {
        auto notification = std::make_shared<Notification>();
        const QString inner =
            innerKeys ? "><Note " + *innerKeys + "/></Notification>" : QString("/>");
        if (!element.Parse(("<Notification Name=\"N\" BaseXML=\"" + identity + "\"/>").toUtf8()) ||
            !notification->Load(element.Root()) ||
            !notification->ParseLocal(
                ("<Notification URL=\"" + kServer + "\" File=\"" + file + "\" " + rootKeys + inner)
                    .toUtf8()))
            return nullptr;
        return notification;
    }
    auto pack = std::make_shared<GalleryVersion>();
    if (!element.Parse(
            ("<Gallery Name=\"G\" GUID=\"" + identity + "\" DefaultUrl=\"" + kServer + "\"/>")
                .toUtf8()) ||
        !pack->Load(element.Root()) ||
        !pack->ParseInstalled(("<g " + rootKeys + "><category id=\"a\" " +
                               innerKeys.value_or(QString()) + " version=\"2026-01-01\"/></g>")
                                  .toUtf8()))
        return nullptr;
    return pack;
}

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

// The program's own update information, which must name its installer's digest once signed.
QByteArray OwnInfo() {
    return CatalogueSandbox::Info("2.0.0.0", "UpdateInstallSHA256=\"" + QString(64, u'0') + "\"");
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
    const QByteArray ownInfo = OwnInfo();
    enum Kind { Own, Notice, Gallery, List };
    // clang-format off
    const struct { const char* name; Kind kind; QByteArray served; std::optional<QByteArray> signature; QString reason; } rows[] = {
        {"OwnSigned", Own, ownInfo, tool.Sign("maker", ownInfo, "for=OrvexProductUpdate sequence=1"), ""},
        {"OwnUnsigned", Own, ownInfo, std::nullopt, kRefused + "Its signature is missing."},
        {"OwnSignedWithoutDigest", Own, CatalogueSandbox::Info("2.0.0.0"), tool.Sign("maker", CatalogueSandbox::Info("2.0.0.0"), "for=OrvexProductUpdate sequence=1"), kRefused + "It gives no UpdateInstallSHA256 for the installer, which signed update information must."},
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
            const std::shared_ptr<IProduct> item =
                row.kind == Notice ? ListedItem(true, "n", "n.xml", keyAttribute, std::nullopt)
                                   : ListedItem(false, "{g}", {}, keyAttribute, std::nullopt);
            ASSERT_TRUE(item);
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

namespace {
enum class Checker { Product, Own, Notice, Gallery, List };

// The attribute text of keys, placed where a key counts, on another element, or on its
// element in another case.
enum class Place { Right, Elsewhere, Miscased };

// Every item the mix-and-match rows touch, a case variant among them.
const std::vector<SignedItem>& AllItems() {
    static const std::vector<SignedItem> items = {
        {SignedKind::Product, "Alpha"},
        {SignedKind::Product, "Beta"},
        {SignedKind::Product, "beta"},
        {SignedKind::Notice, "n"},
        {SignedKind::Notice, "m"},
        {SignedKind::Gallery, "{g}"},
        {SignedKind::Gallery, "{h}"},
        {SignedKind::ProgramInformation, kProgramIdentity},
        {SignedKind::ProductList, kProductListIdentity},
        {SignedKind::Installer, kProgramIdentity},
    };
    return items;
}

SignedItem ItemOf(Checker checker, const QString& name) {
    switch (checker) {
    case Checker::Product:
        return {SignedKind::Product, name};
    case Checker::Notice:
        return {SignedKind::Notice, name};
    case Checker::Gallery:
        return {SignedKind::Gallery, name};
    case Checker::Own:
        return kUpdateInformationItem;
    case Checker::List:
        return kProductListItem;
    }
    return {};
}

// The public key line of key with the key id of other: two keys that share an id.
QString WithIdOf(const QString& key, const QString& other) {
    QByteArray bytes = QByteArray::fromBase64(key.toLatin1());
    bytes.replace(2, 8, QByteArray::fromBase64(other.toLatin1()).mid(2, 8));
    return QString::fromLatin1(bytes.toBase64());
}

// The file checker fetches from kServer.
QString FileOf(Checker checker, const QString& name) {
    switch (checker) {
    case Checker::Own:
        return "self.xml";
    case Checker::List:
        return "list.xml";
    case Checker::Gallery:
        return "gallery_categories.xml";
    default:
        return name + ".xml";
    }
}

struct Outcome {
    bool counted = false;
    QString reason;
};

// Runs the check of checker (name: a product's BaseXml, a notice's BaseXML, a pack's GUID)
// whose installed file names keys at place, against served and its signature.
Outcome RunChecker(CatalogueSandbox& sandbox, Checker checker, const QString& name,
                   const QString& keys, Place place, const QByteArray& served,
                   const std::optional<QByteArray>& signature) {
    const QString attribute =
        (place == Place::Miscased ? "updatePublicKey=\"" : "UpdatePublicKey=\"") + keys + "\"";
    const QString right = place == Place::Elsewhere ? "" : attribute;
    const QString other = place == Place::Elsewhere ? attribute : "";
    const QString file = FileOf(checker, name);
    auto downloader = std::make_shared<FakeDownloader>();
    downloader->documents[kServer + file] = served;
    if (signature)
        downloader->documents[kServer + file + ".minisig"] = *signature;
    const QString versionFile =
        QString("<Root %1><Product CurrentVersion=\"1.0.0.0\" RemoteVersionFileURL=\"%2\" "
                "RemoteVersionFile=\"%3\" %4/></Root>")
            .arg(other, kServer, file, right);
    Outcome outcome;
    if (checker == Checker::Product) {
        sandbox.Write("Program/" + name + ".xml", versionFile.toUtf8());
        CProductVersions product(name);
        EXPECT_TRUE(product.FindInstalled());
        product.SetDownloader(downloader);
        outcome = {product.CheckForUpdates(), DescribeFailure(product.GetFailure(0))};
    } else if (checker == Checker::Own) {
        sandbox.Write("Program/OrvexProductUpdate.xml", versionFile.toUtf8());
        CUpdaterVersion own(sandbox.Path("Program/OrvexProductUpdate.xml"));
        EXPECT_TRUE(own.ReadLocal());
        own.SetDownloader(downloader);
        outcome = {own.ReadRemote(), DescribeFailure(own.RemoteFailure())};
    } else if (checker == Checker::List) {
        sandbox.Write("Program/OrvexProductUpdate.xml", versionFile.toUtf8());
        sandbox.Write("ProgramData/productlist.xml",
                      CatalogueSandbox::List("1.0.0.0", kServer + file,
                                             {CatalogueSandbox::Product("Old", "O")}));
        CProductListController controller;
        controller.SetDownloader(downloader);
        EXPECT_TRUE(controller.LoadProductList());
        outcome = {controller.RefreshProductList(), DescribeFailure(controller.ListFailure())};
        // A refused list is neither stored nor used.
        EXPECT_EQ(sandbox.Read("Program/productlist.xml").isEmpty(), !outcome.counted);
    } else {
        const std::shared_ptr<IProduct> item =
            ListedItem(checker == Checker::Notice, name, file, right, other);
        EXPECT_TRUE(item);
        if (!item)
            return outcome;
        item->SetDownloader(downloader);
        outcome = {item->CheckForUpdates(), DescribeFailure(item->GetFailure(0))};
    }
    EXPECT_TRUE(TemporaryFiles().isEmpty());
    return outcome;
}
} // namespace

// The mix-and-match table: documents signed by the maker with real minisign signatures, served
// where another item (or the same one) looks for them, under keys named in every way a local
// file can name them. Each row: whether the checking item took the document, the reason it
// gives, and the remembered sequence of every item (each saw 5 before; only the checking item
// may move, and only when it took the document).
TEST(SignedDocuments, ASignatureVouchesForOneItemOnly) {
    Maker& maker = Keys();
    MinisignTool& tool = maker.tool;
    static const QString oldKey = tool.MakeKey("old");
    const QString key = maker.key;
    using C = Checker;
    const QByteArray alpha = CatalogueSandbox::Info("3.0.0.0"),
                     beta = CatalogueSandbox::Info("4.0.0.0");
    const QByteArray notice = R"(<Notification WebPage="https://example.org/n" StartDate="20240101"
        StopDate="20240131"><Text><en value="News"/></Text></Notification>)";
    const QByteArray gallery =
        R"(<g><categories><category id="a" version="2026-02-01"/></categories></g>)";
    const QByteArray list = CatalogueSandbox::List("2.0.0.0", kServer + "list.xml",
                                                   {CatalogueSandbox::Product("New", "N")});
    const QByteArray own = OwnInfo();
    const QByteArray ownWithoutDigest = CatalogueSandbox::Info("2.0.0.0");
    const auto sign = [&tool](const QByteArray& data, const char* comment,
                              const char* by = "maker") { return tool.Sign(by, data, comment); };
    const QString misplacedOnRoot =
        "Its signature is not usable: The local file has the attribute \"UpdatePublicKey\" on the "
        "element <Root>, where no key is read; a key belongs in \"UpdatePublicKey\" on <Product>.";
    const QString miscased =
        "Its signature is not usable: The local file has the attribute \"updatePublicKey\" on the "
        "element <%1>, where no key is read; a key belongs in \"UpdatePublicKey\" on <%1>.";
    const QString missing = "Its signature is missing.";
    const QString machineGarbled =
        "Its signature is not usable: The machine setting \"UpdatePublicKey\" "
        "(HKEY_LOCAL_MACHINE\\Software\\ORVEX Technologies\\Product Update) is not a list of "
        "minisign public keys.";
    const std::optional<uint64_t> kept;
    // clang-format off
    const struct { const char* name; Checker checker; QString item; QString keys; Place place; QByteArray served; std::optional<QByteArray> signature; QString reason; std::optional<uint64_t> sequence; QString machineKeys = {}; QString builtInKeys = {}; bool machineOnly = false; } rows[] = {
        {"ProductOwnSigned", C::Product, "Beta", key, Place::Right, beta, sign(beta, "for=Beta sequence=7"), "", 7},
        {"ProductAAtB", C::Product, "Beta", key, Place::Right, alpha, sign(alpha, "for=Alpha sequence=9"), "It was signed for \"Alpha\", not for \"Beta\".", kept},
        {"ProductOtherCase", C::Product, "beta", key, Place::Right, beta, sign(beta, "for=Beta sequence=9"), "It was signed for \"Beta\", not for \"beta\".", kept},
        {"ProductOtherCaseOwnSigned", C::Product, "beta", key, Place::Right, beta, sign(beta, "for=beta sequence=9"), "", 9},
        {"NoticeNAtM", C::Notice, "m", key, Place::Right, notice, sign(notice, "for=n sequence=9"), "It was signed for \"n\", not for \"m\".", kept},
        {"NoticeOwnSigned", C::Notice, "m", key, Place::Right, notice, sign(notice, "for=m sequence=6"), "", 6},
        {"GalleryGAtH", C::Gallery, "{h}", key, Place::Right, gallery, sign(gallery, "for={g} sequence=9"), "It was signed for \"{g}\", not for \"{h}\".", kept},
        {"GalleryOwnSigned", C::Gallery, "{h}", key, Place::Right, gallery, sign(gallery, "for={h} sequence=6"), "", 6},
        {"OwnAtProduct", C::Product, "Beta", key, Place::Right, own, sign(own, "for=OrvexProductUpdate sequence=9"), "It was signed for \"OrvexProductUpdate\", not for \"Beta\".", kept},
        {"ListAtOwn", C::Own, "", key, Place::Right, list, sign(list, "for=productlist sequence=9"), "It was signed for \"productlist\", not for \"OrvexProductUpdate\".", kept},
        {"OwnSigned", C::Own, "", key, Place::Right, own, sign(own, "for=OrvexProductUpdate sequence=6"), "", 6},
        // The maker's own document, correctly signed, yet unusable: its sequence is taken.
        {"OwnWithoutDigest", C::Own, "", key, Place::Right, ownWithoutDigest, sign(ownWithoutDigest, "for=OrvexProductUpdate sequence=6"), "It gives no UpdateInstallSHA256 for the installer, which signed update information must.", 6},
        {"ProductAtList", C::List, "", key, Place::Right, alpha, sign(alpha, "for=Alpha sequence=9"), "It was signed for \"Alpha\", not for \"productlist\".", kept},
        {"ListSigned", C::List, "", key, Place::Right, list, sign(list, "for=productlist sequence=8"), "", 8},
        {"NoFor", C::Product, "Beta", key, Place::Right, beta, sign(beta, "sequence=9"), "Its signature does not say what it is for (\"for=Beta\" is missing).", kept},
        {"LowerSequence", C::Product, "Beta", key, Place::Right, beta, sign(beta, "for=Beta sequence=4"), "It is older than the last one seen.", kept},
        {"EqualSequenceOtherBytes", C::Product, "Beta", key, Place::Right, alpha, sign(alpha, "for=Beta sequence=5"), "It differs from the file last seen under the same sequence (5).", kept},
        {"EqualSequenceSameBytes", C::Product, "Beta", key, Place::Right, beta, sign(beta, "for=Beta sequence=5"), "", 5},
        // Publishing: the new file's signature renamed in place before the new file itself.
        {"NewSignaturesBesideOldFile", C::Product, "Beta", key, Place::Right, beta, sign(alpha, "for=Beta sequence=6") + sign(beta, "for=Beta sequence=5"), "", 5},
        {"NewFileBesideNewSignatures", C::Product, "Beta", key, Place::Right, alpha, sign(alpha, "for=Beta sequence=6") + sign(beta, "for=Beta sequence=5"), "", 6},
        {"WithoutSequence", C::Product, "Beta", key, Place::Right, beta, sign(beta, "for=Beta expires=2099-01-01"), "Its signature carries no sequence, so it cannot be told from an older one.", kept},
        {"TwoSignaturesOldKeyClient", C::Product, "Beta", oldKey, Place::Right, beta, sign(beta, "for=Beta sequence=7", "old") + sign(beta, "for=Beta sequence=7"), "", 7},
        {"TwoSignaturesNewKeyClient", C::Product, "Beta", key, Place::Right, beta, sign(beta, "for=Beta sequence=7", "old") + sign(beta, "for=Beta sequence=7"), "", 7},
        {"TwoSignaturesThirdKeyClient", C::Product, "Beta", maker.otherKey, Place::Right, beta, sign(beta, "for=Beta sequence=7", "old") + sign(beta, "for=Beta sequence=7"), "It was signed with an unknown key (" + tool.PrintedId("old") + ", " + tool.PrintedId("maker") + ").", kept},
        {"TwoKeysOneKeyId", C::Notice, "n", WithIdOf(maker.otherKey, key) + " " + key, Place::Right, notice, sign(notice, "for=n sequence=7"), "", 7},
        {"ProductMissing", C::Product, "Beta", key, Place::Right, beta, std::nullopt, missing, kept},
        {"OwnMissing", C::Own, "", key, Place::Right, own, std::nullopt, missing, kept},
        {"ListMissing", C::List, "", key, Place::Right, list, std::nullopt, missing, kept},
        {"GalleryMissing", C::Gallery, "{g}", key, Place::Right, gallery, std::nullopt, missing, kept},
        {"NoticeMissing", C::Notice, "n", key, Place::Right, notice, std::nullopt, missing, kept},
        {"ProductKeyOnRoot", C::Product, "Beta", key, Place::Elsewhere, beta, std::nullopt, misplacedOnRoot, kept},
        {"ProductKeyMiscased", C::Product, "Beta", key, Place::Miscased, beta, sign(beta, "for=Beta sequence=7"), miscased.arg("Product"), kept},
        {"OwnKeyOnRoot", C::Own, "", key, Place::Elsewhere, own, std::nullopt, misplacedOnRoot, kept},
        {"ListKeyMiscased", C::List, "", key, Place::Miscased, list, std::nullopt, miscased.arg("Product"), kept},
        {"NoticeKeyOnChild", C::Notice, "n", key, Place::Elsewhere, notice, std::nullopt, "Its signature is not usable: The local file has the attribute \"UpdatePublicKey\" on the element <Note>, where no key is read; a key belongs in \"UpdatePublicKey\" on <Notification>.", kept},
        {"GalleryKeyMiscased", C::Gallery, "{g}", key, Place::Miscased, gallery, std::nullopt, miscased.arg("g"), kept},
        {"GalleryKeyOnChild", C::Gallery, "{g}", key, Place::Elsewhere, gallery, std::nullopt, "Its signature is not usable: The local file has the attribute \"UpdatePublicKey\" on the element <category>, where no key is read; a key belongs in \"UpdatePublicKey\" on <g>.", kept},
        {"ProductKeyGarbled", C::Product, "Beta", "RWQ" + key.mid(4), Place::Right, beta, std::nullopt, "Its signature is not usable: The version file's public key \"RWQ" + key.mid(4) + "\" is not a minisign public key.", kept},
        {"NoticeKeyCutShort", C::Notice, "n", key.left(30), Place::Right, notice, std::nullopt, "Its signature is not usable: The version file's public key \"" + key.left(30) + "\" is not a minisign public key.", kept},
        // The program's own documents: keys built into the package and the administrator's
        // machine setting count beside the version file's, which names none here.
        {"OwnAdministratorKeyOnly", C::Own, "", "", Place::Right, own, sign(own, "for=OrvexProductUpdate sequence=6"), "", 6, key},
        {"ListAdministratorKeyUnsigned", C::List, "", "", Place::Right, list, std::nullopt, missing, kept, key},
        {"ListBuiltInKeyOnly", C::List, "", "", Place::Right, list, sign(list, "for=productlist sequence=8"), "", 8, "", key},
        {"OwnBuiltInKeyOtherSigner", C::Own, "", "", Place::Right, own, sign(own, "for=OrvexProductUpdate sequence=6", "other"), "It was signed with an unknown key (" + tool.PrintedId("other") + ").", kept, "", key},
        {"ListAdministratorKeyAdded", C::List, "", key, Place::Right, list, sign(list, "for=productlist sequence=8", "other"), "", 8, maker.otherKey},
        {"ListAdministratorKeyReplaces", C::List, "", key, Place::Right, list, sign(list, "for=productlist sequence=8"), "It was signed with an unknown key (" + tool.PrintedId("maker") + ").", kept, maker.otherKey, key, true},
        {"ListAdministratorKeyGarbled", C::List, "", key, Place::Right, list, sign(list, "for=productlist sequence=8"), machineGarbled, kept, key.left(30)},
        {"OwnAdministratorKeyGarbled", C::Own, "", "", Place::Right, own, sign(own, "for=OrvexProductUpdate sequence=6"), machineGarbled, kept, "RWQ" + key.mid(4), key},
        {"OwnBuiltInKeyGarbled", C::Own, "", key, Place::Right, own, sign(own, "for=OrvexProductUpdate sequence=6"), "Its signature is not usable: The public key built into the program is not a list of minisign public keys.", kept, "", key.left(30)},
    };
    // clang-format on
    const PublicKeyList makerKeys = PublicKeyList::FromText(key);
    const QByteArray betaDigest =
        VerifySignature(beta, sign(beta, "for=Beta sequence=5"), makerKeys,
                        {SignedKind::Product, "Beta"}, TodayUtc())
            .digest;
    ASSERT_FALSE(betaDigest.isEmpty());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueSandbox sandbox;
        SystemLogRecorder log;
        const ScopedBuiltInPublicKeys builtIn(row.builtInKeys);
        const QString machineKey = "Software/ORVEX Technologies/Product Update";
        if (!row.machineKeys.isEmpty()) {
            ASSERT_EQ(WriteSettingString(LocalMachine, machineKey, "UpdatePublicKey",
                                         row.machineKeys, kRegistryMarker),
                      0);
        }
        if (row.machineOnly) {
            ASSERT_EQ(WriteSettingInt(LocalMachine, machineKey, "UpdatePublicKeyOnly", 1,
                                      kRegistryMarker),
                      0);
        }
        for (const SignedItem& item : AllItems())
            RememberSequence(item, {5, item.identity == "Beta" ? betaDigest : QByteArray()});
        const Outcome outcome = RunChecker(sandbox, row.checker, row.item, row.keys, row.place,
                                           row.served, row.signature);
        const QString prefix = row.checker == C::Notice    ? "The notice was refused. "
                               : row.checker == C::Gallery ? "The gallery information was refused. "
                               : row.checker == C::List    ? "The product list was refused. "
                                                           : kRefused;
        EXPECT_EQ(outcome.counted, row.reason.isEmpty());
        EXPECT_EQ(outcome.reason, row.reason.isEmpty() ? QString() : prefix + row.reason);
        // Every refusal is in the system log with its address, so that an administrator finds
        // what a run without a window refused; what counted leaves no line.
        const QString logged = (row.reason.startsWith("It gives no") ? kRefused : "") + row.reason;
        EXPECT_EQ(log.Lines(), row.reason.isEmpty() ? QStringList()
                                                    : QStringList{"warning: " + kServer +
                                                                  FileOf(row.checker, row.item) +
                                                                  " was refused: " + logged});
        const SignedItem checked = ItemOf(row.checker, row.item);
        for (const SignedItem& item : AllItems()) {
            SCOPED_TRACE(item.identity.toStdString());
            EXPECT_EQ(LastSeenSequence(item).value_or(SeenSequence()).sequence,
                      item == checked ? row.sequence.value_or(5) : 5u);
        }
    }
}

#include "sign/ReleaseCheck.h"

#include "catalogue/CheckFailure.h"
#include "catalogue/GalleryVersion.h"
#include "catalogue/Notification.h"
#include "catalogue/ProductVersion.h"
#include "catalogue/Products.h"
#include "catalogue/WebPage.h"
#include "catalogue/XmlDocument.h"
#include "platform/FilePath.h"
#include "platform/XmlDocument.h"
#include "sign/RecordingDownloader.h"
#include "sign/WholeFile.h"
#include "update/ProductListController.h"
#include "update/UpdaterVersion.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("ReleaseCheck", text);
}

// The verdict on the document at address that a reader of the program reached (accepted, or
// failure), with the signature it was accepted with, verified again from the copies the
// downloader kept: the readers say whether, not with what.
CheckedDocument Judge(const CRecordingDownloader& downloader, const QString& what,
                      const QString& address, bool accepted, const CheckFailure& failure,
                      const PublicKeyList& keys, const SignedItem& item) {
    CheckedDocument document;
    document.what = what;
    document.address = downloader.Relocated(address);
    document.accepted = accepted;
    if (!accepted) {
        document.reason = DescribeFailure(failure);
        return document;
    }
    if (const std::optional<QByteArray> bytes = downloader.Fetched(address); bytes)
        document.signature =
            VerifySignature(*bytes, downloader.Fetched(address + QStringLiteral(".minisig")), keys,
                            item, TodayUtc());
    return document;
}

// The installer the program's update information offers, fetched and checked as the
// self-update checks it before it starts it.
void CheckInstaller(CUpdaterVersion& reader, CRecordingDownloader& downloader,
                    ReleaseReport& report) {
    CheckedDocument installer;
    installer.what = Tr("the program's installer");
    const QString address = JoinUrl(reader.GetUpdateInstallURL(), reader.GetUpdateInstallFile());
    installer.address = downloader.Relocated(address);
    installer.accepted = reader.DownloadInstaller();
    if (installer.accepted) {
        // Checked, never started: the copy goes.
        FilePath(reader.InstallerPath()).DeleteFile();
        installer.signature.status = SignatureStatus::NoKey;
        if (reader.IsUpdateInstallSHA256Given())
            installer.vouchedBy = Tr("its SHA-256 is the one the update information gives");
    } else {
        installer.reason = reader.InstallerRefusal().isEmpty()
                               ? DescribeFailure(downloader.GetLastFailure())
                               : reader.InstallerRefusal();
    }
    report.documents.push_back(installer);
}

// The product list that the local one names by "Url", fetched and taken as the program's
// refresh of the list takes it, under the keys of the program's own version file.
void CheckList(const Products& local, const PublicKeyList& keys,
               const std::shared_ptr<CRecordingDownloader>& downloader, ReleaseReport& report) {
    const QString url = local.Url();
    if (url.isEmpty()) {
        report.notes += Tr("The product list names no \"Url\", so the program fetches no newer "
                           "list.");
        return;
    }
    QByteArray bytes;
    CheckFailure failure{CheckFailure::Download};
    const bool read = FetchDocument(*downloader, url, bytes, failure.download) &&
                      TakeFetchedProductList(*downloader, url, bytes, keys, failure);
    report.documents.push_back(
        Judge(*downloader, Tr("the product list"), url, read, failure, keys, kProductListItem));
}

// The program's own version file: its update information as the self-update reads it, the
// installer it offers, and the product list when the local one (list) is at hand.
void CheckOwn(const QString& path, const QByteArray& bytes, const Products* list,
              const std::shared_ptr<CRecordingDownloader>& downloader, ReleaseReport& report) {
    CUpdaterVersion reader(path);
    reader.SetDownloader(downloader);
    reader.ParseLocal(bytes);
    const bool read = reader.ReadRemote();
    report.documents.push_back(Judge(*downloader, Tr("the program's own update information"),
                                     reader.RemoteAddress(), read, reader.RemoteFailure(),
                                     reader.PublicKeys(), kUpdateInformationItem));
    if (read && !reader.GetUpdateInstallFile().isEmpty())
        CheckInstaller(reader, *downloader, report);
    if (list)
        CheckList(*list, reader.PublicKeys(), downloader, report);
    else
        report.notes += Tr("The product list is not checked: its address is in productlist.xml, "
                           "which --product-list names.");
}

void CheckProduct(const QString& path, const QByteArray& bytes, const QString& identity,
                  const std::shared_ptr<CRecordingDownloader>& downloader, ReleaseReport& report) {
    CProductVersion reader(path);
    reader.SetDownloader(downloader.get());
    const SignedItem item{SignedKind::Product, identity};
    reader.SetSignedFor(item);
    reader.ParseLocal(bytes);
    const bool read = reader.ReadRemote();
    report.documents.push_back(Judge(*downloader, Tr("the update information"),
                                     reader.RemoteAddress(), read, reader.RemoteFailure(),
                                     reader.PublicKeys(), item));
}

void CheckNotice(const QByteArray& bytes, const QString& identity, const PublicKeyList& keys,
                 const std::shared_ptr<CRecordingDownloader>& downloader, ReleaseReport& report) {
    // The notice's identity comes with it from the product list, as "BaseXML".
    tinyxml2::XMLDocument listed;
    tinyxml2::XMLElement* element = listed.NewElement("Notification");
    element->SetAttribute("BaseXML", identity.toUtf8().constData());
    Notification notice;
    notice.Load(element);
    notice.ParseLocal(bytes);
    notice.SetDownloader(downloader);
    const bool read = notice.CheckForUpdates();
    report.documents.push_back(Judge(*downloader, Tr("the notice"), notice.GetUpdateAddress(), read,
                                     notice.GetFailure(0), keys, {SignedKind::Notice, identity}));
}

// A gallery pack's published categories, fetched as the pack's check fetches them, under the
// keys of its installed-categories file.
void CheckGallery(GalleryVersion& pack, const QByteArray& bytes, const PublicKeyList& keys,
                  const std::shared_ptr<CRecordingDownloader>& downloader, ReleaseReport& report) {
    pack.ParseInstalled(bytes);
    pack.SetDownloader(downloader);
    const bool read = pack.CheckForUpdates();
    report.documents.push_back(Judge(*downloader, Tr("the gallery information"),
                                     pack.GetUpdateAddress(), read, pack.GetFailure(0), keys,
                                     {SignedKind::Gallery, pack.GetId()}));
}

// The local product list at path; null (and *why) when it is none the program reads.
std::shared_ptr<Products> ReadLocalList(const QString& path, QString* why) {
    QString error;
    const std::optional<QByteArray> bytes = ReadSmallFile(path, CXmlDocument::kMaxBytes, &error);
    if (!bytes) {
        *why = Tr("%1 cannot be read: %2").arg(path, error);
        return nullptr;
    }
    auto list = std::make_shared<Products>();
    if (!list->Parse(*bytes)) {
        *why = Tr("%1 is no product list that the program reads: it names no product, gallery "
                  "pack or notice.")
                   .arg(path);
        return nullptr;
    }
    return list;
}

// The gallery pack whose installed categories are checked: its installed file names neither
// its GUID nor its address, so they come from the product list's "Gallery" element (the one
// with the GUID forId, or the only one), or, without a list, from --at and --for. Null (and
// *why) when the request names no one pack.
std::shared_ptr<GalleryVersion> FindGalleryPack(const ReleaseCheckRequest& request, QString* why) {
    if (request.productList.isEmpty()) {
        if (request.at.isEmpty() || request.forId.isEmpty()) {
            *why = Tr("%1 holds a gallery pack's installed categories, which name neither the "
                      "pack's GUID nor where it is published: give --product-list with the local "
                      "productlist.xml, or --at with --for and the pack's GUID.")
                       .arg(request.versionFile);
            return nullptr;
        }
        // As the product list would name it.
        tinyxml2::XMLDocument listed;
        tinyxml2::XMLElement* element = listed.NewElement("Gallery");
        element->SetAttribute("Name", request.forId.toUtf8().constData());
        element->SetAttribute("GUID", request.forId.toUtf8().constData());
        element->SetAttribute("DefaultUrl", request.at.toUtf8().constData());
        auto pack = std::make_shared<GalleryVersion>();
        pack->Load(element);
        return pack;
    }
    const std::shared_ptr<Products> list = ReadLocalList(request.productList, why);
    if (!list)
        return nullptr;
    std::vector<std::shared_ptr<GalleryVersion>> packs;
    for (const auto& item : list->Items()) {
        auto pack = std::dynamic_pointer_cast<GalleryVersion>(item);
        // GUIDs compare exactly, as the signature's identity does.
        if (pack && (request.forId.isEmpty() || pack->GetId() == request.forId))
            packs.push_back(std::move(pack));
    }
    if (packs.size() == 1)
        return packs.front();
    if (!packs.empty())
        *why = Tr("%1 names several gallery packs; name the pack's GUID with --for.")
                   .arg(request.productList);
    else if (request.forId.isEmpty())
        *why = Tr("%1 names no gallery pack.").arg(request.productList);
    else
        *why = Tr("%1 names no gallery pack with the GUID \"%2\".")
                   .arg(request.productList, request.forId);
    return nullptr;
}

// The kinds of version file the check knows.
enum class FileKind { Unknown, Product, Own, Notice, Gallery };

// The program knows a version file by its name: the products' by their BaseXml (identity),
// its own as OrvexProductUpdate, a notice's by its BaseXML. A gallery pack's has one name for
// every pack, and is told by its shape.
FileKind KindOf(const tinyxml2::XMLElement* root, const QString& identity,
                const QByteArray& bytes) {
    if (qstrcmp(root->Name(), "Version") == 0)
        return identity == kProgramIdentity ? FileKind::Own : FileKind::Product;
    if (qstrcmp(root->Name(), "Notification") == 0)
        return FileKind::Notice;
    return GalleryVersion().ParseInstalled(bytes) ? FileKind::Gallery : FileKind::Unknown;
}

// Whether the request's options go with the kind of file it names; *why when not.
bool OptionsFit(const ReleaseCheckRequest& request, FileKind kind, QString* why) {
    const QString& path = request.versionFile;
    if (kind == FileKind::Unknown)
        *why = Tr("%1 is no version file that orvex-sign check knows: a product's or the "
                  "program's own (<Version>), a notice's (<Notification>), or a gallery pack's "
                  "installed categories (<category> elements).")
                   .arg(path);
    else if (!request.forId.isEmpty() && kind != FileKind::Gallery)
        *why = Tr("--for names a gallery pack's GUID; what %1 is for is its name.").arg(path);
    else if (!request.productList.isEmpty() && kind != FileKind::Own && kind != FileKind::Gallery)
        *why = Tr("--product-list goes with the program's own version file or a gallery pack's "
                  "installed categories; %1 is neither.")
                   .arg(path);
    else
        return true;
    return false;
}
} // namespace

bool ReleaseReport::AllAccepted() const {
    if (!problems.isEmpty() || documents.empty())
        return false;
    for (const CheckedDocument& document : documents) {
        if (!document.accepted)
            return false;
    }
    return true;
}

std::optional<ReleaseReport> CheckRelease(const ReleaseCheckRequest& request,
                                          std::shared_ptr<IDownloader> inner, QString* why) {
    const QString& path = request.versionFile;
    QString error;
    const std::optional<QByteArray> bytes = ReadSmallFile(path, CXmlDocument::kMaxBytes, &error);
    CXmlDocument document;
    if (!bytes || !document.Parse(*bytes)) {
        *why = bytes ? Tr("%1 is not XML that the program reads.").arg(path)
                     : Tr("%1 cannot be read: %2").arg(path, error);
        return std::nullopt;
    }
    const QString identity = QFileInfo(path).completeBaseName();
    const tinyxml2::XMLElement* root = document.Root();
    const FileKind kind = KindOf(root, identity, *bytes);
    if (!OptionsFit(request, kind, why))
        return std::nullopt;
    const auto downloader = std::make_shared<CRecordingDownloader>(inner, request.at);
    ReleaseReport report;
    const bool version = kind == FileKind::Product || kind == FileKind::Own;
    const PublicKeyList keys = ReadPublicKeys(root, version ? FirstChild(root, "Product") : root);
    if (!keys.refusal.isEmpty())
        report.problems += keys.refusal;
    const QString file = QFileInfo(path).absoluteFilePath();
    if (version && !CProductVersion(file).ParseLocal(*bytes)) {
        *why = Tr("%1 names no update information (RemoteVersionFileURL and "
                  "RemoteVersionFile on its Product element).")
                   .arg(path);
        return std::nullopt;
    }
    if (kind == FileKind::Own) {
        std::shared_ptr<Products> list;
        if (!request.productList.isEmpty() && !(list = ReadLocalList(request.productList, why)))
            return std::nullopt;
        report.kind = Tr("the program's own version file");
        CheckOwn(file, *bytes, list.get(), downloader, report);
    } else if (kind == FileKind::Product) {
        report.kind = Tr("the version file of the product \"%1\"").arg(identity);
        CheckProduct(file, *bytes, identity, downloader, report);
    } else if (kind == FileKind::Notice) {
        if (!Notification().ParseLocal(*bytes)) {
            *why = Tr("%1 names no notice (URL and File on its root element).").arg(path);
            return std::nullopt;
        }
        report.kind = Tr("the local file of the notice \"%1\"").arg(identity);
        CheckNotice(*bytes, identity, keys, downloader, report);
    } else {
        const std::shared_ptr<GalleryVersion> pack = FindGalleryPack(request, why);
        if (!pack)
            return std::nullopt;
        report.kind = Tr("the installed categories of the gallery pack \"%1\"").arg(pack->GetId());
        CheckGallery(*pack, *bytes, keys, downloader, report);
    }
    return report;
}

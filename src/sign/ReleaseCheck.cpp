#include "sign/ReleaseCheck.h"

#include "catalogue/CheckFailure.h"
#include "catalogue/Notification.h"
#include "catalogue/ProductVersion.h"
#include "catalogue/WebPage.h"
#include "catalogue/XmlDocument.h"
#include "platform/FilePath.h"
#include "platform/XmlDocument.h"
#include "sign/RecordingDownloader.h"
#include "sign/WholeFile.h"
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

// The program's own version file: its update information as the self-update reads it, then
// the installer it offers, checked as the self-update checks it before it starts it.
void CheckOwn(const QString& path, const QByteArray& bytes,
              const std::shared_ptr<CRecordingDownloader>& downloader, ReleaseReport& report) {
    CUpdaterVersion reader(path);
    reader.SetDownloader(downloader);
    reader.ParseLocal(bytes);
    const bool read = reader.ReadRemote();
    report.documents.push_back(Judge(*downloader, Tr("the program's own update information"),
                                     reader.RemoteAddress(), read, reader.RemoteFailure(),
                                     reader.PublicKeys(), kUpdateInformationItem));
    if (!read || reader.GetUpdateInstallFile().isEmpty())
        return;
    CheckedDocument installer;
    installer.what = Tr("the program's installer");
    const QString address = JoinUrl(reader.GetUpdateInstallURL(), reader.GetUpdateInstallFile());
    installer.address = downloader->Relocated(address);
    installer.accepted = reader.DownloadInstaller();
    if (installer.accepted) {
        // Checked, never started: the copy goes.
        FilePath(reader.InstallerPath()).DeleteFile();
        installer.signature.status = SignatureStatus::NoKey;
    } else {
        installer.reason = reader.InstallerRefusal().isEmpty()
                               ? DescribeFailure(downloader->GetLastFailure())
                               : reader.InstallerRefusal();
    }
    report.documents.push_back(installer);
    report.notes += Tr("The product list is not checked: its address is in productlist.xml, "
                       "not in this file.");
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

std::optional<ReleaseReport> CheckRelease(const QString& path, const QString& at,
                                          std::shared_ptr<IDownloader> inner, QString* why) {
    QString error;
    const std::optional<QByteArray> bytes = ReadSmallFile(path, CXmlDocument::kMaxBytes, &error);
    CXmlDocument document;
    if (!bytes || !document.Parse(*bytes)) {
        *why = bytes ? Tr("%1 is not XML that the program reads.").arg(path)
                     : Tr("%1 cannot be read: %2").arg(path, error);
        return std::nullopt;
    }
    const auto downloader = std::make_shared<CRecordingDownloader>(std::move(inner), at);
    // The program knows a version file by its name: the products' by their BaseXml, its own
    // as OrvexProductUpdate, a notice's by its BaseXML.
    const QString identity = QFileInfo(path).completeBaseName();
    const tinyxml2::XMLElement* root = document.Root();
    const QString rootName = QString::fromUtf8(root->Name());
    ReleaseReport report;
    const tinyxml2::XMLElement* place =
        rootName == QLatin1String("Version") ? FirstChild(root, "Product") : root;
    const PublicKeyList keys = ReadPublicKeys(root, place);
    if (!keys.refusal.isEmpty())
        report.problems += keys.refusal;
    if (rootName == QLatin1String("Version")) {
        const QString file = QFileInfo(path).absoluteFilePath();
        if (!CProductVersion(file).ParseLocal(*bytes)) {
            *why = Tr("%1 names no update information (RemoteVersionFileURL and "
                      "RemoteVersionFile on its Product element).")
                       .arg(path);
            return std::nullopt;
        }
        if (identity == kProgramIdentity) {
            report.kind = Tr("the program's own version file");
            CheckOwn(file, *bytes, downloader, report);
        } else {
            report.kind = Tr("the version file of the product \"%1\"").arg(identity);
            CheckProduct(file, *bytes, identity, downloader, report);
        }
    } else if (rootName == QLatin1String("Notification")) {
        report.kind = Tr("the local file of the notice \"%1\"").arg(identity);
        if (!Notification().ParseLocal(*bytes)) {
            *why = Tr("%1 names no notice (URL and File on its root element).").arg(path);
            return std::nullopt;
        }
        CheckNotice(*bytes, identity, keys, downloader, report);
    } else {
        *why = Tr("%1 is no version file that orvex-sign check knows: a product's or the "
                  "program's own (<Version>), or a notice's (<Notification>).")
                   .arg(path);
        return std::nullopt;
    }
    return report;
}

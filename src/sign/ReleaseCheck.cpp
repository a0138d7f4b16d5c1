#include "sign/ReleaseCheck.h"

#include "catalogue/CheckFailure.h"
#include "catalogue/Notification.h"
#include "catalogue/ProductVersion.h"
#include "catalogue/WebPage.h"
#include "catalogue/XmlDocument.h"
#include "platform/XmlDocument.h"
#include "sign/WholeFile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QUrl>

#include <functional>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("ReleaseCheck", text);
}

constexpr const char* kKeyAttribute = "UpdatePublicKey";

// Every attribute that names a key in another place or another spelling than the one the
// program reads (counts: the element whose exact "UpdatePublicKey" the reader takes). The
// program would not take such a key, so the maker's documents would not be checked with it.
QStringList MisplacedKeys(const tinyxml2::XMLElement* element, const tinyxml2::XMLElement* counts) {
    QStringList found;
    for (const tinyxml2::XMLAttribute* attribute = element->FirstAttribute(); attribute;
         attribute = attribute->Next()) {
        const QString name = QString::fromUtf8(attribute->Name());
        if (name.compare(QLatin1String(kKeyAttribute), Qt::CaseInsensitive) != 0)
            continue;
        if (element == counts && name == QLatin1String(kKeyAttribute))
            continue;
        found += element == counts
                     ? Tr("The attribute \"%1\" on the element <%2> is spelt in another case than "
                          "\"UpdatePublicKey\"; the program does not read it.")
                           .arg(name, QString::fromUtf8(element->Name()))
                     : Tr("The attribute \"%1\" is on the element <%2> (line %3), where the "
                          "program does not read it; it counts only on <%4>.")
                           .arg(name, QString::fromUtf8(element->Name()))
                           .arg(element->GetLineNum())
                           .arg(counts ? QString::fromUtf8(counts->Name()) : QStringLiteral("?"));
    }
    for (const tinyxml2::XMLElement* child = element->FirstChildElement(); child;
         child = child->NextSiblingElement())
        found += MisplacedKeys(child, counts);
    return found;
}

// The address of the document at the folder address "at" instead of where the file names it.
QString Relocated(const QString& address, const QString& at) {
    if (at.isEmpty())
        return address;
    const QString name = QUrl(address).fileName();
    return JoinUrl(at.endsWith(u'/') ? at : at + u'/', name);
}

// Fetches one document and judges it as the program does: its signature with the keys of the
// installed file (CheckDocumentSignature, remembered under identity), then its content
// with the program's reader (read).
CheckedDocument CheckDocument(IDownloader& downloader, const QString& what, const QString& address,
                              const QString& keys, const QString& identity,
                              CheckFailure::Kind signatureKind,
                              const std::function<CheckFailure(const QByteArray&)>& read,
                              const QDate& today) {
    CheckedDocument document;
    document.what = what;
    document.address = address;
    QByteArray bytes;
    DownloadFailure failed;
    if (!FetchDocument(downloader, address, bytes, failed)) {
        document.reason = DescribeFailure(failed);
        return document;
    }
    document.signature = CheckDocumentSignature(downloader, address, bytes, keys, identity);
    if (!document.signature.Accepted()) {
        document.reason = DescribeFailure(CheckFailure(signatureKind, {}, {}, document.signature));
        return document;
    }
    const CheckFailure content = read(bytes);
    if (content.kind != CheckFailure::None) {
        document.reason = DescribeFailure(content);
        return document;
    }
    document.accepted = true;
    if (document.signature.expires) {
        const qint64 days = today.daysTo(*document.signature.expires);
        if (days < kExpiryWarningDays)
            document.expiresIn = days;
    }
    return document;
}
} // namespace

bool ReleaseReport::AllAccepted() const {
    if (!problems.isEmpty())
        return false;
    for (const CheckedDocument& document : documents) {
        if (!document.accepted)
            return false;
    }
    return true;
}

std::optional<ReleaseReport> CheckRelease(const QString& path, const QString& at,
                                          IDownloader& downloader, const QDate& today,
                                          QString* why) {
    QString error;
    const std::optional<QByteArray> bytes = ReadSmallFile(path, CXmlDocument::kMaxBytes, &error);
    CXmlDocument document;
    if (!bytes || !document.Parse(*bytes)) {
        *why = bytes ? Tr("%1 is not XML that the program reads.").arg(path)
                     : Tr("%1 cannot be read: %2").arg(path, error);
        return std::nullopt;
    }
    // The program knows a version file by its name: the products' by their BaseXml, its own
    // as OrvexProductUpdate, a notice's by its BaseXML.
    const QString identity = QFileInfo(path).completeBaseName();
    const QString root = QString::fromUtf8(document.Root()->Name());
    ReleaseReport report;
    if (root == QLatin1String("Version")) {
        const bool own = identity == QLatin1String("OrvexProductUpdate");
        report.kind = own ? Tr("the program's own version file")
                          : Tr("the version file of the product \"%1\"").arg(identity);
        report.problems = MisplacedKeys(document.Root(), FirstChild(document.Root(), "Product"));
        auto reader = std::make_shared<CProductVersion>(path);
        reader->SetSequenceName(identity);
        if (!reader->ParseLocal(*bytes)) {
            *why = Tr("%1 names no update information (RemoteVersionFileURL and "
                      "RemoteVersionFile on its Product element).")
                       .arg(path);
            return std::nullopt;
        }
        report.documents.push_back(CheckDocument(
            downloader,
            own ? Tr("the program's own update information") : Tr("the update information"),
            Relocated(reader->RemoteAddress(), at), reader->UpdatePublicKey(), identity,
            CheckFailure::Signature,
            [reader](const QByteArray& information) {
                reader->ParseRemote(information);
                return reader->RemoteFailure();
            },
            today));
        if (own)
            report.notes += Tr("The product list and the program's installer are not checked: "
                               "their addresses are not in this file.");
    } else if (root == QLatin1String("Notification")) {
        report.kind = Tr("the local file of the notice \"%1\"").arg(identity);
        report.problems = MisplacedKeys(document.Root(), document.Root());
        auto notice = std::make_shared<Notification>();
        if (!notice->ParseLocal(*bytes)) {
            *why = Tr("%1 names no notice (URL and File on its root element).").arg(path);
            return std::nullopt;
        }
        report.documents.push_back(CheckDocument(
            downloader, Tr("the notice"), Relocated(notice->GetUpdateAddress(), at),
            notice->UpdatePublicKey(), identity, CheckFailure::NoticeSignature,
            [notice](const QByteArray& published) {
                return notice->ParseNotice(published)
                           ? CheckFailure()
                           : CheckFailure(CheckFailure::NoticeNotUnderstood);
            },
            today));
    } else {
        *why = Tr("%1 is no version file that orvex-sign check knows: a product's or the "
                  "program's own (<Version>), or a notice's (<Notification>).")
                   .arg(path);
        return std::nullopt;
    }
    return report;
}

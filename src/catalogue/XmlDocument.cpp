#include "catalogue/XmlDocument.h"

#include "net/IDownloader.h"
#include "platform/FilePath.h"
#include "signing/Minisign.h"
#include "signing/SignatureReport.h"
#include "signing/SignatureSequence.h"

#include <QCoreApplication>

const tinyxml2::XMLElement* FirstChild(const tinyxml2::XMLElement* element, const char* name) {
    return element ? element->FirstChildElement(name) : nullptr;
}

CAtlString Attribute(const tinyxml2::XMLElement* element, const char* name) {
    const char* value = element ? element->Attribute(name) : nullptr;
    return value ? QString::fromLocal8Bit(value) : CAtlString();
}

CAtlString Utf8Attribute(const tinyxml2::XMLElement* element, const char* name) {
    const char* value = element ? element->Attribute(name) : nullptr;
    return value ? QString::fromUtf8(value) : CAtlString();
}

bool TakeDocument(const CAtlString& path, QByteArray& bytes) {
    if (path.isEmpty())
        return false;
    bytes = ReadDocumentFile(path);
    // The copy is of no use once read, whatever it held.
    FilePath(path).DeleteFile();
    return true;
}

bool FetchDocument(IDownloader& downloader, const CAtlString& url, QByteArray& bytes,
                   DownloadFailure& failure) {
    if (TakeDocument(downloader.Download(url, 1, 0), bytes))
        return true;
    failure = downloader.GetLastFailure();
    return false;
}

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("XmlDocument", text);
}

// The first attribute below element (itself included) spelt "UpdatePublicKey" in any case
// that is not exactly the one on place.
const tinyxml2::XMLAttribute* MisplacedKey(const tinyxml2::XMLElement* element,
                                           const tinyxml2::XMLElement* place,
                                           const tinyxml2::XMLElement*& owner) {
    static const char* const kName = "UpdatePublicKey";
    for (const tinyxml2::XMLAttribute* attribute = element->FirstAttribute(); attribute;
         attribute = attribute->Next()) {
        if (QByteArray(attribute->Name()).compare(kName, Qt::CaseInsensitive) == 0 &&
            (element != place || qstrcmp(attribute->Name(), kName) != 0)) {
            owner = element;
            return attribute;
        }
    }
    for (const tinyxml2::XMLElement* child = element->FirstChildElement(); child;
         child = child->NextSiblingElement()) {
        if (const tinyxml2::XMLAttribute* found = MisplacedKey(child, place, owner))
            return found;
    }
    return nullptr;
}
} // namespace

PublicKeyList ReadPublicKeys(const tinyxml2::XMLElement* root, const tinyxml2::XMLElement* place) {
    const tinyxml2::XMLElement* owner = nullptr;
    if (const tinyxml2::XMLAttribute* misplaced = root ? MisplacedKey(root, place, owner) : nullptr)
        return PublicKeyList::Refused(
            Tr("The local file has the attribute \"%1\" on the element <%2>, where no key is "
               "read; a key belongs in \"UpdatePublicKey\" on <%3>.")
                .arg(QString::fromUtf8(misplaced->Name()), QString::fromUtf8(owner->Name()),
                     place ? QString::fromUtf8(place->Name()) : QString()));
    return PublicKeyList::FromText(Attribute(place, "UpdatePublicKey"));
}

QStringList CheckAddresses(const CAtlString& address, const PublicKeyList& keys) {
    if (address.isEmpty())
        return {};
    if (keys.keys.empty())
        return {address};
    return {address, address + QStringLiteral(".minisig")};
}

SignatureCheck CheckDocumentSignature(IDownloader& downloader, const CAtlString& url,
                                      const QByteArray& bytes, const PublicKeyList& keys,
                                      const SignedItem& item) {
    // Unusable keys refuse the document whatever its signature, which is then not fetched.
    SignatureCheck check;
    if (keys.keys.empty()) {
        check = VerifySignature(bytes, std::nullopt, keys, item, TodayUtc());
    } else {
        const std::optional<QByteArray> signature =
            ReadSignatureFile(downloader.Download(url + QStringLiteral(".minisig"), 1, 0));
        check = AcceptSequence(VerifySignature(bytes, signature, keys, item, TodayUtc()));
    }
    ReportSignature(url, check);
    return check;
}

bool FetchSignedDocument(IDownloader& downloader, const CAtlString& url, const PublicKeyList& keys,
                         const SignedItem& item, CheckFailure::Kind signatureKind,
                         QByteArray& bytes, CheckFailure& failure) {
    failure = {CheckFailure::Download};
    if (!FetchDocument(downloader, url, bytes, failure.download))
        return false;
    SignatureCheck check = CheckDocumentSignature(downloader, url, bytes, keys, item);
    if (check.Accepted())
        return true;
    failure = {signatureKind, {}, {}, std::move(check)};
    return false;
}

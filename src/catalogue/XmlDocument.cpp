#include "catalogue/XmlDocument.h"

#include "net/IDownloader.h"
#include "platform/FilePath.h"
#include "signing/Minisign.h"
#include "signing/SignatureSequence.h"

#include <QDate>

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

bool FetchesSignature(const QString& keys) {
    // Text that is no key list at all is refused by the check, signature or not.
    const auto parsed = ParsePublicKeys(keys);
    return !parsed || !parsed->empty();
}

QStringList CheckAddresses(const CAtlString& address, const QString& keys) {
    if (address.isEmpty())
        return {};
    if (!FetchesSignature(keys))
        return {address};
    return {address, address + QStringLiteral(".minisig")};
}

SignatureCheck CheckDocumentSignature(IDownloader& downloader, const CAtlString& url,
                                      const QByteArray& bytes, const QString& keys,
                                      const QString& sequenceName) {
    if (!FetchesSignature(keys))
        return {};
    const std::optional<QByteArray> signature =
        ReadSignatureFile(downloader.Download(url + QStringLiteral(".minisig"), 1, 0));
    return AcceptSequence(sequenceName,
                          VerifySignature(bytes, signature, keys, QDate::currentDate()));
}

bool FetchSignedDocument(IDownloader& downloader, const CAtlString& url, const QString& keys,
                         const QString& sequenceName, CheckFailure::Kind signatureKind,
                         QByteArray& bytes, CheckFailure& failure) {
    failure = {CheckFailure::Download};
    if (!FetchDocument(downloader, url, bytes, failure.download))
        return false;
    SignatureCheck check = CheckDocumentSignature(downloader, url, bytes, keys, sequenceName);
    if (check.Accepted())
        return true;
    failure = {signatureKind, {}, {}, std::move(check)};
    return false;
}

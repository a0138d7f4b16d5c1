#pragma once

#include "catalogue/CheckFailure.h"
#include "net/DownloadFailure.h"
#include "platform/AtlString.h"
#include "platform/XmlDocument.h"
#include "signing/SignatureCheck.h"

#include <QByteArray>

class IDownloader;

// The catalogue's readers over CXmlDocument: element and attribute access, and documents
// fetched from the network.

// The first child element named name (case-sensitive), or null; null element gives null.
const tinyxml2::XMLElement* FirstChild(const tinyxml2::XMLElement* element, const char* name);
// An attribute in the system's 8-bit encoding (UTF-8 here); missing reads as empty.
CAtlString Attribute(const tinyxml2::XMLElement* element, const char* name);
// An attribute that is always UTF-8, whatever the system's encoding.
CAtlString Utf8Attribute(const tinyxml2::XMLElement* element, const char* name);
// The one way a fetched document is taken in: reads the downloaded copy at path as
// ReadDocumentFile does and deletes it, whatever it held. False, with nothing read, for an
// empty path, which is what a failed download returns.
bool TakeDocument(const CAtlString& path, QByteArray& bytes);
// Downloads url and takes the copy. False when nothing arrived; failure then says why.
bool FetchDocument(IDownloader& downloader, const CAtlString& url, QByteArray& bytes,
                   DownloadFailure& failure);
// The keys a local file names for the documents it points to, read once as the file is read:
// the attribute "UpdatePublicKey" of place. Any attribute of that name in any case elsewhere
// in the document, or on place in another case, makes the list refused, naming the attribute
// and where it was found: a key meant to guard something must never silently guard nothing.
PublicKeyList ReadPublicKeys(const tinyxml2::XMLElement* root, const tinyxml2::XMLElement* place);
// Whether a fetched document's bytes count, when keys (read from the installed file that
// points to it) require a signature: "url.minisig", fetched through downloader, must verify
// over exactly these bytes for item, and its sequence is accepted (AcceptSequence). NoKey,
// with nothing fetched, when keys name none: unsigned documents cost no extra request; keys
// that could not be read refuse the document, also without fetching.
SignatureCheck CheckDocumentSignature(IDownloader& downloader, const CAtlString& url,
                                      const QByteArray& bytes, const PublicKeyList& keys,
                                      const SignedItem& item);
// What a check that fetches address and verifies it against keys asks for: the address, then
// its signature when the keys name one; nothing for an empty address.
QStringList CheckAddresses(const CAtlString& address, const PublicKeyList& keys);
// FetchDocument, then CheckDocumentSignature: true when the document arrived and counts.
// Otherwise failure says why: a Download failure, or signatureKind with the refused check.
bool FetchSignedDocument(IDownloader& downloader, const CAtlString& url, const PublicKeyList& keys,
                         const SignedItem& item, CheckFailure::Kind signatureKind,
                         QByteArray& bytes, CheckFailure& failure);

#pragma once

#include "platform/AtlString.h"
#include "platform/XmlDocument.h"

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
// Downloads url, reads the copy as ReadDocumentFile does and deletes it, whatever it held.
// False when nothing arrived; failure then holds the downloader's reason.
bool FetchDocument(IDownloader& downloader, const CAtlString& url, QByteArray& bytes,
                   QString& failure);

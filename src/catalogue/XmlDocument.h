#pragma once

#include "platform/AtlString.h"

#include <QByteArray>

#include <tinyxml2.h>

class IDownloader;

// The one way the catalogue reads XML: product lists, version files and update information
// come from disk and from the network, so a document is parsed only from a bounded number of
// bytes with a bounded amount of markup. tinyxml2 itself limits the nesting depth.
class CXmlDocument {
public:
    // Larger documents are refused before parsing: no list or version file comes near it.
    static constexpr qsizetype kMaxBytes = 16 * 1024 * 1024;
    // A parsed element costs far more memory than its text, so the markup is counted first;
    // no list or update information the maker publishes has thousands of elements.
    static constexpr qsizetype kMaxMarkup = 5000;

    // True when bytes held a well-formed document with a root element.
    bool Parse(const QByteArray& bytes);
    const tinyxml2::XMLElement* Root() const { return m_document.RootElement(); }

private:
    tinyxml2::XMLDocument m_document;
};

// The first child element named name (case-sensitive), or null; null element gives null.
const tinyxml2::XMLElement* FirstChild(const tinyxml2::XMLElement* element, const char* name);
// An attribute in the system's 8-bit encoding (UTF-8 here); missing reads as empty.
CAtlString Attribute(const tinyxml2::XMLElement* element, const char* name);
// An attribute that is always UTF-8, whatever the system's encoding.
CAtlString Utf8Attribute(const tinyxml2::XMLElement* element, const char* name);
// The whole of a file read as bytes, as the readers take it; empty when the file is
// missing, unreadable or larger than any document this program reads.
QByteArray ReadDocumentFile(const CAtlString& path);
// Downloads url, reads the copy as ReadDocumentFile does and deletes it, whatever it held.
// False when nothing arrived; failure then holds the downloader's reason.
bool FetchDocument(IDownloader& downloader, const CAtlString& url, QByteArray& bytes,
                   QString& failure);

#pragma once

#include "platform/AtlString.h"

#include <QByteArray>

#include <tinyxml2.h>

// The one way the program parses XML: product lists, version files, update information,
// notices, gallery files and the language catalogue come from disk, from the network or from
// folders an administrator's setting names, so a document is parsed only from a bounded
// number of bytes with a bounded amount of markup and of attributes. tinyxml2 itself limits
// the nesting depth.
class CXmlDocument {
public:
    // Larger documents are refused before parsing: no list or version file comes near it.
    static constexpr qsizetype kMaxBytes = 16 * 1024 * 1024;
    // A parsed element costs far more memory than its text, so the markup is counted first;
    // no list or update information the maker publishes has thousands of elements.
    static constexpr qsizetype kMaxMarkup = 5000;
    // tinyxml2 compares each attribute of an element with every earlier one, so one element
    // with 80,000 attributes takes many seconds to parse: attributes are counted before
    // parsing, per element and in all. The maker's documents use a handful per element.
    static constexpr qsizetype kMaxElementAttributes = 100;
    static constexpr qsizetype kMaxAttributes = 20000;

    // Why the last Parse gave no document.
    enum class Refusal { None, Empty, TooLarge, TooMuchMarkup, TooManyAttributes, NotWellFormed };

    // True when bytes held a well-formed document with a root element within the bounds.
    bool Parse(const QByteArray& bytes);
    Refusal LastRefusal() const { return m_refusal; }
    const tinyxml2::XMLElement* Root() const { return m_document.RootElement(); }

private:
    tinyxml2::XMLDocument m_document;
    Refusal m_refusal = Refusal::None;
};

// The whole of a file read as bytes, as the readers take it; empty when the file is
// missing, unreadable or larger than any document this program reads.
QByteArray ReadDocumentFile(const CAtlString& path);

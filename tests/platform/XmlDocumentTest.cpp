#include "platform/XmlDocument.h"

#include <gtest/gtest.h>

namespace {

using Refusal = CXmlDocument::Refusal;

// An element with count attributes, each value being value.
QByteArray Element(int count, const QByteArray& value = {}) {
    QByteArray element = "<e";
    for (int i = 0; i < count; ++i)
        element += " a" + QByteArray::number(i) + "=\"" + value + "\"";
    return element + "/>";
}

// The attributes are counted as tinyxml2 reads them, before it parses: what looks like an
// attribute in a value, a text, a comment or a declaration is none, and a "<" or ">" in a
// value hides none.
TEST(XmlDocument, RefusesMoreAttributesThanTheBoundsBeforeParsing) {
    const int perElement = static_cast<int>(CXmlDocument::kMaxElementAttributes);
    const QByteArray elements =
        Element(perElement)
            .repeated(static_cast<int>(CXmlDocument::kMaxAttributes /
                                       CXmlDocument::kMaxElementAttributes));
    const QByteArray noise = "<!-- a=b c=d --><![CDATA[ p=q ]]>t=u";
    // "<r>", the empty elements and "</r>": exactly the markup bound's count of "<".
    const QByteArray markup = "<r>" + QByteArray("<e/>").repeated(CXmlDocument::kMaxMarkup - 2);
    // clang-format off
    const struct { const char* name; QByteArray document; Refusal refusal; } rows[] = {
        {"ElementAtItsBound", "<r>" + Element(perElement) + "</r>", Refusal::None},
        {"ElementOverItsBound", "<r>" + Element(perElement + 1) + "</r>", Refusal::TooManyAttributes},
        {"DocumentAtItsBound", "<r>" + elements + "</r>", Refusal::None},
        {"DocumentOverItsBound", "<r>" + elements + "<e x=''/></r>", Refusal::TooManyAttributes},
        {"EqualsOutsideAttributesNotCounted", "<?xml version=\"1.0\"?><?pi x=y?><r>" + noise + Element(perElement, "k=v ' x=y") + "</r>", Refusal::None},
        {"MarkupInValuesHidesNothing", "<r>" + Element(perElement + 1, "<>") + "</r>", Refusal::TooManyAttributes},
        {"NotWellFormed", "<r>", Refusal::NotWellFormed},
        {"MarkupAtItsBound", markup + "</r>", Refusal::None},
        {"MarkupOverItsBound", markup + "<e/></r>", Refusal::TooMuchMarkup},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CXmlDocument document;
        EXPECT_EQ(document.Parse(row.document), row.refusal == Refusal::None);
        EXPECT_EQ(document.LastRefusal(), row.refusal);
    }
}

} // namespace

#include "platform/XmlDocument.h"

#include "platform/FilePath.h"

#include <cstring>
#include <memory>
#include <string_view>

namespace {
// Whether bytes hold no more attributes than the bounds allow, counted the way tinyxml2 reads
// them: an attribute is the one "=" outside quotes in a tag, between its "<" and its ">".
// Closing tags count too, as tinyxml2 reads attributes there before it refuses them.
// Comments, CDATA sections, declarations and processing instructions hold none; text ends at
// the next "<". Anything this scan misreads tinyxml2 refuses as not well-formed.
bool WithinAttributeBounds(std::string_view text) {
    qsizetype total = 0;
    for (size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at)) {
        const std::string_view rest = text.substr(at);
        size_t end = std::string_view::npos;
        if (rest.starts_with("<!--"))
            end = text.find("-->", at + 4);
        else if (rest.starts_with("<![CDATA["))
            end = text.find("]]>", at + 9);
        else if (rest.starts_with("<?"))
            end = text.find("?>", at + 2);
        else if (rest.starts_with("<!"))
            end = text.find('>', at + 2);
        else {
            qsizetype inTag = 0;
            char quote = 0;
            for (end = at + 1; end < text.size(); ++end) {
                const char c = text[end];
                if (quote != 0) {
                    if (c == quote)
                        quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '=') {
                    if (++inTag > CXmlDocument::kMaxElementAttributes ||
                        ++total > CXmlDocument::kMaxAttributes)
                        return false;
                } else if (c == '>') {
                    break;
                }
            }
        }
        if (end == std::string_view::npos || end >= text.size())
            break;
        at = end + 1;
    }
    return true;
}
} // namespace

bool CXmlDocument::Parse(const QByteArray& bytes) {
    m_document.Clear();
    const std::string_view text(bytes.constData(), static_cast<size_t>(bytes.size()));
    if (bytes.isEmpty())
        m_refusal = Refusal::Empty;
    else if (bytes.size() > kMaxBytes)
        m_refusal = Refusal::TooLarge;
    else if (bytes.count('<') > kMaxMarkup)
        m_refusal = Refusal::TooMuchMarkup;
    else if (!WithinAttributeBounds(text))
        m_refusal = Refusal::TooManyAttributes;
    else if (m_document.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS ||
             m_document.RootElement() == nullptr)
        m_refusal = Refusal::NotWellFormed;
    else
        m_refusal = Refusal::None;
    return m_refusal == Refusal::None;
}

QByteArray ReadDocumentFile(const CAtlString& path) {
    std::unique_ptr<char[]> buffer;
    const int32_t size = FilePath(path).ReadAll(buffer);
    if (size <= 0 || size > CXmlDocument::kMaxBytes)
        return {};
    return QByteArray(buffer.get(), size);
}

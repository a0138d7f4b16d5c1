#include "catalogue/XmlDocument.h"

#include "net/IDownloader.h"
#include "platform/FilePath.h"

#include <memory>

bool CXmlDocument::Parse(const QByteArray& bytes) {
    m_document.Clear();
    if (bytes.isEmpty() || bytes.size() > kMaxBytes || bytes.count('<') > kMaxMarkup)
        return false;
    return m_document.Parse(bytes.constData(), static_cast<size_t>(bytes.size())) ==
               tinyxml2::XML_SUCCESS &&
           m_document.RootElement() != nullptr;
}

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

QByteArray ReadDocumentFile(const CAtlString& path) {
    std::unique_ptr<char[]> buffer;
    const int32_t size = FilePath(path).ReadAll(buffer);
    if (size <= 0 || size > CXmlDocument::kMaxBytes)
        return {};
    return QByteArray(buffer.get(), size);
}

bool FetchDocument(IDownloader& downloader, const CAtlString& url, QByteArray& bytes,
                   QString& failure) {
    const FilePath copy(downloader.Download(url, 1, 0));
    if (!copy.Exists()) {
        failure = downloader.GetLastFailureReason();
        return false;
    }
    bytes = ReadDocumentFile(copy.Text());
    // The copy is of no use once read.
    copy.DeleteFile();
    return true;
}

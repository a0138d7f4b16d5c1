#include "catalogue/XmlDocument.h"

#include "net/IDownloader.h"
#include "platform/FilePath.h"

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

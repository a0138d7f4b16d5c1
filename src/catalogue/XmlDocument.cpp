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

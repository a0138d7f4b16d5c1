#include "catalogue/ProductVersion.h"

#include "net/IDownloader.h"

CAtlString CProductVersion::FetchRemote() {
    if (m_downloader == nullptr)
        return {};
    return m_downloader->Download(RemoteUrl() + RemoteFile(), 1, 0);
}

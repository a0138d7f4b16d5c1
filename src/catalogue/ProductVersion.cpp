#include "catalogue/ProductVersion.h"

#include "net/IDownloader.h"

CAtlString CProductVersion::FetchRemote() {
    if (m_downloader == nullptr)
        return {};
    const CAtlString path = m_downloader->Download(RemoteUrl() + RemoteFile(), 1, 0);
    if (path.isEmpty())
        SetRemoteFailure(m_downloader->GetLastFailure());
    return path;
}

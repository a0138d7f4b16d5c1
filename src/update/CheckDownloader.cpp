#include "update/CheckDownloader.h"

CCheckDownloader::CCheckDownloader(std::shared_ptr<IDownloader> downloader)
    : m_downloader(std::move(downloader)) {}

CAtlString CCheckDownloader::Download(const CAtlString& url, int32_t option1, int32_t option2) {
    m_refused = m_cancelled;
    return m_refused ? CAtlString() : m_downloader->Download(url, option1, option2);
}

CAtlString CCheckDownloader::DownloadInstaller(const CAtlString& url) {
    m_refused = m_cancelled;
    return m_refused ? CAtlString() : m_downloader->DownloadInstaller(url);
}

void CCheckDownloader::Prefetch(const QStringList& urls) {
    if (!m_cancelled)
        m_downloader->Prefetch(urls);
}

void CCheckDownloader::Cancel() {
    m_cancelled = true;
    m_downloader->Cancel();
}

DownloadFailure CCheckDownloader::GetLastFailure() {
    return m_refused ? DownloadFailure{DownloadFailure::Cancelled, {}, {}, {}, {}}
                     : m_downloader->GetLastFailure();
}

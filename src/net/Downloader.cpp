#include "net/Downloader.h"

void Downloader::SetProxyHandler(std::shared_ptr<ProxyHandlerBase> handler) {
    m_proxyHandler = std::move(handler);
}

CAtlString Downloader::Download(const CAtlString&, int32_t, int32_t) {
    return {};
}

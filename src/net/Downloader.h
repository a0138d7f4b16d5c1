#pragma once

#include "net/IDownloader.h"

// Stand-in until the HTTP engine exists: every download fails.
class Downloader : public IDownloader {
public:
    void SetProxyHandler(std::shared_ptr<ProxyHandlerBase> handler) override;
    CAtlString Download(const CAtlString& url, int32_t option1, int32_t option2) override;

private:
    std::shared_ptr<ProxyHandlerBase> m_proxyHandler;
};

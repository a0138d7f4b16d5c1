#pragma once

#include "net/IDownloader.h"

#include <memory>

// Walks every product through a check. Stand-in until the product catalogue exists: the
// list is empty, so a check finds nothing and counts as not succeeded.
class CProductListController {
public:
    virtual ~CProductListController() = default;

    bool LoadProductList();
    void SetDownloader(std::shared_ptr<IDownloader> downloader) {
        m_downloader = std::move(downloader);
    }
    bool RefreshProductList();
    void FindInstalledAll();
    void CheckAll();
    bool CheckSucceeded() const { return m_checkSucceeded; }
    bool HasFindings() const { return m_hasFindings; }

private:
    std::shared_ptr<IDownloader> m_downloader;
    bool m_checkSucceeded = false;
    bool m_hasFindings = false;
};

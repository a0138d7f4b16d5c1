#pragma once

#include "catalogue/Product.h"

#include <functional>
#include <memory>

class IDownloader;
class Products;

// Walks every product of the run's list through a check: chooses the list, refreshes it
// from the address it names, lets every product find what is installed, checks each one
// while telling the window before and after it, and answers whether the check succeeded
// and found anything worth showing. Shows nothing itself. Interface thread only; CheckAll
// blocks on the downloads while events keep flowing, and must not be re-entered.
class CProductListController {
public:
    using ProductCallback = std::function<void(const std::shared_ptr<IProduct>&)>;

    CProductListController();
    virtual ~CProductListController();

    // Reads both copies of the list anew and keeps the better one; its loaded flag.
    bool LoadProductList();
    void SetDownloader(std::shared_ptr<IDownloader> downloader) {
        m_downloader = std::move(downloader);
    }
    // Downloads the list from its "Url" and adopts the copy when its version is greater,
    // storing it beside the program or, failing that, in the common application-data
    // folder. True when a list was fetched and read, newer or not.
    bool RefreshProductList();
    // True when some product found something installed; then applies the rules across
    // products.
    bool FindInstalledAll();
    // True when some product's check succeeded. Calls the checking callback before and the
    // done callback after each product.
    bool CheckAll();
    bool CheckSucceeded() const { return m_checkSucceeded; }
    // Ends a CheckAll under way (called from an event handled during its downloads): the
    // download under way fails soon and no further product is checked.
    void CancelCheck();
    // Some row has an update available that should be shown.
    bool HasFindings() const;
    // The list's products, shared with it.
    ProductList GetProducts() const;

    void SetCheckingCallback(ProductCallback callback) { m_checking = std::move(callback); }
    void SetDoneCallback(ProductCallback callback) { m_done = std::move(callback); }

private:
    std::shared_ptr<Products> m_products;
    std::shared_ptr<IDownloader> m_downloader;
    bool m_checkSucceeded = false;
    bool m_cancelled = false;
    ProductCallback m_checking;
    ProductCallback m_done;
};

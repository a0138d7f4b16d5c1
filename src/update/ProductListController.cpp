#include "update/ProductListController.h"

#include "catalogue/Products.h"
#include "net/IDownloader.h"
#include "platform/Locations.h"

#include <QScopeGuard>

CProductListController::CProductListController() : m_products(std::make_shared<Products>()) {}

CProductListController::~CProductListController() = default;

bool CProductListController::LoadProductList() {
    m_products = LoadBestProductList();
    return m_products->IsLoaded();
}

bool CProductListController::RefreshProductList() {
    if (!m_downloader || !m_products->IsLoaded() || m_products->Url().isEmpty())
        return false;
    const FilePath copy(m_downloader->Download(m_products->Url(), 1, 0));
    // The downloaded copy is only ever read or copied from; it goes on every path.
    const auto remove = qScopeGuard([&copy] { copy.DeleteFile(); });
    if (!copy.Exists())
        return false;

    auto fresh = std::make_shared<Products>();
    if (!fresh->Load(copy.Text()))
        return false;
    if (fresh->Version() > m_products->Version()) {
        // Beside the program first, where the next run's comparison finds it; a program
        // folder the user cannot write sends it to the machine-wide folder instead. When
        // neither can be written the newer list still serves this run.
        if (!copy.CopyTo(ProgramProductListPath(), false)) {
            const FilePath common = CommonProductListPath();
            common.Folder().CreateDirectories();
            copy.CopyTo(common, false);
        }
        m_products = std::move(fresh);
    }
    return true;
}

bool CProductListController::FindInstalledAll() {
    bool found = false;
    for (const auto& product : m_products->Items())
        found = product->FindInstalled() || found;
    for (const auto& product : m_products->Items())
        product->ApplyRules(m_products->Items());
    return found;
}

bool CProductListController::CheckAll() {
    // The callbacks run window code that may reload the list; the products being walked
    // stay alive through this copy.
    const ProductList products = GetProducts();
    if (products.empty()) {
        m_checkSucceeded = false;
        return false;
    }
    bool any = false;
    m_cancelled = false;
    for (const auto& product : products) {
        if (m_cancelled)
            break;
        if (m_checking)
            m_checking(product);
        product->SetDownloader(m_downloader);
        any = product->CheckForUpdates() || any;
        if (m_done)
            m_done(product);
    }
    m_checkSucceeded = any;
    return any;
}

void CProductListController::CancelCheck() {
    m_cancelled = true;
    if (m_downloader)
        m_downloader->Cancel();
}

bool CProductListController::HasFindings() const {
    for (const auto& product : m_products->Items()) {
        for (unsigned i = 0; i < product->GetItemCount(); ++i) {
            if (product->IsUpdateAvailable(i) && product->ShouldNotify(i))
                return true;
        }
    }
    return false;
}

ProductList CProductListController::GetProducts() const {
    return m_products->Items();
}

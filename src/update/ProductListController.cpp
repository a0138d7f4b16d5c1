#include "update/ProductListController.h"

#include "catalogue/Products.h"
#include "catalogue/XmlDocument.h"
#include "net/IDownloader.h"
#include "platform/DataFile.h"
#include "platform/Locations.h"
#include "platform/Settings.h"
#include "update/CheckDownloader.h"
#include "update/RecordKeeper.h"
#include "update/UpdaterVersion.h"

#include <QScopeGuard>

CProductListController::CProductListController() : m_products(std::make_shared<Products>()) {}

CProductListController::~CProductListController() = default;

namespace {
// The stored copies are read by every user of the machine, whatever the umask of the run
// that stored them.
constexpr int kStoredListMode = 0644;
} // namespace

void CProductListController::SetDownloader(std::shared_ptr<IDownloader> downloader) {
    m_downloader = downloader ? std::make_shared<CCheckDownloader>(std::move(downloader)) : nullptr;
}

bool CProductListController::RunCheck(CRecordKeeper* recordKeeper) {
    // Every check starts from new product objects: a product keeps the versions it found and
    // the rows it was given, which a Retry must not add to.
    m_cancelled = false;
    if (m_downloader)
        m_downloader->Reopen();
    LoadProductList();
    RefreshProductList();
    // A window closed while the list was fetched ends the run here, before any product.
    if (m_cancelled) {
        m_checkSucceeded = false;
        return false;
    }
    FindInstalledAll();
    // Started before the window builds its rows, which it does meanwhile.
    FetchAhead();
    const auto dropAhead = qScopeGuard([this] {
        if (m_downloader)
            m_downloader->EndPrefetch();
    });
    if (m_listReady)
        m_listReady();
    const bool succeeded = CheckAll();
    // A check the user ended is no check: the products after the close were never asked,
    // so recording it would skip them for a whole interval.
    if (m_cancelled) {
        m_checkSucceeded = false;
        return false;
    }
    if (recordKeeper)
        recordKeeper->RecordCheck(succeeded);
    return succeeded;
}

bool CProductListController::LoadProductList() {
    m_products = LoadBestProductList();
    if (!m_fetched.isEmpty()) {
        auto fetched = std::make_shared<Products>();
        if (fetched->Parse(m_fetched) && fetched->Version() > m_products->Version())
            m_products = std::move(fetched);
    }
    return m_products->IsLoaded();
}

bool CProductListController::RefreshProductList() {
    m_listFailure = {};
    if (!m_downloader || !m_products->IsLoaded() || m_products->Url().isEmpty())
        return false;
    const FilePath copy(m_downloader->Download(m_products->Url(), 1, 0));
    // The downloaded copy is only ever read or copied from; it goes on every path.
    const auto remove = qScopeGuard([&copy] { copy.DeleteFile(); });
    if (!copy.Exists())
        return false;

    QByteArray bytes = ReadDocumentFile(copy.Text());
    // The list names every address the later runs fetch from, so when the program's own
    // version file names a key, a list its maker did not sign is neither stored nor used.
    CUpdaterVersion own(LocateDataFile(QStringLiteral("OrvexProductUpdate.xml")).Text());
    own.ReadLocal();
    std::shared_ptr<Products> fresh = TakeFetchedProductList(
        *m_downloader, m_products->Url(), bytes, own.PublicKeys(), m_listFailure);
    if (!fresh)
        return false;
    if (fresh->Version() > m_products->Version()) {
        // Beside the program first, where the next run's comparison finds it; a program
        // folder the user cannot write sends it to the machine-wide folder instead. Each copy
        // is put in place whole (a temporary renamed over the old file), so copies of the
        // program run by several users at once leave one of their lists, never a mixture.
        if (!copy.CopyTo(ProgramProductListPath(), false, kStoredListMode)) {
            const FilePath common = CommonProductListPath();
            common.Folder().CreateDirectories();
            copy.CopyTo(common, false, kStoredListMode);
        }
        // When neither could be written the newer list still serves this run: the next
        // LoadProductList of this run chooses it again.
        m_fetched = std::move(bytes);
        m_products = std::move(fresh);
    }
    return true;
}

std::shared_ptr<Products> TakeFetchedProductList(IDownloader& downloader, const CAtlString& url,
                                                 const QByteArray& bytes, const PublicKeyList& keys,
                                                 CheckFailure& failure) {
    failure = {};
    SignatureCheck check = CheckDocumentSignature(downloader, url, bytes, keys, kProductListItem);
    if (!check.Accepted()) {
        failure = {CheckFailure::ListSignature, {}, {}, std::move(check)};
        return nullptr;
    }
    auto list = std::make_shared<Products>();
    if (!list->Parse(bytes)) {
        failure = {CheckFailure::ListNotUnderstood};
        return nullptr;
    }
    return list;
}

bool CProductListController::FindInstalledAll() {
    // Every product looks for its version files in the same folders, which nothing writes
    // while they look.
    const FilePath::ListingCache listings;
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

void CProductListController::FetchAhead() {
    // Every product's update information is fetched at once before the products are
    // checked one after another, each taking its own document from what arrived: the check
    // costs a few round trips instead of one per product, and says and shows what it would
    // fetching them one by one. An administrator whose proxy cannot take that many requests
    // at once sets "FetchOneByOne" to 1 in the machine's settings.
    if (!m_downloader ||
        ReadSettingInt(LocalMachine, QStringLiteral("Software/ORVEX Technologies/Product Update"),
                       QStringLiteral("FetchOneByOne"), 0, nullptr, kRegistryMarker) == 1)
        return;
    QStringList addresses;
    for (const auto& product : m_products->Items())
        addresses << product->GetCheckAddresses();
    m_downloader->Prefetch(addresses);
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

#pragma once

#include "catalogue/Product.h"

#include <QByteArray>

#include <functional>
#include <memory>

struct PublicKeyList;
class CCheckDownloader;
class CRecordKeeper;
class IDownloader;
class Products;

// Walks every product of the run's list through a check: chooses the list, refreshes it
// from the address it names, lets every product find what is installed, checks each one
// while telling the window before and after it, and answers whether the check succeeded
// and found anything worth showing. Shows nothing itself. Interface thread only; CheckAll
// blocks on the downloads while events keep flowing, and must not be re-entered.
//
// RunCheck is the one sequence of a check: the window's Check and Retry and the silent run
// all call it and only show what its callbacks report, so the two runs cannot drift apart.
class CProductListController {
public:
    using ProductCallback = std::function<void(const std::shared_ptr<IProduct>&)>;

    CProductListController();
    virtual ~CProductListController();

    // A whole check: chooses the list (LoadProductList), refreshes it, lets every product
    // find what is installed, calls the list callback, checks every product (CheckAll) and
    // records the result with recordKeeper's clock when one is given. True when some
    // product's check succeeded; a check ended by CancelCheck records nothing and is false.
    bool RunCheck(CRecordKeeper* recordKeeper);

    // Reads both copies of the list anew and keeps the better one; a list that this
    // controller fetched and that is newer than both serves instead, whether or not it could
    // be stored. Every product object is new. Its loaded flag.
    bool LoadProductList();
    // The run's downloader. The list refresh and the products get it through a gate that
    // CancelCheck closes, so that after a cancel no further request starts.
    void SetDownloader(std::shared_ptr<IDownloader> downloader);
    // Downloads the list from its "Url" and adopts the copy when its version is greater,
    // storing it beside the program or, failing that, in the common application-data
    // folder; when neither can be written (an ordinary user's run) the newer list still
    // serves this run, Retry included. True when a list was fetched and read, newer or not.
    // When the program's own version file names a key, a list without a valid signature
    // ("Url.minisig") counts as not read, and ListFailure says why.
    bool RefreshProductList();
    // Why the last RefreshProductList did not take the list it fetched (TakeFetchedProductList);
    // None when it took it or fetched none.
    const CheckFailure& ListFailure() const { return m_listFailure; }
    // True when some product found something installed; then applies the rules across
    // products.
    bool FindInstalledAll();
    // True when some product's check succeeded. Calls the checking callback before and the
    // done callback after each product.
    bool CheckAll();
    bool CheckSucceeded() const { return m_checkSucceeded; }
    // Ends a RunCheck under way (called from an event handled during its downloads): the
    // download under way fails soon and no further product is checked; a close while the
    // list is fetched checks none.
    void CancelCheck();
    // Some row has an update available that should be shown.
    bool HasFindings() const;
    // The list's products, shared with it.
    ProductList GetProducts() const;

    void SetCheckingCallback(ProductCallback callback) { m_checking = std::move(callback); }
    void SetDoneCallback(ProductCallback callback) { m_done = std::move(callback); }
    // Called by RunCheck once the products know what is installed and before the first is
    // checked: the window builds its rows from GetProducts then.
    void SetListCallback(std::function<void()> callback) { m_listReady = std::move(callback); }

private:
    // Hands the downloader every address the products' checks will fetch, to fetch at once
    // ahead of them; RunCheck drops what is left when it ends.
    void FetchAhead();

    std::shared_ptr<Products> m_products;
    std::shared_ptr<CCheckDownloader> m_downloader;
    bool m_checkSucceeded = false;
    bool m_cancelled = false;
    ProductCallback m_checking;
    ProductCallback m_done;
    std::function<void()> m_listReady;
    // The newest list fetched by this controller, as it was served.
    QByteArray m_fetched;
    CheckFailure m_listFailure;
};

// How a check takes the product list it fetched from url: when keys (the program's own,
// ProgramPublicKeys) name one, its signature "url.minisig", fetched through downloader, must
// verify over bytes for "productlist" and its sequence is accepted. The list, or null with
// failure saying why: ListSignature, or ListNotUnderstood for bytes that hold no item.
// RefreshProductList and the makers' release check both take it this way.
std::shared_ptr<Products> TakeFetchedProductList(IDownloader& downloader, const CAtlString& url,
                                                 const QByteArray& bytes, const PublicKeyList& keys,
                                                 CheckFailure& failure);

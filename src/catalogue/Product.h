#pragma once

#include "catalogue/CheckFailure.h"
#include "platform/AtlString.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class IDownloader;
namespace tinyxml2 {
class XMLElement;
}

// Everything the program can check: an installed software product, a gallery content pack
// or a dated notice. An item shows zero or more table rows ("item rows", index i below,
// 0 <= i < GetItemCount()). Held in shared ownership, never copied; every operation runs on
// the interface thread, and CheckForUpdates blocks it while the download keeps its events
// flowing.
//
// The controller calls, in this order: Load at list reading; FindInstalled on every item;
// ApplyRules(all products) on every item; SetDownloader then CheckForUpdates per item; then
// the per-row queries, and OpenAction(i) when the row's button is pressed.
class IProduct {
public:
    IProduct() = default;
    IProduct(const IProduct&) = delete;
    IProduct& operator=(const IProduct&) = delete;

    virtual ~IProduct() = default;
    // Reads the item's own attributes from its element of the product list; false drops it.
    virtual bool Load(const tinyxml2::XMLElement* element) = 0;
    // Discovers what is installed; true when the item has something to show.
    virtual bool FindInstalled() = 0;
    // Fetches and reads the item's update information; true when it was obtained.
    virtual bool CheckForUpdates() = 0;
    // The identity other products' rules refer to.
    virtual CAtlString GetId() = 0;
    virtual QString GetName() = 0;
    // False shows "N/A" as the row's latest version.
    virtual bool HasUpdateInfo(unsigned i) = 0;
    // The row has something to act on: its button carries label 1 of GetActionLabels.
    virtual bool IsUpdateAvailable(unsigned i) = 0;
    // With IsUpdateAvailable, whether the silent run found something worth showing.
    virtual bool ShouldNotify(unsigned i) = 0;
    // Asked when the row is made: only then does it get an action button.
    virtual bool HasActionButton(unsigned i) = 0;
    // The action of the row's button; may show a message box.
    virtual bool OpenAction(unsigned i) = 0;
    virtual bool IsNotice(unsigned i) = 0;
    virtual unsigned GetItemCount() = 0;
    virtual CAtlString GetInstalledVersionText(unsigned i) = 0;
    virtual CAtlString GetLatestVersionText(unsigned i) = 0;
    // The window keeps the table row of each item row here.
    virtual void SetRow(unsigned i, int row) = 0;
    // Before SetRow: 0 for software and gallery rows, -1 for notices.
    virtual int GetRow(unsigned i) = 0;
    // Two labels: [0] for a row with nothing to do, [1] for a row with an action.
    virtual QStringList GetActionLabels(unsigned i) = 0;
    // Rules across products (a product disabled by another one's presence); none by default.
    virtual void ApplyRules(const std::vector<std::shared_ptr<IProduct>>& products) {
        (void)products;
    }
    // Base name of the item's data files.
    virtual CAtlString GetBaseXml() = 0;
    // Why row i shows "N/A"; None while the row has its update information, or when the item
    // cannot tell.
    virtual CheckFailure GetFailure(unsigned i) {
        (void)i;
        return {};
    }
    // The same in plain words in the run's language, as the tooltip and -verbose show it.
    QString GetFailureReason(unsigned i) { return DescribeFailure(GetFailure(i)); }
    // Where the item's update information is fetched from; empty when it has none.
    virtual CAtlString GetUpdateAddress() { return {}; }
    // The addresses that CheckForUpdates will fetch, as things stand once the installed
    // versions are known: its document and, when the installed file names a key, the
    // document's signature; empty when it will fetch none. All of these are fetched at once
    // before the products are checked one after another.
    virtual QStringList GetCheckAddresses() { return {}; }

    // Handed over before CheckForUpdates; the item keeps a share of it.
    void SetDownloader(std::shared_ptr<IDownloader> downloader) {
        m_downloader = std::move(downloader);
    }

protected:
    std::shared_ptr<IDownloader> m_downloader;
};

using ProductList = std::vector<std::shared_ptr<IProduct>>;

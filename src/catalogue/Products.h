#pragma once

#include "catalogue/Product.h"
#include "catalogue/VersionString.h"
#include "platform/FilePath.h"

#include <functional>

// The product list: the items of "productlist.xml" in document order, the list's own
// version and the address where a newer copy is published.
class Products {
public:
    // Clears the list, then reads path. True when at least one item was created; a missing
    // or unreadable file leaves an empty list with an empty (invalid) version.
    bool Load(const CAtlString& path);
    // The same from the bytes of a list.
    bool Parse(const QByteArray& bytes);

    const ProductList& Items() const { return m_products; }
    const CVersionString& Version() const { return m_version; }
    const CAtlString& Url() const { return m_url; }
    bool IsLoaded() const { return m_loaded; }

private:
    ProductList m_products;
    CVersionString m_version;
    CAtlString m_url;
    bool m_loaded = false;
};

// The item for an element of the product list: "Product", "Gallery" or "Notification"
// (case-sensitive); for any other name, what the extra factory makes, or null.
std::shared_ptr<IProduct> CreateProduct(const char* elementName);

// Makes items of element names the built-in kinds do not claim; tests hand in kinds of their
// own this way, so that a list read from a file holds them. Null (the default) skips such
// elements. Interface thread only.
using ProductFactory = std::function<std::shared_ptr<IProduct>(const char* elementName)>;
void SetExtraProductFactory(ProductFactory factory);

// Where the two copies of the list live: the machine-wide application-data folder, and the
// program's own folder (the executable's, links resolved).
FilePath CommonProductListPath();
FilePath ProgramProductListPath();
// Reads both copies and returns the one to use: the program-folder copy only when its
// version is greater, so an existing file always beats a missing one.
std::shared_ptr<Products> LoadBestProductList();

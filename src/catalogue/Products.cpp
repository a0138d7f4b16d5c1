#include "catalogue/Products.h"

#include "catalogue/GalleryVersion.h"
#include "catalogue/Notification.h"
#include "catalogue/ProductVersions.h"
#include "catalogue/XmlDocument.h"
#include "platform/Locations.h"

#include <cstring>

namespace {
const CAtlString kListName = QStringLiteral("productlist.xml");

ProductFactory& ExtraFactory() {
    static ProductFactory factory;
    return factory;
}
} // namespace

bool Products::Load(const CAtlString& path) {
    return Parse(ReadDocumentFile(path));
}

bool Products::Parse(const QByteArray& bytes) {
    m_version = CVersionString();
    m_url.clear();
    m_products.clear();
    m_loaded = false;

    CXmlDocument document;
    if (!document.Parse(bytes))
        return false;
    const tinyxml2::XMLElement* root = document.Root();
    m_version = Attribute(root, "Version");
    m_url = Attribute(root, "Url");
    for (const tinyxml2::XMLElement* child = root->FirstChildElement(); child;
         child = child->NextSiblingElement()) {
        std::shared_ptr<IProduct> product = CreateProduct(child->Name());
        if (product && product->Load(child))
            m_products.push_back(std::move(product));
    }
    m_loaded = !m_products.empty();
    return m_loaded;
}

std::shared_ptr<IProduct> CreateProduct(const char* elementName) {
    if (std::strcmp(elementName, "Product") == 0)
        return std::make_shared<CProductVersions>();
    if (std::strcmp(elementName, "Gallery") == 0)
        return std::make_shared<GalleryVersion>();
    if (std::strcmp(elementName, "Notification") == 0)
        return std::make_shared<Notification>();
    return ExtraFactory() ? ExtraFactory()(elementName) : nullptr;
}

void SetExtraProductFactory(ProductFactory factory) {
    ExtraFactory() = std::move(factory);
}

FilePath CommonProductListPath() {
    return CommonAppDataFolder().Join(kListName);
}

FilePath ProgramProductListPath() {
    return ModuleFolder().Join(kListName);
}

std::shared_ptr<Products> LoadBestProductList() {
    auto common = std::make_shared<Products>();
    // The folder is where a refreshed list goes when the program's folder is not writable.
    CommonAppDataFolder().CreateDirectories();
    common->Load(CommonProductListPath().Text());
    auto program = std::make_shared<Products>();
    program->Load(ProgramProductListPath().Text());
    return program->Version() > common->Version() ? program : common;
}

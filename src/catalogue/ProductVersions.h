#pragma once

#include "catalogue/Product.h"
#include "catalogue/ProductVersion.h"
#include "platform/FilePath.h"

#include <QLoggingCategory>

// Diagnostics of the cross-product rules; off unless QT_LOGGING_RULES turns them on, so the
// console keeps only the program's fixed lines.
Q_DECLARE_LOGGING_CATEGORY(lcProductRules)

// "Disable updates of this product while product uid is installed in [from, to]."
struct Disabler {
    CAtlString uid;
    CVersionString from;
    CVersionString to;
};

// An installed software product. Every distinct installed version found by the scan is one
// row; only the highest (the selected version) is checked and gets an action button.
class CProductVersions : public IProduct {
public:
    CProductVersions() = default;
    // A product known only by the base name of its version files, for looking it up.
    explicit CProductVersions(const CAtlString& baseXml) : m_baseXml(baseXml) {}

    bool Load(const tinyxml2::XMLElement* element) override;
    // Scans the program's folder, then "ORVEX Software Update" beside it, for version files
    // named after the product, and keeps one row per distinct installed version.
    bool FindInstalled() override;
    bool CheckForUpdates() override;
    CAtlString GetId() override { return m_baseXml; }
    QString GetName() override { return m_name; }
    bool HasUpdateInfo(unsigned i) override;
    bool IsUpdateAvailable(unsigned i) override;
    bool ShouldNotify(unsigned) override { return true; }
    bool HasActionButton(unsigned i) override;
    // Opens the row's update page, or the product's default page when none is known.
    bool OpenAction(unsigned i) override;
    bool IsNotice(unsigned) override { return false; }
    unsigned GetItemCount() override { return static_cast<unsigned>(m_versions.size()); }
    CAtlString GetInstalledVersionText(unsigned i) override;
    CAtlString GetLatestVersionText(unsigned i) override;
    void SetRow(unsigned i, int row) override;
    int GetRow(unsigned i) override;
    QStringList GetActionLabels(unsigned i) override;
    // Disables this product's updates when another listed product is installed in one of
    // the ranges its "Disabler" elements name.
    void ApplyRules(const ProductList& products) override;
    CAtlString GetBaseXml() override { return m_baseXml; }
    CheckFailure GetFailure(unsigned i) override;
    // The selected version's update information.
    CAtlString GetUpdateAddress() override;
    QStringList GetCheckAddresses() override;
    // The selected version's update page when known, else the product's default page.
    virtual CAtlString GetWebPage();

    bool IsDisabled() const { return m_disabled; }
    // The version found highest, or null before FindInstalled found one.
    std::shared_ptr<CProductVersion> Selected() const { return m_selected; }

private:
    CProductVersion* Row(unsigned i) const;

    QString m_name;
    CAtlString m_baseXml;
    CAtlString m_defaultUrl;
    std::vector<Disabler> m_disablers;
    bool m_disabled = false;
    std::vector<FilePath> m_candidates;
    std::vector<std::shared_ptr<CProductVersion>> m_versions;
    std::shared_ptr<CProductVersion> m_selected;
};

// Whether the Tavlo software of before version 10 is installed, judged by the first version
// file of "SoftwareUpdateTSW" that reads.
bool IsTavloInstalled();

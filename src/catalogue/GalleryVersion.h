#pragma once

#include "catalogue/Product.h"

#include <QByteArray>

#include <map>

// A gallery content pack named by a "Gallery" element and identified by its GUID. Its
// content comes in categories, each stamped with a date-like text: the installed stamps are
// in a file its installer left beside the pack's manifest, the published ones in
// "gallery_categories.xml" below the list's DefaultUrl. The pack is one row showing the
// newest stamp of each side; its button starts the content application on the pack.
//
// Stamps compare as plain text (code unit by code unit), so "9" is above "10"; the
// installers write "yyyy-MM-dd", for which text order is date order.
class GalleryVersion : public IProduct {
public:
    // Installed and published stamp of one category; published is empty until a published
    // file lists the category.
    struct Stamps {
        CAtlString installed;
        CAtlString published;
    };

    bool Load(const tinyxml2::XMLElement* element) override;
    // Reads the pack's registry record and its installed-categories file.
    bool FindInstalled() override;
    // Fetches the published categories; true when it lists at least one installed category.
    bool CheckForUpdates() override;
    CAtlString GetId() override { return m_guid; }
    QString GetName() override { return m_name; }
    bool HasUpdateInfo(unsigned) override { return m_valid; }
    bool IsUpdateAvailable(unsigned) override;
    bool ShouldNotify(unsigned) override { return true; }
    // Only a pack whose content application exists gets a button.
    bool HasActionButton(unsigned) override;
    // Starts the content application detached with "-guid" and the pack's GUID.
    bool OpenAction(unsigned) override;
    bool IsNotice(unsigned) override { return false; }
    unsigned GetItemCount() override { return m_categories.empty() ? 0 : 1; }
    // The newest stamp of each side, a date shown in the system's short form.
    CAtlString GetInstalledVersionText(unsigned) override;
    CAtlString GetLatestVersionText(unsigned) override;
    void SetRow(unsigned, int row) override { m_row = row; }
    int GetRow(unsigned) override { return m_row; }
    QStringList GetActionLabels(unsigned) override;
    CAtlString GetBaseXml() override { return QStringLiteral("updateinfo"); }
    CheckFailure GetFailure(unsigned) override { return m_valid ? CheckFailure() : m_failure; }
    // The published categories file.
    CAtlString GetUpdateAddress() override;
    QStringList GetCheckAddresses() override;

    // The readers of the two categories files, for bytes already at hand. ParseInstalled
    // replaces the categories (true when there is one) and the maker's key(s) of its root's
    // "UpdatePublicKey", which the published file must then be signed with; ParsePublished
    // stamps the installed ones it lists and answers the new validity.
    bool ParseInstalled(const QByteArray& bytes);
    bool ParsePublished(const QByteArray& bytes);
    // Ordered by id, code unit by code unit.
    const std::map<CAtlString, Stamps>& Categories() const { return m_categories; }

private:
    QString m_name;
    CAtlString m_guid;
    CAtlString m_defaultUrl;
    CAtlString m_appPath;
    PublicKeyList m_keys;
    bool m_valid = false;
    CheckFailure m_failure;
    int m_row = 0;
    std::map<CAtlString, Stamps> m_categories;
};

// A stamp as the window shows it: a "yyyy-MM-dd" date in the system locale's short form,
// anything else unchanged.
CAtlString ShowStamp(const CAtlString& stamp);

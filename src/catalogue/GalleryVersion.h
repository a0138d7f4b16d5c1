#pragma once

#include "catalogue/Product.h"

// A gallery content pack named by a "Gallery" element. It reads its list element; what is
// installed and published is not looked up yet, so it shows no row.
class GalleryVersion : public IProduct {
public:
    bool Load(const tinyxml2::XMLElement* element) override;
    bool FindInstalled() override { return false; }
    bool CheckForUpdates() override { return false; }
    CAtlString GetId() override { return m_guid; }
    QString GetName() override { return m_name; }
    bool HasUpdateInfo(unsigned) override { return false; }
    bool IsUpdateAvailable(unsigned) override { return false; }
    bool ShouldNotify(unsigned) override { return true; }
    bool HasActionButton(unsigned) override { return false; }
    bool OpenAction(unsigned) override { return false; }
    bool IsNotice(unsigned) override { return false; }
    unsigned GetItemCount() override { return 0; }
    CAtlString GetInstalledVersionText(unsigned) override { return {}; }
    CAtlString GetLatestVersionText(unsigned) override { return {}; }
    void SetRow(unsigned, int row) override { m_row = row; }
    int GetRow(unsigned) override { return m_row; }
    QStringList GetActionLabels(unsigned) override;
    CAtlString GetBaseXml() override { return QStringLiteral("updateinfo"); }

private:
    QString m_name;
    CAtlString m_guid;
    CAtlString m_defaultUrl;
    int m_row = 0;
};

#pragma once

#include "catalogue/Product.h"

// A dated notice named by a "Notification" element. It reads its list element; the notice
// itself is not fetched yet, so it shows no row.
class Notification : public IProduct {
public:
    bool Load(const tinyxml2::XMLElement* element) override;
    bool FindInstalled() override { return false; }
    bool CheckForUpdates() override { return false; }
    CAtlString GetId() override { return m_baseXml; }
    QString GetName() override { return m_name; }
    bool HasUpdateInfo(unsigned) override { return false; }
    bool IsUpdateAvailable(unsigned) override { return false; }
    bool ShouldNotify(unsigned) override { return false; }
    bool HasActionButton(unsigned) override { return true; }
    bool OpenAction(unsigned) override { return false; }
    bool IsNotice(unsigned) override { return true; }
    unsigned GetItemCount() override { return 0; }
    CAtlString GetInstalledVersionText(unsigned) override { return {}; }
    CAtlString GetLatestVersionText(unsigned) override { return {}; }
    void SetRow(unsigned, int row) override { m_row = row; }
    int GetRow(unsigned) override { return m_row; }
    QStringList GetActionLabels(unsigned) override;
    CAtlString GetBaseXml() override { return m_baseXml; }

private:
    QString m_name;
    CAtlString m_baseXml;
    // Notices answer -1 until the window gives them a row: a notice can arrive after the
    // table was built.
    int m_row = -1;
};

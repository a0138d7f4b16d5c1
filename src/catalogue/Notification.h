#pragma once

#include "catalogue/Product.h"

#include <QByteArray>
#include <QDate>
#include <QMap>

// A dated notice from the maker, named by a "Notification" element. A local file beside the
// program (BaseXML + ".xml") says where the notice is published; the notice carries a web
// page, a start and a stop date and its text in several languages. While current it is one
// highlighted row whose "More..." button opens the page; once opened, the user's memory
// under "Software/ORVEX Technologies/Product Update/Notifications" (a value named after the
// notification) keeps it from counting as new again, also for a later notice of that name.
class Notification : public IProduct {
public:
    bool Load(const tinyxml2::XMLElement* element) override;
    // Reads the local file.
    bool FindInstalled() override;
    // Fetches and reads the published notice; true when it is complete.
    bool CheckForUpdates() override;
    CAtlString GetId() override { return m_baseXml; }
    // The text in the run's language, else the English one, else nothing.
    QString GetName() override;
    bool HasUpdateInfo(unsigned) override { return m_valid; }
    // Current today (local calendar) and the Tavlo software of before version 10 installed.
    bool IsUpdateAvailable(unsigned) override;
    // Whether the user has not opened a notice of this name yet.
    bool ShouldNotify(unsigned) override;
    bool HasActionButton(unsigned) override { return IsUpdateAvailable(0); }
    // Remembers the notice as opened, then opens its page in the browser (http and https
    // only; otherwise a warning names the page).
    bool OpenAction(unsigned) override;
    bool IsNotice(unsigned) override { return true; }
    unsigned GetItemCount() override { return IsUpdateAvailable(0) ? 1 : 0; }
    CAtlString GetInstalledVersionText(unsigned) override { return QStringLiteral(" "); }
    CAtlString GetLatestVersionText(unsigned) override { return QStringLiteral(" "); }
    void SetRow(unsigned, int row) override { m_row = row; }
    int GetRow(unsigned) override { return m_row; }
    QStringList GetActionLabels(unsigned) override;
    CAtlString GetBaseXml() override { return m_baseXml; }
    CheckFailure GetFailure(unsigned) override { return m_valid ? CheckFailure() : m_failure; }
    // The published notice.
    CAtlString GetUpdateAddress() override;
    QStringList GetCheckAddresses() override;

    // The readers of the local file and of the published notice, for bytes already at hand;
    // each answers whether what it read is complete. The local file's root may name the
    // maker's key(s) ("UpdatePublicKey"), which the notice must then be signed with.
    bool ParseLocal(const QByteArray& bytes);
    bool ParseNotice(const QByteArray& bytes);
    // Whether the notice is complete and day lies strictly between its start and stop dates.
    bool IsCurrentOn(const QDate& day) const;
    const QMap<QString, QString>& Texts() const { return m_texts; }
    const CAtlString& WebPage() const { return m_webPage; }

private:
    QString m_name;
    CAtlString m_baseXml;
    CAtlString m_url;
    CAtlString m_file;
    PublicKeyList m_keys;
    CAtlString m_webPage;
    QDate m_start;
    QDate m_stop;
    QMap<QString, QString> m_texts;
    bool m_valid = false;
    CheckFailure m_failure;
    // Notices answer -1 until the window gives them a row: a notice can arrive after the
    // table was built.
    int m_row = -1;
};

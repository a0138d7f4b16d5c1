#include "catalogue/ProductVersions.h"

#include "catalogue/WebPage.h"
#include "catalogue/XmlDocument.h"
#include "platform/Locations.h"

#include <QCoreApplication>

#include <algorithm>

Q_LOGGING_CATEGORY(lcProductRules, "orvex.catalogue.rules", QtWarningMsg)

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("CProductVersions", text);
}

// The kept names are the base name alone or followed by a digit (X.xml, X2.xml): X10.xml
// belongs to product X, XTools.xml to another product whose name merely starts alike.
// The base name is taken literally: a "*" or "?" in a list from the network matches only
// itself, and a "/" nothing at all.
bool BelongsToProduct(const FilePath& file, const CAtlString& baseXml) {
    const CAtlString name = file.BaseName();
    if (!name.startsWith(baseXml, Qt::CaseInsensitive))
        return false;
    return name.size() == baseXml.size() || name[baseXml.size()].isDigit();
}
} // namespace

bool CProductVersions::Load(const tinyxml2::XMLElement* element) {
    m_name = Utf8Attribute(element, "Name");
    m_baseXml = Attribute(element, "BaseXml");
    m_defaultUrl = Attribute(element, "DefaultUrl");
    const tinyxml2::XMLElement* rules = FirstChild(element, "DisableUpdatesIfInstalled");
    for (const tinyxml2::XMLElement* rule = FirstChild(rules, "Disabler"); rule;
         rule = rule->NextSiblingElement("Disabler")) {
        m_disablers.push_back({Attribute(rule, "uid"),
                               CVersionString(Attribute(rule, "versionFrom")),
                               CVersionString(Attribute(rule, "versionTo"))});
    }
    return !m_name.isEmpty() && !m_baseXml.isEmpty();
}

bool CProductVersions::FindInstalled() {
    const FilePath programFolder = ModuleFolder();
    // The files whose names start with the base name, sorted out below. A base name with a
    // wildcard or a separator is no pattern, so every version file is listed for it.
    const bool literal = std::none_of(m_baseXml.begin(), m_baseXml.end(), [](QChar c) {
        return c == u'*' || c == u'?' || c == u'\\' || c == u'/';
    });
    const CAtlString pattern = (literal ? m_baseXml : CAtlString()) + QStringLiteral("*.xml");
    m_candidates.clear();
    programFolder.ListFiles(pattern, m_candidates);
    programFolder.Folder()
        .Join(QStringLiteral("ORVEX Software Update"))
        .ListFiles(pattern, m_candidates);
    std::erase_if(m_candidates,
                  [this](const FilePath& file) { return !BelongsToProduct(file, m_baseXml); });

    m_selected.reset();
    bool appended = false;
    for (const FilePath& file : m_candidates) {
        auto version = std::make_shared<CProductVersion>(file.Text());
        if (!version->ReadLocal())
            continue;
        const bool known = std::any_of(m_versions.begin(), m_versions.end(), [&](const auto& v) {
            return v->GetInstalledVersion() == version->GetInstalledVersion();
        });
        if (known)
            continue;
        m_versions.push_back(version);
        appended = true;
        // The highest version is checked, but one that can be compared with an offer always
        // beats one that cannot.
        const auto rank = [](const CProductVersion& v) { return v.IsInstalledVersionUsable(); };
        if (!m_selected || rank(*m_selected) < rank(*version) ||
            (rank(*m_selected) == rank(*version) &&
             m_selected->GetInstalledVersion() < version->GetInstalledVersion()))
            m_selected = version;
    }
    return appended;
}

void CProductVersions::ApplyRules(const ProductList& products) {
    // Without a rule of its own there is nothing to look for among the others: a long list
    // of products without rules would otherwise cost a look at every pair of them.
    if (m_versions.empty() || !m_selected || m_disablers.empty())
        return;
    for (const auto& other : products) {
        if (other.get() == this || other->GetId() == GetId())
            continue;
        for (unsigned j = 0; j < other->GetItemCount(); ++j) {
            for (const Disabler& disabler : m_disablers) {
                qCDebug(lcProductRules).noquote() << other->GetId() << disabler.uid;
                if (other->GetId() != disabler.uid)
                    continue;
                const CVersionStringRange range(disabler.from, disabler.to);
                if (range.Contains(CVersionString(other->GetInstalledVersionText(j)))) {
                    m_disabled = true;
                    return;
                }
            }
        }
    }
}

bool CProductVersions::CheckForUpdates() {
    // Nothing offered could be compared with an installed version that is no version, so
    // its information is not fetched; the row shows why (GetFailure).
    if (!m_selected || !m_selected->IsInstalledVersionUsable())
        return false;
    m_selected->SetDownloader(m_downloader.get());
    m_selected->SetSignedFor({SignedKind::Product, GetId()});
    const bool read = m_selected->ReadRemote();
    m_selected->SetDownloader(nullptr);
    return read;
}

CProductVersion* CProductVersions::Row(unsigned i) const {
    return i < m_versions.size() ? m_versions[i].get() : nullptr;
}

bool CProductVersions::HasUpdateInfo(unsigned i) {
    const CProductVersion* row = Row(i);
    return row && row->IsRemoteRead();
}

bool CProductVersions::IsUpdateAvailable(unsigned i) {
    CProductVersion* row = Row(i);
    return row && row->HasUpdate();
}

bool CProductVersions::HasActionButton(unsigned i) {
    return !m_disabled && i < m_versions.size() && m_versions[i] == m_selected;
}

bool CProductVersions::OpenAction(unsigned i) {
    const CProductVersion* row = Row(i);
    CAtlString url = row ? row->GetUpdateWebPage() : CAtlString();
    if (url.isEmpty())
        url = m_defaultUrl;
    return OpenWebPage(url);
}

CAtlString CProductVersions::GetInstalledVersionText(unsigned i) {
    const CProductVersion* row = Row(i);
    if (!row)
        return {};
    // A version that cannot be used is shown as written, not as what part of it reads as.
    return row->IsInstalledVersionUsable() ? row->GetInstalledVersion().ToString()
                                           : row->GetInstalledVersion().Text();
}

CAtlString CProductVersions::GetLatestVersionText(unsigned i) {
    // A disabled product is up to date by definition: another product brings its updates.
    if (m_disabled)
        return m_selected ? m_selected->GetInstalledVersion().ToString() : CAtlString();
    const CProductVersion* row = Row(i);
    return row ? row->GetUpdateVersion().ToString() : CAtlString();
}

void CProductVersions::SetRow(unsigned i, int row) {
    if (CProductVersion* version = Row(i))
        version->SetRow(row);
}

int CProductVersions::GetRow(unsigned i) {
    const CProductVersion* row = Row(i);
    return row ? row->GetRow() : 0;
}

CheckFailure CProductVersions::GetFailure(unsigned i) {
    const CProductVersion* row = Row(i);
    if (!row || row->IsRemoteRead())
        return {};
    if (CheckFailure invalid = row->InstalledVersionFailure(); invalid.kind != CheckFailure::None)
        return invalid;
    if (row != m_selected.get())
        return {CheckFailure::NotNewest, {}, {}};
    return row->RemoteFailure();
}

QStringList CProductVersions::GetCheckAddresses() {
    // As CheckForUpdates decides.
    if (!m_selected || !m_selected->IsInstalledVersionUsable())
        return {};
    return CheckAddresses(GetUpdateAddress(), m_selected->PublicKeys());
}

CAtlString CProductVersions::GetUpdateAddress() {
    return m_selected ? m_selected->RemoteUrl() + m_selected->RemoteFile() : CAtlString();
}

QStringList CProductVersions::GetActionLabels(unsigned) {
    return {Tr("Current"), Tr("Update")};
}

CAtlString CProductVersions::GetWebPage() {
    if (m_selected && !m_selected->GetUpdateWebPage().isEmpty())
        return m_selected->GetUpdateWebPage();
    return m_defaultUrl;
}

bool IsTavloInstalled() {
    CProductVersions tavlo(QStringLiteral("SoftwareUpdateTSW"));
    if (!tavlo.FindInstalled())
        return false;
    return CVersionString(tavlo.GetInstalledVersionText(0)) < CVersionString("10.0.0.0");
}

#include "catalogue/GalleryVersion.h"

#include "catalogue/WebPage.h"
#include "catalogue/XmlDocument.h"
#include "net/IDownloader.h"
#include "platform/FilePath.h"
#include "platform/Settings.h"
#include "platform/Shell.h"

#include <QCoreApplication>
#include <QDate>
#include <QLocale>

#include <algorithm>

namespace {
CAtlString ReadRecord(const CAtlString& keyPath, const char* value) {
    int32_t error = 0;
    return ReadSettingString(LocalMachine, keyPath, QString::fromLatin1(value), CAtlString(),
                             &error, kRegistryMarker);
}

// The greatest of one side's stamps in text order; among equal stamps the first in id order,
// which is the same text.
CAtlString Newest(const std::map<CAtlString, GalleryVersion::Stamps>& categories,
                  CAtlString GalleryVersion::Stamps::*side) {
    const CAtlString* newest = nullptr;
    for (const auto& [id, stamps] : categories) {
        if (!newest || *newest < stamps.*side)
            newest = &(stamps.*side);
    }
    return newest ? ShowStamp(*newest) : CAtlString();
}

// The record's paths are Windows paths; a relative one would name a file in whatever folder
// the program was started from, so it names none.
FilePath RecordPath(const CAtlString& text) {
    const FilePath path(text);
    return path.IsRelative() ? FilePath() : path;
}
} // namespace

CAtlString ShowStamp(const CAtlString& stamp) {
    const QDate date = QDate::fromString(stamp, QStringLiteral("yyyy-MM-dd"));
    return date.isValid() ? QLocale::system().toString(date, QLocale::ShortFormat) : stamp;
}

bool GalleryVersion::Load(const tinyxml2::XMLElement* element) {
    m_name = Utf8Attribute(element, "Name");
    m_guid = Attribute(element, "GUID");
    m_defaultUrl = Attribute(element, "DefaultUrl");
    return !m_name.isEmpty() && !m_guid.isEmpty() && !m_defaultUrl.isEmpty();
}

bool GalleryVersion::FindInstalled() {
    m_categories.clear();
    m_appPath.clear();
    if (m_guid.isEmpty())
        return false;
    const CAtlString key = QStringLiteral("Software\\ORVEX Technologies\\Gallery\\") + m_guid +
                           QStringLiteral("\\TeamContent");
    const CAtlString manifest = ReadRecord(key, "ImsManifestXml");
    const CAtlString appPath = ReadRecord(key, "AppPath");
    const bool present =
        !manifest.isEmpty() || (!ReadRecord(key, "MetadataXml").isEmpty() && !appPath.isEmpty());
    if (!present || appPath.isEmpty())
        return false;
    m_appPath = appPath;

    // Without a manifest there is no folder for the installed-categories file; the folder
    // of an empty path would be the current one.
    const FilePath manifestPath = RecordPath(manifest);
    if (manifestPath.IsEmpty())
        return false;
    const FilePath installed = manifestPath.Folder()
                                   .Join(QStringLiteral("Uninstall"))
                                   .Join(GetBaseXml() + QStringLiteral(".xml"));
    return ParseInstalled(ReadDocumentFile(installed.Text()));
}

bool GalleryVersion::ParseInstalled(const QByteArray& bytes) {
    m_categories.clear();
    m_keys = {};
    CXmlDocument document;
    if (!document.Parse(bytes))
        return false;
    m_keys = ReadPublicKeys(document.Root(), document.Root());
    for (const tinyxml2::XMLElement* category = FirstChild(document.Root(), "category"); category;
         category = category->NextSiblingElement("category")) {
        const CAtlString id = Attribute(category, "id");
        if (!id.isEmpty())
            m_categories[id] = {Attribute(category, "version"), CAtlString()};
    }
    return !m_categories.empty();
}

bool GalleryVersion::CheckForUpdates() {
    m_valid = false;
    // A pack with nothing installed could not use the answer.
    if (!m_downloader || m_categories.empty())
        return false;
    QByteArray bytes;
    return FetchSignedDocument(*m_downloader, GetUpdateAddress(), m_keys,
                               {SignedKind::Gallery, m_guid}, CheckFailure::GallerySignature, bytes,
                               m_failure) &&
           ParsePublished(bytes);
}

QStringList GalleryVersion::GetCheckAddresses() {
    return m_categories.empty() ? QStringList() : CheckAddresses(GetUpdateAddress(), m_keys);
}

CAtlString GalleryVersion::GetUpdateAddress() {
    return JoinUrl(m_defaultUrl, QStringLiteral("gallery_categories.xml"));
}

bool GalleryVersion::ParsePublished(const QByteArray& bytes) {
    m_valid = false;
    m_failure = {CheckFailure::GalleryNotUnderstood, {}, {}};
    for (auto& [id, stamps] : m_categories)
        stamps.published.clear();
    CXmlDocument document;
    if (!document.Parse(bytes))
        return false;
    const tinyxml2::XMLElement* published = FirstChild(document.Root(), "categories");
    if (published == nullptr)
        return false;
    for (const tinyxml2::XMLElement* category = FirstChild(published, "category"); category;
         category = category->NextSiblingElement("category")) {
        // Categories the machine does not have are none of this pack's business.
        const auto found = m_categories.find(Attribute(category, "id"));
        if (found == m_categories.end())
            continue;
        found->second.published = Attribute(category, "version");
        m_valid = true;
    }
    if (!m_valid)
        m_failure = {CheckFailure::GalleryNoCategory, {}, {}};
    return m_valid;
}

bool GalleryVersion::IsUpdateAvailable(unsigned) {
    return std::any_of(m_categories.begin(), m_categories.end(), [](const auto& category) {
        return category.second.installed < category.second.published;
    });
}

// Asked when the window makes the row, before the check: whether the update information
// arrives is told later by the button's label, as for software rows.
bool GalleryVersion::HasActionButton(unsigned) {
    return !m_categories.empty() && RecordPath(m_appPath).Exists();
}

bool GalleryVersion::OpenAction(unsigned) {
    const FilePath program = RecordPath(m_appPath);
    if (program.IsEmpty())
        return false;
    // The record's "Args" are not passed: the content application opens the pack by its GUID.
    return GetShell()->StartDetached(program.LocalPath(), {QStringLiteral("-guid"), m_guid});
}

CAtlString GalleryVersion::GetInstalledVersionText(unsigned) {
    return Newest(m_categories, &Stamps::installed);
}

CAtlString GalleryVersion::GetLatestVersionText(unsigned) {
    return Newest(m_categories, &Stamps::published);
}

QStringList GalleryVersion::GetActionLabels(unsigned) {
    return {QCoreApplication::translate("GalleryVersion", "Current"),
            QCoreApplication::translate("GalleryVersion", "Update")};
}

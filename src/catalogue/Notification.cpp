#include "catalogue/Notification.h"

#include "catalogue/ProductVersions.h"
#include "catalogue/WebPage.h"
#include "catalogue/XmlDocument.h"
#include "net/IDownloader.h"
#include "platform/FilePath.h"
#include "platform/Locations.h"
#include "platform/Settings.h"
#include "qtglue/Language.h"

#include <QCoreApplication>

#include <cstring>

namespace {
const QString kOpenedKey =
    QStringLiteral("Software/ORVEX Technologies/Product Update/Notifications");

QDate ReadDate(const tinyxml2::XMLElement* element, const char* name) {
    return QDate::fromString(Attribute(element, name), QStringLiteral("yyyyMMdd"));
}

bool IsNamed(const tinyxml2::XMLElement* element, const char* name) {
    return element && std::strcmp(element->Name(), name) == 0;
}
} // namespace

bool Notification::Load(const tinyxml2::XMLElement* element) {
    m_name = Utf8Attribute(element, "Name");
    // "BaseXML" here, unlike the "BaseXml" of software products.
    m_baseXml = Attribute(element, "BaseXML");
    return !m_baseXml.isEmpty();
}

bool Notification::FindInstalled() {
    m_url.clear();
    m_file.clear();
    m_keys = {};
    // The list may come from the network: its base name names a file in the program's
    // folder, never one elsewhere.
    const CAtlString fileName = m_baseXml + QStringLiteral(".xml");
    if (fileName.contains(u'\\') || fileName.contains(u'/'))
        return false;
    return ParseLocal(ReadDocumentFile(ModuleFolder().Join(fileName).Text()));
}

bool Notification::ParseLocal(const QByteArray& bytes) {
    CXmlDocument document;
    if (!document.Parse(bytes) || !IsNamed(document.Root(), "Notification"))
        return false;
    m_url = Attribute(document.Root(), "URL");
    m_file = Attribute(document.Root(), "File");
    m_keys = ReadPublicKeys(document.Root(), document.Root());
    return !m_url.isEmpty() && !m_file.isEmpty();
}

bool Notification::CheckForUpdates() {
    m_valid = false;
    if (!m_downloader || m_url.isEmpty() || m_file.isEmpty())
        return false;
    QByteArray bytes;
    return FetchSignedDocument(*m_downloader, GetUpdateAddress(), m_keys,
                               {SignedKind::Notice, m_baseXml}, CheckFailure::NoticeSignature,
                               bytes, m_failure) &&
           ParseNotice(bytes);
}

QStringList Notification::GetCheckAddresses() {
    return CheckAddresses(GetUpdateAddress(), m_keys);
}

CAtlString Notification::GetUpdateAddress() {
    return m_url.isEmpty() || m_file.isEmpty() ? CAtlString() : JoinUrl(m_url, m_file);
}

bool Notification::ParseNotice(const QByteArray& bytes) {
    m_valid = false;
    m_failure = {CheckFailure::NoticeNotUnderstood, {}, {}};
    m_webPage.clear();
    m_start = m_stop = QDate();
    m_texts.clear();
    CXmlDocument document;
    const tinyxml2::XMLElement* root = document.Parse(bytes) ? document.Root() : nullptr;
    if (!IsNamed(root, "Notification"))
        return false;
    m_webPage = Attribute(root, "WebPage");
    m_start = ReadDate(root, "StartDate");
    m_stop = ReadDate(root, "StopDate");
    // Each child of the first "Text" is one language; a later one of a code replaces it.
    for (const tinyxml2::XMLElement* text = FirstChild(FirstChild(root, "Text"), nullptr); text;
         text = text->NextSiblingElement()) {
        m_texts.insert(QString::fromUtf8(text->Name()), Utf8Attribute(text, "value"));
    }
    m_valid = !m_texts.isEmpty() && !m_webPage.isEmpty() && m_start.isValid() && m_stop.isValid();
    return m_valid;
}

QString Notification::GetName() {
    const auto found = m_texts.constFind(GetLanguageCode());
    if (found != m_texts.constEnd())
        return *found;
    return m_texts.value(QStringLiteral("en"));
}

bool Notification::IsCurrentOn(const QDate& day) const {
    return m_valid && m_start < day && day < m_stop;
}

bool Notification::IsUpdateAvailable(unsigned) {
    // The maker shows its notices only beside the Tavlo software of before version 10.
    return IsCurrentOn(QDate::currentDate()) && IsTavloInstalled();
}

bool Notification::ShouldNotify(unsigned) {
    int32_t error = 0;
    return ReadSettingInt(CurrentUser, kOpenedKey, m_name, 0, &error, kRegistryMarker) != 1;
}

bool Notification::OpenAction(unsigned) {
    // Remembered first: whatever the browser does, the user has seen the notice's button
    // through and should not be called back to it on the next silent run.
    WriteSettingInt(CurrentUser, kOpenedKey, m_name, 1, kRegistryMarker);
    if (m_webPage.isEmpty())
        return false;
    return OpenWebPage(m_webPage);
}

QStringList Notification::GetActionLabels(unsigned) {
    return {QCoreApplication::translate("Notification", "Current"),
            QCoreApplication::translate("Notification", "More...")};
}

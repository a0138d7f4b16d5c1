#include "catalogue/UpdateXmlReader.h"

#include "catalogue/XmlDocument.h"
#include "platform/Locations.h"
#include "signing/SignatureReport.h"

#include <atomic>

namespace {
std::atomic<const char*> g_productElementName{"Product"};

UpdateEntry ReadEntry(const tinyxml2::XMLElement* element) {
    UpdateEntry entry;
    entry.updateVersion = Attribute(element, "UpdateVersion");
    entry.installFile = Attribute(element, "UpdateInstallFile");
    entry.installUrl = Attribute(element, "UpdateInstallURL");
    entry.installSize = Attribute(element, "UpdateInstallSize");
    entry.webPage = Attribute(element, "UpdateWebPage");
    entry.argument = Attribute(element, "UpdateArgument");
    entry.installSha256 = Attribute(element, "UpdateInstallSHA256");
    entry.installSha256Given = element->Attribute("UpdateInstallSHA256") != nullptr;
    return entry;
}
} // namespace

const char* ProductElementName() {
    return g_productElementName.load();
}

CUpdateXmlReader::CUpdateXmlReader() {
    g_productElementName = IsTestMode() ? "TestProduct" : "Product";
}

CUpdateXmlReader::~CUpdateXmlReader() = default;

bool CUpdateXmlReader::ReadLocal() {
    return ParseLocal(ReadDocumentFile(GetPath()));
}

bool CUpdateXmlReader::ParseLocal(const QByteArray& text) {
    CXmlDocument document;
    if (!document.Parse(text))
        return false;
    const tinyxml2::XMLElement* product = FirstChild(document.Root(), "Product");
    if (product == nullptr)
        return false;
    m_installedVersion = Attribute(product, "CurrentVersion");
    m_remoteFile = Attribute(product, "RemoteVersionFile");
    m_remoteUrl = Attribute(product, "RemoteVersionFileURL");
    if (!m_remoteUrl.isEmpty() && !m_remoteUrl.endsWith(u'/'))
        m_remoteUrl += u'/';
    m_noUpdates = Attribute(product, "NoUpdates") == QLatin1String("true");
    m_keys = ReadPublicKeys(document.Root(), product);
    // A file that says where its update information is published is a version file even
    // when its version is missing or unreadable: it is read, shown with the reason, and
    // never offered an update (HasUpdate).
    if (m_remoteUrl.isEmpty() || m_remoteFile.isEmpty())
        return false;
    m_localRead = true;
    return true;
}

bool CUpdateXmlReader::ReadRemote() {
    m_remoteFailure = {};
    QByteArray bytes;
    if (!TakeDocument(FetchRemote(), bytes)) {
        // A reader that could not tell why still reports a failed download.
        if (m_remoteFailure.kind == CheckFailure::None)
            SetRemoteFailure({DownloadFailure::Failed, {}, {}, {}, {}});
        return false;
    }
    if (IDownloader* downloader = RemoteDownloader()) {
        SignatureCheck check =
            CheckDocumentSignature(*downloader, RemoteAddress(), bytes, m_keys, m_signedFor);
        if (!check.Accepted()) {
            m_remoteFailure = {CheckFailure::Signature, {}, {}, std::move(check)};
            return false;
        }
    } else if (m_keys.RequiresSignature()) {
        // Nothing could fetch the signature, so nothing vouches for the bytes.
        m_remoteFailure = {CheckFailure::Signature,
                           {},
                           {},
                           VerifySignature(bytes, std::nullopt, m_keys, m_signedFor, TodayUtc())};
        ReportSignature(RemoteAddress(), m_remoteFailure.signature);
        return false;
    }
    if (!ParseRemote(bytes))
        return false;
    if (CheckFailure refusal = RefuseRemote(); refusal.kind != CheckFailure::None) {
        ReportRefusal(RemoteAddress(), DescribeFailure(refusal));
        m_remoteRead = false;
        m_remoteFailure = std::move(refusal);
        return false;
    }
    return true;
}

bool CUpdateXmlReader::ParseRemote(const QByteArray& text) {
    CXmlDocument document;
    if (!document.Parse(text)) {
        m_remoteFailure = {CheckFailure::NotXml, {}, {}};
        return false;
    }
    const tinyxml2::XMLElement* root = document.Root();
    if (Attribute(root, "Location") != QLatin1String("Server")) {
        m_remoteFailure = {CheckFailure::NotServer, {}, {}};
        return false;
    }
    const char* elementName = ProductElementName();
    const tinyxml2::XMLElement* product = FirstChild(root, elementName);
    if (product == nullptr)
        product = FirstChild(root, "Product");
    if (product == nullptr) {
        m_remoteFailure = {CheckFailure::NoProduct, {}, {}};
        return false;
    }
    m_remoteFailure = {};

    m_remoteRead = true;
    m_defaultEntry = ReadEntry(product);
    m_compatibility.clear();
    const tinyxml2::XMLElement* compatibility = FirstChild(product, "Compatibility");
    for (const tinyxml2::XMLElement* range = FirstChild(compatibility, "Range"); range;
         range = range->NextSiblingElement("Range")) {
        // In test mode a range only counts with a test entry: a live entry must never be
        // offered to a test installation.
        const tinyxml2::XMLElement* entry = FirstChild(range, elementName);
        if (entry == nullptr)
            continue;
        const CVersionStringRange key(CVersionString(Attribute(range, "VersionFrom")),
                                      CVersionString(Attribute(range, "VersionTo")));
        // emplace keeps the first range of a lower bound.
        m_compatibility.emplace(key, ReadEntry(entry));
    }
    return true;
}

const UpdateEntry& CUpdateXmlReader::MatchingEntry() const {
    for (const auto& [range, entry] : m_compatibility) {
        if (range.Contains(m_installedVersion))
            return entry;
    }
    return m_defaultEntry;
}

bool CUpdateXmlReader::HasUpdate() {
    return m_localRead && m_remoteRead && IsInstalledVersionUsable() &&
           m_installedVersion < GetUpdateVersion();
}

CheckFailure CUpdateXmlReader::InstalledVersionFailure() const {
    if (IsInstalledVersionUsable())
        return {};
    if (m_installedVersion.Text().isEmpty())
        return {CheckFailure::NoVersion, {}, {}};
    return {CheckFailure::InvalidVersion, {}, m_installedVersion.Text()};
}

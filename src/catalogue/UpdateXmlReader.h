#pragma once

#include "catalogue/CheckFailure.h"
#include "catalogue/VersionString.h"
#include "platform/AtlString.h"

#include <QByteArray>
#include <QString>

#include <map>

class IDownloader;

// One offer of the update information: what version is offered and how to get it.
struct UpdateEntry {
    CVersionString updateVersion;
    CAtlString installFile;
    CAtlString installUrl;
    // Kept as text: it is only ever shown, never computed with.
    CAtlString installSize;
    CAtlString webPage;
    CAtlString argument;
    // Optional SHA-256 of the installer (64 hexadecimal digits); empty when not published.
    CAtlString installSha256;
    // The attribute is there, even when empty: an empty digest is a wrong one, never none.
    bool installSha256Given = false;
};

// The element name under which update information is looked up: "TestProduct" while the
// test marker exists, "Product" otherwise. Set anew by every reader's construction, so a
// marker created or removed during a run takes effect with the next reader.
const char* ProductElementName();

// One local version file and the update information it points to. The local file says which
// version is installed and where its update information is published; the update information
// offers one entry for every installed version, or one per range of installed versions.
// Derived classes say where the local file is and how the update information is fetched.
// Single-threaded: the readers of one check run on the interface thread.
class CUpdateXmlReader {
public:
    CUpdateXmlReader();
    virtual ~CUpdateXmlReader();
    CUpdateXmlReader(const CUpdateXmlReader&) = delete;
    CUpdateXmlReader& operator=(const CUpdateXmlReader&) = delete;

    // Reads the local version file named by GetPath.
    virtual bool ReadLocal();
    // Fetches the update information, reads it and deletes the fetched copy. When the local
    // file names a key, the information counts only with a valid signature (see
    // CheckDocumentSignature) for SignedFor, whose sequence is then remembered.
    virtual bool ReadRemote();
    // Both read, the installed version is usable (IsInstalledVersionUsable) and below the
    // version offered to it. An installed version that is no version number (every invalid
    // one sorts below every valid one) is never offered an update.
    virtual bool HasUpdate();
    virtual bool ParseLocal(const QByteArray& text);
    virtual bool ParseRemote(const QByteArray& text);
    virtual CAtlString GetPath() = 0;
    // The local path of a downloaded copy of the update information; empty on failure.
    virtual CAtlString FetchRemote() = 0;
    // The update information's address, and the downloader that fetches it and its
    // signature; null when there is none.
    virtual CAtlString RemoteAddress() const { return RemoteUrl() + RemoteFile(); }
    virtual IDownloader* RemoteDownloader() const { return nullptr; }
    // What the update information's signature must vouch for: the product's "BaseXml", or
    // the program itself.
    const SignedItem& SignedFor() const { return m_signedFor; }
    void SetSignedFor(const SignedItem& item) { m_signedFor = item; }

    // The fields of the entry offered to the installed version (see MatchingEntry).
    const CVersionString& GetUpdateVersion() const { return MatchingEntry().updateVersion; }
    const CAtlString& GetUpdateInstallFile() const { return MatchingEntry().installFile; }
    const CAtlString& GetUpdateInstallURL() const { return MatchingEntry().installUrl; }
    const CAtlString& GetUpdateWebPage() const { return MatchingEntry().webPage; }
    const CAtlString& GetUpdateArgument() const { return MatchingEntry().argument; }
    const CAtlString& GetUpdateInstallSHA256() const { return MatchingEntry().installSha256; }
    bool IsUpdateInstallSHA256Given() const { return MatchingEntry().installSha256Given; }
    const CVersionString& GetInstalledVersion() const { return m_installedVersion; }
    // Whether the installed version can be compared with an offer: valid and written with at
    // most four parts. Nothing is offered to one that cannot.
    bool IsInstalledVersionUsable() const {
        return m_installedVersion.IsValid() && !m_installedVersion.HasExtraParts();
    }
    // Why the installed version cannot be compared with any offer; None when it can.
    CheckFailure InstalledVersionFailure() const;
    // The same worded, for callers that only show it.
    QString InvalidVersionReason() const { return DescribeFailure(InstalledVersionFailure()); }

    bool IsLocalRead() const { return m_localRead; }
    bool IsRemoteRead() const { return m_remoteRead; }
    // "NoUpdates" = "true" in the local file; only the program's own file uses it.
    bool NoUpdates() const { return m_noUpdates; }
    // The maker's public key(s) named by the local file's "UpdatePublicKey" on its "Product"
    // element (see ReadPublicKeys), read with the file; none when the file names none. Only
    // ever read from the installed file, never from the network.
    const PublicKeyList& PublicKeys() const { return m_keys; }
    // Always ends in "/" when not empty.
    const CAtlString& RemoteUrl() const { return m_remoteUrl; }
    const CAtlString& RemoteFile() const { return m_remoteFile; }
    // Why the last ReadRemote obtained nothing; None after a success.
    const CheckFailure& RemoteFailure() const { return m_remoteFailure; }

protected:
    // What a derived reader refuses in update information that was read and whose signature
    // counts; None to take it. ReadRemote then counts it as not read.
    virtual CheckFailure RefuseRemote() const { return {}; }
    // For FetchRemote: why the download failed.
    void SetRemoteFailure(const DownloadFailure& failure) {
        m_remoteFailure = {CheckFailure::Download, failure, {}};
    }
    // The entry of the first range (lowest lower bound first) that holds the installed
    // version, else the product element's own entry.
    const UpdateEntry& MatchingEntry() const;
    // For a reader whose documents more places than its local file name keys for.
    void SetPublicKeys(PublicKeyList keys) { m_keys = std::move(keys); }

private:
    bool m_localRead = false;
    bool m_remoteRead = false;
    std::map<CVersionStringRange, UpdateEntry> m_compatibility;
    UpdateEntry m_defaultEntry;
    CVersionString m_installedVersion;
    CAtlString m_remoteUrl;
    CAtlString m_remoteFile;
    bool m_noUpdates = false;
    PublicKeyList m_keys;
    CheckFailure m_remoteFailure;
    SignedItem m_signedFor;
};

#pragma once

#include "signing/SignatureCheck.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

class IDownloader;

// What "orvex-sign check" finds: a version file read as the program reads it, and each
// document it makes the program fetch, judged by the program's own readers and signature
// check, as an installed client that has seen nothing before would judge it today.

// One document and the verdict.
struct CheckedDocument {
    QString what;    // "the update information", in the run's language
    QString address; // where it was fetched from
    bool accepted = false;
    // Of an accepted document: its signature's check (NoKey when it needs none).
    SignatureCheck signature;
    // Of an accepted document that no signature of its own vouches for, what does instead
    // (the installer: the digest in the signed update information); empty otherwise.
    QString vouchedBy;
    // Why it is refused; empty when accepted.
    QString reason;
};

struct ReleaseReport {
    // What kind of version file it is, worded.
    QString kind;
    // What is wrong with the version file itself (a key attribute where the program does not
    // read one): the program then refuses the documents the file points to.
    QStringList problems;
    // What the check could not judge, which does not fail it.
    QStringList notes;
    std::vector<CheckedDocument> documents;

    bool AllAccepted() const;
};

// What to check: the version file, and where its documents are found.
struct ReleaseCheckRequest {
    // A product's version file (named after its BaseXml), the program's own
    // (OrvexProductUpdate.xml), a notice's local file (named after its BaseXML) or a gallery
    // pack's installed-categories file (a root element with "category" children).
    QString versionFile;
    // Empty for the addresses the files name; otherwise the folder address (http:, https: or
    // file:) that holds the documents under their own file names.
    QString at;
    // The local productlist.xml, or empty: with the program's own version file, the product
    // list it names by "Url" is checked too; for a gallery pack, its "Gallery" element gives
    // the address and the GUID.
    QString productList;
    // A gallery pack's GUID, which its installed file does not carry; may be left out when
    // the product list names one pack only.
    QString forId;
};

// Reads request.versionFile and checks what it points to through downloader. Nothing (and
// *why) when a file cannot be read as the program reads it, or the request does not say
// enough to find the documents.
std::optional<ReleaseReport> CheckRelease(const ReleaseCheckRequest& request,
                                          std::shared_ptr<IDownloader> downloader, QString* why);

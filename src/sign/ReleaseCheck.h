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

// Reads the version file at path and checks what it points to through downloader. at: empty
// for the addresses the file names; otherwise the folder address (http:, https: or file:)
// that holds the documents under their own file names. Nothing (and *why) when the file
// cannot be read as a version file the program knows: a product's (named after its BaseXml),
// the program's own (OrvexProductUpdate.xml), or a notice's local file (named after its
// BaseXML).
std::optional<ReleaseReport> CheckRelease(const QString& path, const QString& at,
                                          std::shared_ptr<IDownloader> downloader, QString* why);

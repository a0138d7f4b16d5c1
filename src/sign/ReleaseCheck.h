#pragma once

#include "signing/SignatureCheck.h"

#include <QDate>
#include <QString>
#include <QStringList>

#include <vector>

class IDownloader;

// What "orvex-sign check" finds: a version file read as the program reads it, and each
// document it makes the program fetch, judged by the program's own readers and signature
// check, as an installed client that has seen nothing before would judge it today.

// One document and the verdict.
struct CheckedDocument {
    QString what;    // "update information of Editor", in the run's language
    QString address; // where it was fetched from
    bool accepted = false;
    SignatureCheck signature;
    // Why it is refused; empty when accepted.
    QString reason;
    // Days until its signature's last day, when it ends within the warning time.
    std::optional<qint64> expiresIn;
};

struct ReleaseReport {
    // What kind of version file it is, worded.
    QString kind;
    // What is wrong with the version file itself (a key the program does not read there);
    // each makes the check fail.
    QStringList problems;
    // Notes that do not fail the check (a document it cannot fetch for the program).
    QStringList notes;
    std::vector<CheckedDocument> documents;

    bool AllAccepted() const;
};

// A signature that ends within this many days is accepted with a warning.
inline constexpr qint64 kExpiryWarningDays = 14;

// Reads the version file at path and checks what it points to through downloader. at: empty
// for the addresses the file names; otherwise the folder address (http:, https: or file:)
// that holds the documents under their own names. today: the UTC day of the check.
// Nothing (and *why) when the file cannot be read as any version file the program knows.
std::optional<ReleaseReport> CheckRelease(const QString& path, const QString& at,
                                          IDownloader& downloader, const QDate& today,
                                          QString* why);

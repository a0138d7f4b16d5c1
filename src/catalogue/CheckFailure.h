#pragma once

#include "net/DownloadFailure.h"
#include "platform/AtlString.h"
#include "signing/SignatureCheck.h"

#include <QString>

#include <utility>

// Why an item's row has no update information: the fetch failed, what arrived was not signed
// by the key the installed file names, or what arrived or what is installed could not be
// used. The readers and the engine say what failed; DescribeFailure is
// the one place that words it for the person, for the tooltip and for -verbose alike.
struct CheckFailure {
    enum Kind {
        None,
        Download,       // the fetch failed; download says why
        NotXml,         // the update information is not XML
        NotServer,      // its root's "Location" is not "Server"
        NoProduct,      // it has no product element
        NoVersion,      // the version file gives no installed version
        InvalidVersion, // detail: the installed version as written, which is no version number
        NotNewest,      // the row's version is not the one checked
        GalleryNotUnderstood,
        GalleryNoCategory, // the gallery information lists none of the installed categories
        NoticeNotUnderstood,
        ListNotUnderstood, // the product list fetched holds no item the program knows
        // A document whose local file names a key was refused; signature says why.
        Signature,        // the update information
        GallerySignature, // the gallery information
        NoticeSignature,  // the notice
        ListSignature,    // the product list
        // The program's signed update information gives no digest of its installer.
        NoInstallDigest,
    };
    // Written as {kind, download, detail[, signature]}; the signature only where it is one.
    CheckFailure(Kind kind = None, DownloadFailure download = {}, CAtlString detail = {},
                 SignatureCheck signature = {})
        : kind(kind), download(std::move(download)), detail(std::move(detail)),
          signature(std::move(signature)) {}

    Kind kind = None;
    DownloadFailure download;
    CAtlString detail;
    SignatureCheck signature;

    bool operator==(const CheckFailure&) const = default;
};

// Whether the failure is a document refused for its signature (or, signed, for lacking what its
// signature must bind), as opposed to one that could not be fetched or read.
bool IsRefusal(const CheckFailure& failure);

// The failure in the run's language; empty for None. Call it on the interface thread, after
// the translators are installed.
QString DescribeFailure(const CheckFailure& failure);
QString DescribeFailure(const DownloadFailure& failure);

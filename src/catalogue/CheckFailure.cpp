#include "catalogue/CheckFailure.h"

#include <QCoreApplication>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("CheckFailure", text);
}
} // namespace

QString DescribeFailure(const DownloadFailure& failure) {
    const CAtlString& host = failure.host;
    const CAtlString& proxy = failure.proxy;
    switch (failure.kind) {
    case DownloadFailure::None:
        return {};
    case DownloadFailure::NotFound:
        return Tr("The server %1 could not be found.").arg(host);
    case DownloadFailure::Unreachable:
        return Tr("The server %1 could not be reached.").arg(host);
    case DownloadFailure::ProxyUnreachable:
        return Tr("The proxy %1 could not be reached.").arg(proxy);
    case DownloadFailure::TimedOut:
        // Behind a proxy it was the proxy that did not take the connection in time.
        return Tr("The connection to %1 timed out.").arg(proxy.isEmpty() ? host : proxy);
    case DownloadFailure::Untrusted:
        return Tr("The certificate of %1 is not trusted.").arg(host);
    case DownloadFailure::CertificateExpired:
        return Tr("The certificate of %1 expired on %2.").arg(host, failure.detail);
    case DownloadFailure::CertificateWrongName:
        return Tr("The certificate that %1 presented was issued for another name.").arg(host);
    case DownloadFailure::CertificateIssuer:
        return Tr("The certificate of %1 was not issued by a trusted certificate authority.")
            .arg(host);
    case DownloadFailure::Insecure:
        return Tr("No secure connection to %1 could be made.").arg(host);
    case DownloadFailure::Status:
        return Tr("The server answered with status %1.").arg(failure.status);
    case DownloadFailure::ProxyDeclined:
        if (proxy.isEmpty())
            return Tr("The proxy asked for credentials and they were declined.");
        return Tr("The proxy %1 asked for a user name and password, and none was given.")
            .arg(proxy);
    case DownloadFailure::ProxyRefused:
        if (proxy.isEmpty())
            return Tr("The proxy asked for credentials and refused those given.");
        return Tr("The proxy %1 refused the user name and password given.").arg(proxy);
    case DownloadFailure::ProxyCouldNotReach:
        return Tr("The proxy %1 could not reach the server %2.").arg(proxy, host);
    case DownloadFailure::ProxyStatus:
        return Tr("The proxy %1 refused the request for %2 with status %3.")
            .arg(proxy, host, failure.status);
    case DownloadFailure::ServerTimedOut:
        return Tr("The server %1 did not answer the proxy %2 in time.").arg(host, proxy);
    case DownloadFailure::BrokenOff:
        return Tr("The connection to %1 broke off.").arg(host);
    case DownloadFailure::Empty:
        return Tr("The server sent an empty file.");
    case DownloadFailure::TooLarge:
        return Tr("The file from %1 is larger than the %2 allowed.").arg(host, failure.status);
    case DownloadFailure::Cancelled:
        return Tr("The download was cancelled.");
    case DownloadFailure::ProxyScriptFailed:
        return Tr("The proxy script %1 could not be fetched or run, and the server %2 could not "
                  "be reached without it.")
            .arg(failure.detail, host);
    case DownloadFailure::TooSlow:
        return Tr("The download from %1 did not finish in the time allowed.").arg(host);
    case DownloadFailure::Failed:
        break;
    }
    return Tr("The download failed.");
}

bool IsRefusal(const CheckFailure& failure) {
    switch (failure.kind) {
    case CheckFailure::Signature:
    case CheckFailure::GallerySignature:
    case CheckFailure::NoticeSignature:
    case CheckFailure::ListSignature:
    case CheckFailure::NoInstallDigest:
        return true;
    default:
        return false;
    }
}

QString DescribeFailure(const CheckFailure& failure) {
    switch (failure.kind) {
    case CheckFailure::None:
        return {};
    case CheckFailure::Download:
        return DescribeFailure(failure.download);
    case CheckFailure::NotXml:
        return Tr("The update information was not understood: it is not XML.");
    case CheckFailure::NotServer:
        return Tr("The update information was not understood: its \"Location\" is not "
                  "\"Server\".");
    case CheckFailure::NoProduct:
        return Tr("The update information was not understood: it has no product element.");
    case CheckFailure::NoVersion:
        return Tr("The version file gives no installed version.");
    case CheckFailure::InvalidVersion:
        return Tr("The installed version \"%1\" is not a valid version number.")
            .arg(failure.detail);
    case CheckFailure::NotNewest:
        return Tr("Only the newest installed version is checked.");
    case CheckFailure::GalleryNotUnderstood:
        return Tr("The gallery information was not understood.");
    case CheckFailure::GalleryNoCategory:
        return Tr("The gallery information lists none of the installed categories.");
    case CheckFailure::NoticeNotUnderstood:
        return Tr("The notice was not understood.");
    case CheckFailure::ListNotUnderstood:
        return Tr("The product list was not understood.");
    case CheckFailure::Signature:
        return Tr("The update information was refused. %1")
            .arg(SignatureFailureText(failure.signature));
    case CheckFailure::GallerySignature:
        return Tr("The gallery information was refused. %1")
            .arg(SignatureFailureText(failure.signature));
    case CheckFailure::NoticeSignature:
        return Tr("The notice was refused. %1").arg(SignatureFailureText(failure.signature));
    case CheckFailure::NoInstallDigest:
        return Tr("The update information was refused. It gives no UpdateInstallSHA256 for "
                  "the installer, which signed update information must.");
    case CheckFailure::ListSignature:
        return Tr("The product list was refused. %1").arg(SignatureFailureText(failure.signature));
    }
    return {};
}

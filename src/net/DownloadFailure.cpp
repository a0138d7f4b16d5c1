#include "net/DownloadFailure.h"

#include <QCoreApplication>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("Downloader", text);
}
} // namespace

QString DescribeFailure(const DownloadFailure& failure) {
    switch (failure.kind) {
    case DownloadFailure::None:
        return {};
    case DownloadFailure::NotFound:
        return Tr("The server %1 could not be found.").arg(failure.host);
    case DownloadFailure::Unreachable:
        return Tr("The server %1 could not be reached.").arg(failure.host);
    case DownloadFailure::ProxyUnreachable:
        return Tr("The proxy %1 could not be reached.").arg(failure.host);
    case DownloadFailure::TimedOut:
        return Tr("The connection to %1 timed out.").arg(failure.host);
    case DownloadFailure::Untrusted:
        return Tr("The certificate of %1 is not trusted.").arg(failure.host);
    case DownloadFailure::Insecure:
        return Tr("No secure connection to %1 could be made.").arg(failure.host);
    case DownloadFailure::Status:
        return Tr("The server answered with status %1.").arg(failure.status);
    case DownloadFailure::ProxyDeclined:
        return Tr("The proxy asked for credentials and they were declined.");
    case DownloadFailure::ProxyRefused:
        return Tr("The proxy asked for credentials and refused those given.");
    case DownloadFailure::BrokenOff:
        return Tr("The connection to %1 broke off.").arg(failure.host);
    case DownloadFailure::Empty:
        return Tr("The server sent an empty file.");
    case DownloadFailure::TooLarge:
        return Tr("The file from %1 is larger than the %2 allowed.")
            .arg(failure.host, failure.status);
    case DownloadFailure::Cancelled:
        return Tr("The download was cancelled.");
    case DownloadFailure::TooSlow:
        return Tr("The download from %1 did not finish in the time allowed.").arg(failure.host);
    case DownloadFailure::Failed:
        break;
    }
    return Tr("The download failed.");
}

#include "signing/SignatureReport.h"

#include "platform/ConsoleText.h"
#include "platform/SystemLog.h"

#include <QCoreApplication>
#include <QUrl>

#include <atomic>
#include <cstdio>

namespace {
std::atomic<bool> g_verbose{false};

QString Tr(const char* text) {
    return QCoreApplication::translate("SignatureReport", text);
}

// A version file may name a login in its address; it stays out of logs.
QString Printable(const QString& address) {
    const QUrl url(address);
    return url.isValid() ? url.toDisplayString(QUrl::RemoveUserInfo) : address;
}

void Print(const QString& line) {
    if (!g_verbose)
        return;
    std::fputs(ConsoleText(line).constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}
} // namespace

void SetSignatureVerbose(bool verbose) {
    g_verbose = verbose;
}

void ReportSignature(const QString& address, const SignatureCheck& check) {
    if (check.status == SignatureStatus::NoKey)
        return;
    if (!check.Accepted()) {
        ReportRefusal(address, SignatureFailureText(check));
        return;
    }
    const QString line = Printable(address) + QStringLiteral(": ") + SignatureSummaryText(check);
    if (check.expiresSoon)
        GetSystemLog()->Write(ISystemLog::Level::Notice, line);
    Print(line);
}

void ReportRefusal(const QString& address, const QString& reason) {
    const QString line = Tr("%1 was refused: %2").arg(Printable(address), reason);
    GetSystemLog()->Write(ISystemLog::Level::Warning, line);
    Print(line);
}

#include "update/SelfUpdate.h"

#include "platform/DataFile.h"
#include "platform/Shell.h"
#include "update/UpdaterVersion.h"

#include <QCoreApplication>
#include <QFile>
#include <QMessageBox>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("CWorkFlow", text);
}

void Warn(const QString& text) {
    QMessageBox box(QMessageBox::Warning, Tr("ORVEX Product Update"), text, QMessageBox::Ok);
    // Translations are files beside the program: they get no say over the box's layout.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void WarnDownloadFailed() {
    Warn(Tr("Could not download the new version of ORVEX Product Update."));
}
} // namespace

bool RunSelfUpdate(const std::shared_ptr<IDownloader>& downloader, QString* why) {
    CUpdaterVersion updater(LocateDataFile(QStringLiteral("OrvexProductUpdate.xml")).Text());
    updater.SetDownloader(downloader);
    if (!updater.ReadLocal() || updater.NoUpdates())
        return false;
    // An own version that cannot be read as a version sorts below every offer: asking on its
    // account would ask at every run, the login check included.
    if (const QString invalid = updater.InvalidVersionReason(); !invalid.isEmpty()) {
        if (why)
            *why = invalid;
        return false;
    }
    if (!updater.ReadRemote()) {
        // A refused signature is a finding worth telling, unlike a server that cannot be
        // reached at the moment.
        if (why && (updater.RemoteFailure().kind == CheckFailure::Signature ||
                    updater.RemoteFailure().kind == CheckFailure::NoInstallDigest))
            *why = DescribeFailure(updater.RemoteFailure());
        return false;
    }
    if (!updater.HasUpdate())
        return false;

    QMessageBox question(QMessageBox::Question, Tr("ORVEX Product Update"),
                         Tr("A new version of ORVEX Product Update must be downloaded and "
                            "installed before you proceed."),
                         QMessageBox::Ok | QMessageBox::Cancel);
    question.setTextFormat(Qt::PlainText);
    if (question.exec() != QMessageBox::Ok)
        return false;

    if (!updater.DownloadInstaller()) {
        if (updater.InstallerRefusal().isEmpty())
            WarnDownloadFailed();
        else
            Warn(Tr("The downloaded new version of ORVEX Product Update was refused and deleted. "
                    "%1")
                     .arg(updater.InstallerRefusal()));
        return false;
    }
    // The file stays when started: the installer runs from it.
    if (!updater.StartInstaller()) {
        // A folder mounted without execute permission or a file that is no program: ending
        // the run now would leave the user with neither the update nor a check.
        FilePath(updater.InstallerPath()).DeleteFile();
        WarnDownloadFailed();
        return false;
    }
    QCoreApplication::exit(0);
    return true;
}

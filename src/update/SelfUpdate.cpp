#include "update/SelfUpdate.h"

#include "platform/DataFile.h"
#include "platform/Shell.h"
#include "update/UpdaterVersion.h"

#include <QCoreApplication>
#include <QFile>
#include <QMessageBox>

#include <sys/stat.h>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("CWorkFlow", text);
}

void WarnDownloadFailed() {
    QMessageBox box(QMessageBox::Warning, Tr("ORVEX Product Update"),
                    Tr("Could not download the new version of ORVEX Product Update."),
                    QMessageBox::Ok);
    // Translations are files beside the program: they get no say over the box's layout.
    box.setTextFormat(Qt::PlainText);
    box.exec();
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
    if (!updater.ReadRemote() || !updater.HasUpdate())
        return false;

    QMessageBox question(QMessageBox::Question, Tr("ORVEX Product Update"),
                         Tr("A new version of ORVEX Product Update must be downloaded and "
                            "installed before you proceed."),
                         QMessageBox::Ok | QMessageBox::Cancel);
    question.setTextFormat(Qt::PlainText);
    if (question.exec() != QMessageBox::Ok)
        return false;

    if (!updater.DownloadInstaller()) {
        WarnDownloadFailed();
        return false;
    }
    // A download carries no execute permission here; the installer is this user's to run
    // and nobody else's. The file stays: the installer runs from it.
    const FilePath installer(updater.InstallerPath());
    const QByteArray local = QFile::encodeName(installer.LocalPath());
    const bool started =
        ::chmod(local.constData(), 0700) == 0 &&
        GetShell()->StartDetached(installer.LocalPath(), {updater.GetUpdateArgument()});
    if (!started) {
        // A folder mounted without execute permission or a file that is no program: ending
        // the run now would leave the user with neither the update nor a check.
        installer.DeleteFile();
        WarnDownloadFailed();
        return false;
    }
    QCoreApplication::exit(0);
    return true;
}

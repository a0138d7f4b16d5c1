#include "update/SelfUpdate.h"
#include "catalogue/WebPage.h"
#include "support/CatalogueSandbox.h"
#include "support/ModalAnswerer.h"
#include "support/ProgramRun.h"

#include <QCryptographicHash>
#include <QMessageBox>
#include <QTimer>

const QString kServer = QStringLiteral("http://127.0.0.1:9/self/");
const QByteArray kInstaller = "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/installer-ran\"\n";

// Runs the self-update of version 1.0.0.0 (localExtra on its version file) against an offer of
// 2.0.0.0 whose entry carries entry and serves installer, answering the question with answer.
// Whether it started the installer, and how many message boxes appeared.
static std::pair<bool, int> RunUpdate(const CatalogueSandbox& sandbox, const QString& localExtra,
                                      const QString& entry, const QByteArray& installer,
                                      int answer = QMessageBox::Ok) {
    sandbox.Write("Program/OrvexProductUpdate.xml",
                  CatalogueSandbox::VersionFile("1.0.0.0", kServer, "self.xml", localExtra));
    auto downloader = std::make_shared<FakeDownloader>();
    downloader->documents[kServer + "self.xml"] =
        CatalogueSandbox::Info("2.0.0.0", "UpdateInstallURL=\"" + kServer +
                                              "dl//\" UpdateInstallFile=\"setup.run\" " + entry);
    downloader->documents[kServer + "dl/setup.run"] = installer;
    ModalAnswerer answerer([answer](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        // Its text is a translation, which must not lay the box out.
        EXPECT_EQ(box->textFormat(), Qt::PlainText) << box->text().toStdString();
        box->done(box->icon() == QMessageBox::Question ? answer : QMessageBox::Ok);
    });
    const bool result = RunSelfUpdate(downloader);
    // A started update asks the application to quit, which makes every later modal loop of
    // the test process return at once; running the application's own loop once takes the
    // request back.
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    return {result, answerer.Count()};
}

// The installer's address is joined from a folder ending in a doubled separator.
TEST(SelfUpdate, AsksVerifiesAndStartsTheInstaller) {
    // Published in either case of its hexadecimal digits: here the first half upper case.
    QString digest = QString::fromLatin1(
        QCryptographicHash::hash(kInstaller, QCryptographicHash::Sha256).toHex());
    digest = digest.left(32).toUpper() + digest.mid(32);
    // clang-format off
    const struct { const char* name; QString localExtra, entry; int answer; bool result; int boxes; QStringList started; } rows[] = {
        {"NewerVersionStarted", "", "UpdateArgument=\"--from-updater\"", QMessageBox::Ok, true, 1, {"--from-updater"}},
        {"DigestMatchesAndNoArgumentIsStillOne", "", "UpdateInstallSHA256=\"" + digest + "\"", QMessageBox::Ok, true, 1, {""}},
        {"DigestMismatchNeverStarted", "", "UpdateInstallSHA256=\"" + QString(64, u'0') + "\"", QMessageBox::Ok, false, 2, {}},
        {"NoUpdatesAsksNothing", "NoUpdates=\"true\"", "", QMessageBox::Ok, false, 0, {}},
        {"Declined", "", "", QMessageBox::Cancel, false, 1, {}},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueSandbox sandbox;
        ShellRecorder shell;
        EXPECT_EQ(RunUpdate(sandbox, row.localExtra, row.entry, kInstaller, row.answer),
                  std::pair(row.result, row.boxes));
        QStringList started;
        for (const auto& start : shell->started) {
            started += start.arguments;
            EXPECT_EQ(start.mode, 0700u) << "executable for its owner only";
        }
        EXPECT_EQ(started, row.started);
        // The installer runs from its file, which stays; everything else is gone.
        EXPECT_EQ(TemporaryFiles().size(), row.result ? 1 : 0);
    }
}

// The installer's folder loses its trailing "/" characters first and then its "\" ones, so a
// "/" in front of a "\" stays.
TEST(SelfUpdate, InstallerFolderLosesItsSlashesBeforeItsBackslashes) {
    EXPECT_EQ(JoinUrl("http://h/dir/\\", "setup.run"), "http://h/dir//setup.run");
}

// On the desktop's own shell: the argument reaches the installer whole, without a shell, and
// a file that is no program is deleted with a warning, the run going on.
TEST(SelfUpdate, TheDesktopStartsARealInstallerAndRefusesAFileThatIsNoProgram) {
    for (const auto& [installer, started] :
         {std::pair(kInstaller, true), {QByteArray(64, '\x7f'), false}}) {
        SCOPED_TRACE(started);
        CatalogueSandbox sandbox;
        EXPECT_EQ(RunUpdate(sandbox, "", "UpdateArgument=\"a b\"", installer),
                  std::pair(started, started ? 1 : 2));
        const QString marker = TempFolder().LocalPath() + "/installer-ran";
        WaitFor([&] { return !started || QFile::exists(marker); }, 5000);
        EXPECT_EQ(sandbox.Read(marker), started ? "a b\n" : "") << "what the installer was given";
        EXPECT_EQ(TemporaryFiles().isEmpty(), !started);
    }
}

// The program's own version file with a version that is no version number: nothing is fetched
// and nothing asked (at every run, the login check included, as every invalid version sorts
// below every offer), and the reason is handed back.
TEST(SelfUpdate, AnOwnVersionThatIsNoVersionNeverAsks) {
    const QString notValid =
        QStringLiteral("The installed version \"%1\" is not a valid version number.");
    const std::pair<QString, QString> rows[] = {
        {"2.1", notValid.arg("2.1")},
        {"", "The version file gives no installed version."},
        {"1.2.3.4.5", notValid.arg("1.2.3.4.5")},
    };
    for (const auto& [text, reason] : rows) {
        SCOPED_TRACE(text.toStdString());
        CatalogueSandbox sandbox;
        sandbox.Write("Program/OrvexProductUpdate.xml",
                      CatalogueSandbox::VersionFile(text, kServer, "self.xml"));
        auto downloader = std::make_shared<FakeDownloader>();
        downloader->documents[kServer + "self.xml"] = CatalogueSandbox::Info("2.0.0.0");
        ModalAnswerer answerer([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
        QString why;
        EXPECT_FALSE(RunSelfUpdate(downloader, &why));
        EXPECT_EQ(std::tuple(answerer.Count(), downloader->asked, why),
                  std::tuple(0, QStringList(), reason));
    }
}

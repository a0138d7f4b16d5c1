#include "update/SelfUpdate.h"
#include "catalogue/WebPage.h"
#include "support/CatalogueSandbox.h"
#include "support/ModalAnswerer.h"
#include "support/ProgramRun.h"
#include "support/QtPrinters.h"
#include "update/UpdaterVersion.h"

#include <QCryptographicHash>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

const QString kServer = QStringLiteral("http://127.0.0.1:9/self/");
const QByteArray kInstaller = "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/installer-ran\"\n";

TEST(SelfUpdate, JoinsTheInstallerAddressAsTheFolderRuleSays) {
    // "/" is trimmed before "\\", so a "/" in front of a "\\" stays.
    const std::pair<QString, QString> rows[] = {
        {"http://h/dir/", "http://h/dir/setup.run"},
        {"http://h/dir", "http://h/dir/setup.run"},
        {"http://h/dir//", "http://h/dir/setup.run"},
        {"http://h/dir/\\", "http://h/dir//setup.run"},
        {"http://h/dir\\/", "http://h/dir/setup.run"},
    };
    for (const auto& [base, joined] : rows)
        EXPECT_EQ(JoinUrl(base, "setup.run"), joined) << base.toStdString();
}

struct Case {
    const char* name;
    QString offered = "2.0.0.0", localExtra = {}, entryExtra = "UpdateArgument=\"--from-updater\"";
    // QMessageBox::Ok or Cancel for the question.
    int answer = QMessageBox::Ok;
    bool installerServed = true, shellStarts = true;
    // What happened: the result, the message boxes seen, the arguments started with.
    bool result = true;
    int boxes = 1;
    QStringList started = {"--from-updater"};
};

// A started update asks the application to quit, which makes every later modal loop of the
// test process return at once; a real run ends there, a test goes on. Running the
// application's own loop once takes the request back.
void ForgetExitRequest() {
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
}

QString Sha256(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

class SelfUpdateRun : public ::testing::TestWithParam<Case> {};

TEST_P(SelfUpdateRun, AsksVerifiesAndStartsTheInstaller) {
    const Case& c = GetParam();
    CatalogueSandbox sandbox;
    ShellRecorder shell;
    shell->result = c.shellStarts;
    sandbox.Write("Program/OrvexProductUpdate.xml",
                  CatalogueSandbox::VersionFile("1.0.0.0", kServer, "self.xml", c.localExtra));
    auto downloader = std::make_shared<FakeDownloader>();
    downloader->documents[kServer + "self.xml"] = CatalogueSandbox::Info(
        c.offered, "UpdateInstallURL=\"" + kServer + "dl//\" UpdateInstallFile=\"setup.run\" " +
                       QString(c.entryExtra).replace("%1", Sha256(kInstaller)));
    if (c.installerServed)
        downloader->documents[kServer + "dl/setup.run"] = kInstaller;

    ModalAnswerer answerer([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_TRUE(box);
        box->done(box->icon() == QMessageBox::Question ? c.answer : QMessageBox::Ok);
    });
    EXPECT_EQ(RunSelfUpdate(downloader), c.result);
    ForgetExitRequest();
    EXPECT_EQ(answerer.Count(), c.boxes);
    QStringList started;
    for (const auto& start : shell->started) {
        started += start.arguments;
        EXPECT_EQ(start.mode, 0700u) << "executable for its owner only";
    }
    EXPECT_EQ(started, c.started);
    // The installer runs from its file, which stays; everything else is gone.
    EXPECT_EQ(TemporaryFiles().size(), c.result ? 1 : 0)
        << TemporaryFiles().join(' ').toStdString();
}

// clang-format off
const Case kCases[] = {
    {.name = "NewerVersionStarted"},
    {.name = "EmptyArgumentStillOneArgument", .entryExtra = "", .started = {""}},
    {.name = "DigestMatches", .entryExtra = "UpdateInstallSHA256=\"%1\"", .started = {""}},
    {.name = "DigestMismatchNeverStarted", .entryExtra = "UpdateInstallSHA256=\"" + QString(64, u'0') + "\"", .result = false, .boxes = 2, .started = {}},
    {.name = "SameVersionAsksNothing", .offered = "1.0.0.0", .result = false, .boxes = 0, .started = {}},
    {.name = "NoUpdatesAsksNothing", .localExtra = "NoUpdates=\"true\"", .result = false, .boxes = 0, .started = {}},
    {.name = "Declined", .answer = QMessageBox::Cancel, .result = false, .started = {}},
    {.name = "DownloadFails", .installerServed = false, .result = false, .boxes = 2, .started = {}},
    {.name = "StartFailsAndRunGoesOn", .shellStarts = false, .result = false, .boxes = 2},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, SelfUpdateRun, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SelfUpdate, TheDesktopStartsARealInstallerAndRefusesAFileThatIsNoProgram) {
    const struct {
        const char* name;
        QByteArray installer;
        bool started;
    } rows[] = {{"Script", kInstaller, true}, {"NotAProgram", QByteArray(64, '\x7f'), false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueSandbox sandbox;
        sandbox.Write("Program/OrvexProductUpdate.xml",
                      CatalogueSandbox::VersionFile("1.0.0.0", kServer, "self.xml"));
        auto downloader = std::make_shared<FakeDownloader>();
        downloader->documents[kServer + "self.xml"] =
            CatalogueSandbox::Info("2.0.0.0", "UpdateInstallURL=\"" + kServer +
                                                  "\" UpdateInstallFile=\"setup.run\" "
                                                  "UpdateArgument=\"a b\"");
        downloader->documents[kServer + "setup.run"] = row.installer;
        ModalAnswerer answerer(
            [](QWidget* modal) { qobject_cast<QMessageBox*>(modal)->done(QMessageBox::Ok); });
        EXPECT_EQ(RunSelfUpdate(downloader), row.started);
        ForgetExitRequest();
        const QString marker = TempFolder().LocalPath() + "/installer-ran";
        if (row.started) {
            WaitFor([&] { return QFile::exists(marker); }, 5000);
            QFile ran(marker);
            ASSERT_TRUE(ran.open(QIODevice::ReadOnly)) << "the installer did not run";
            EXPECT_EQ(ran.readAll(), "a b\n") << "one argument, passed without a shell";
        } else {
            EXPECT_EQ(answerer.Count(), 2) << "the question, then the warning";
            EXPECT_TRUE(TemporaryFiles().isEmpty());
        }
    }
}

} // namespace

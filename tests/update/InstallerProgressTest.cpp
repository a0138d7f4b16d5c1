// The self-update over a real server, where a download's time and its progress are real: the
// limit shared by what is fetched before any window exists, and the installer's progress
// dialog with its Cancel.
#include "update/InstallerProgress.h"
#include "net/TestServers.h"
#include "support/CatalogueSandbox.h"
#include "update/SelfUpdate.h"

#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

// The progress dialog on screen now, if any.
CInstallerProgress* ShownProgress() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* progress = qobject_cast<CInstallerProgress*>(widget);
            progress && progress->isVisible())
            return progress;
    return nullptr;
}

class SelfUpdateOnTheWire : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.IsRunning()) << "python3 could not start it"; }
    // The program's own version file, its update information at url + file, which offers
    // 2.0.0.0 with the installer at installer.
    void Offer(const QString& url, const QString& file, const QString& installer,
               const QString& localExtra = {}) {
        sandbox.Write("Program/OrvexProductUpdate.xml",
                      CatalogueSandbox::VersionFile("1.0.0.0", url, file, localExtra));
        server.Put("self.xml", CatalogueSandbox::Info(
                                   "2.0.0.0", "UpdateInstallURL=\"" + server.Url("/") +
                                                  "\" UpdateInstallFile=\"" + installer + "\""));
    }
    // The requests since the given count, as "GET /path".
    QStringList RequestsSince(qsizetype before) {
        QStringList requested;
        for (const QString& line : server.Requests().mid(before))
            requested << line.section(u' ', 0, 1);
        return requested;
    }

    CatalogueSandbox sandbox;
    TestServer server;
    std::shared_ptr<Downloader> downloader = std::make_shared<Downloader>();
};

// Nothing is on screen while the program's own update information and its signature are
// fetched: both share one limit of 30 s by the downloader's own clock, which here stands 28 s
// on as soon as the limit is set. A document that trickles ends when the shared time is up,
// one asked for after that is never requested, and the run goes on without an offer, saying
// why. Without the shared limit the trickle would run to the document's own limit of 20 s,
// 48 s by the same clock.
TEST_F(SelfUpdateOnTheWire, DocumentsBeforeTheWindowShareOneLimit) {
    // A key names the signature to fetch, which never arrives in time.
    const QString key =
        "UpdatePublicKey=\"RWQf6LRCGA9i53mlYecO4IzT51TGPpvWucNSCh1CBM0QTaLn73Y7GFO3\"";
    // clang-format off
    const struct { const char* name; QString folder, file; QStringList requested; } rows[] = {
        {"InformationTrickles", "/", "__trickle?every=1", {"GET /__trickle?every=1"}},
        {"SignatureTrickles", "/__slowsig/", "self.xml", {"GET /__slowsig/self.xml", "GET /__slowsig/self.xml.minisig"}},
    };
    // clang-format on
    downloader->documentLimits = {16 * 1024 * 1024, 20s};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Offer(server.Url(row.folder), row.file, "setup.run", key);
        const qsizetype before = server.Requests().size();
        int readings = 0;
        downloader->clock = [&] {
            // The first reading sets the limit; every later one stands 28 s on.
            return std::chrono::steady_clock::now() + (readings++ == 0 ? 0s : 28s);
        };
        ModalAnswerer answerer([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
        QString why;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(RunSelfUpdate(downloader, &why));
        EXPECT_LT(downloader->clock() - started, 35s) << "the limit did not hold";
        EXPECT_EQ(answerer.Count(), 0);
        EXPECT_EQ(why, "The program's own update information did not arrive within 30 seconds; "
                       "going on without it.");
        EXPECT_EQ(RequestsSince(before), row.requested);
        EXPECT_EQ(TemporaryFiles(), QStringList());
    }
}

// Once the person has said yes, the installer's download shows what has arrived and of how
// much; Cancel ends it at once, deletes what arrived and lets the run go on without a warning.
TEST_F(SelfUpdateOnTheWire, InstallerDownloadShowsItsProgressAndCancels) {
    Offer(server.Url("/"), "self.xml", "__trickle?every=1");
    QStringList boxes;
    ModalAnswerer answerer([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        boxes << box->text();
        box->done(box->icon() == QMessageBox::Question ? QMessageBox::Ok : QMessageBox::Close);
    });
    QString amount;
    bool partial = false;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        CInstallerProgress* progress = ShownProgress();
        if (!progress || progress->Cancelled())
            return;
        amount = progress->findChild<QLabel*>("amountLabel")->text();
        // Cancelled once the first bytes are in the file.
        if (amount.startsWith("1 ")) {
            partial = !TemporaryFiles().isEmpty();
            progress->findChild<QPushButton*>("cancelButton")->click();
        }
    });
    watcher.start(20);
    ShellRecorder shell;
    EXPECT_FALSE(RunSelfUpdate(downloader));
    watcher.stop();
    EXPECT_EQ(ShownProgress(), nullptr);
    EXPECT_EQ(amount, "1 bytes of 100 bytes");
    EXPECT_TRUE(partial) << "nothing had arrived when Cancel was pressed";
    EXPECT_EQ(TemporaryFiles(), QStringList());
    EXPECT_EQ(downloader->GetLastFailure().kind, DownloadFailure::Cancelled);
    // Only the question: a cancel is no failure to warn about.
    EXPECT_EQ(boxes.size(), 1) << boxes.join(u'\n').toStdString();
    EXPECT_TRUE(shell->started.empty());

    // An installer that arrives whole is shown whole, with the size the server announced; the
    // sentence, the bar, the amount and Cancel each have a place of their own.
    server.AddFile("setup.run", 3000);
    CInstallerProgress progress(downloader);
    progress.show();
    const CAtlString path = downloader->DownloadInstaller(server.Url("/setup.run"));
    EXPECT_EQ(progress.findChild<QLabel*>("amountLabel")->text(), "2.93 KiB of 2.93 KiB");
    EXPECT_EQ(progress.findChild<QProgressBar*>("progressBar")->value(), 1000);
    EXPECT_FALSE(progress.Cancelled());
    const QStringList parts = {"textLabel", "progressBar", "amountLabel", "cancelButton"};
    for (qsizetype i = 0; i < parts.size(); ++i)
        for (qsizetype j = i + 1; j < parts.size(); ++j)
            EXPECT_FALSE(progress.findChild<QWidget*>(parts[i])->geometry().intersects(
                progress.findChild<QWidget*>(parts[j])->geometry()))
                << parts[i].toStdString() << " covers " << parts[j].toStdString();
    QFile::remove(FilePath(path).LocalPath());
}

} // namespace

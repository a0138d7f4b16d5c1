#include "update/SelfUpdate.h"
#include "catalogue/WebPage.h"
#include "signing/SignatureSequence.h"
#include "support/CatalogueSandbox.h"
#include "support/MinisignTool.h"
#include "support/ModalAnswerer.h"
#include "support/ProgramRun.h"
#include "update/UpdaterVersion.h"

#include <QCryptographicHash>
#include <QMessageBox>
#include <QTimer>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

const QString kServer = QStringLiteral("http://127.0.0.1:9/self/");
// Started from its descriptor, the installer does not know its folder: it leaves its mark in
// the sandbox's root.
const QByteArray kInstaller = "#!/bin/sh\necho \"$@\" > \"$ORVEX_ROOT/installer-ran\"\n";

// Runs the self-update of version 1.0.0.0 (localExtra on its version file) against an offer of
// 2.0.0.0 whose entry carries entry and serves installer (and signature beside it; the offer's
// own signature is signInfo's), answering the question with answer. Whether it started the
// installer, and how many message boxes appeared; the warnings' texts go to warnings.
static std::pair<bool, int> RunUpdate(const CatalogueSandbox& sandbox, const QString& localExtra,
                                      const QString& entry, const QByteArray& installer,
                                      int answer = QMessageBox::Ok,
                                      const std::optional<QByteArray>& signature = {},
                                      QStringList* warnings = nullptr,
                                      const std::function<QByteArray(QByteArray)>& signInfo = {}) {
    sandbox.Write("Program/OrvexProductUpdate.xml",
                  CatalogueSandbox::VersionFile("1.0.0.0", kServer, "self.xml", localExtra));
    auto downloader = std::make_shared<FakeDownloader>();
    downloader->documents[kServer + "self.xml"] =
        CatalogueSandbox::Info("2.0.0.0", "UpdateInstallURL=\"" + kServer +
                                              "dl//\" UpdateInstallFile=\"setup.run\" " + entry);
    if (signInfo)
        downloader->documents[kServer + "self.xml.minisig"] =
            signInfo(downloader->documents[kServer + "self.xml"]);
    downloader->documents[kServer + "dl/setup.run"] = installer;
    if (signature)
        downloader->documents[kServer + "dl/setup.run.minisig"] = *signature;
    ModalAnswerer answerer([answer, warnings](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        // Its text is a translation, which must not lay the box out.
        EXPECT_EQ(box->textFormat(), Qt::PlainText) << box->text().toStdString();
        if (warnings && box->icon() == QMessageBox::Warning)
            *warnings << box->text();
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
        {"EmptyDigestIsAWrongOne", "", "UpdateInstallSHA256=\"\"", QMessageBox::Ok, false, 2, {}},
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
            EXPECT_EQ(start.bytes, kInstaller);
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
        const QString marker = sandbox.Path("installer-ran");
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

// With a key in the program's own version file, the signed update information binds the
// installer through its digest: the installer starts only when its bytes match, and a
// ".minisig" beside it, when published, must verify as well; any other is deleted unstarted,
// with the reason, and the signature file is gone either way. (Signed update information
// without a digest is refused before anything is asked: SignedDocumentsTest.)
TEST(SelfUpdate, ANamedKeyStartsOnlyTheInstallerItsSignedInformationNames) {
    MinisignTool tool;
    const QString key = tool.MakeKey("maker"), other = tool.MakeKey("other");
    const QString refused =
        "The downloaded new version of ORVEX Product Update was refused and deleted. ";
    const QString digest = QString::fromLatin1(
        QCryptographicHash::hash(kInstaller, QCryptographicHash::Sha256).toHex());
    const QString digestEntry = "UpdateInstallSHA256=\"" + digest + "\"";
    // Another file the maker signed for the program, as an attacker could serve it.
    const QByteArray otherSigned = CatalogueSandbox::Info("9.0.0.0");
    // clang-format off
    const struct { const char* name; QString keys; QString entry; QByteArray installer; std::optional<QByteArray> signature; QString warning; } rows[] = {
        {"Signed", key, digestEntry, kInstaller, tool.Sign("maker", kInstaller, "for=OrvexProductUpdate sequence=2"), ""},
        {"SignedLegacyWithTwoKeys", other + "," + key, digestEntry, kInstaller, tool.Sign("maker", kInstaller, "for=OrvexProductUpdate sequence=2", true), ""},
        {"DigestWithoutSignature", key, digestEntry, kInstaller, std::nullopt, ""},
        {"OtherSignedFileAtItsAddress", key, digestEntry, otherSigned, tool.Sign("maker", otherSigned, "for=OrvexProductUpdate sequence=9"), refused + "The downloaded file is not the published one: its SHA-256 differs."},
        {"SignatureForAnotherItem", key, digestEntry, kInstaller, tool.Sign("maker", kInstaller, "for=Editor sequence=9"), refused + "It was signed for \"Editor\", not for \"OrvexProductUpdate\"."},
        {"OtherKey", key, digestEntry, kInstaller, tool.Sign("other", kInstaller, ""), refused + "It was signed with an unknown key (" + tool.PrintedId("other") + ")."},
        {"OtherBytes", key, digestEntry, kInstaller, tool.Sign("maker", kInstaller + " ", ""), refused + "Its signature does not match."},
        {"Expired", key, digestEntry, kInstaller, tool.Sign("maker", kInstaller, "for=OrvexProductUpdate expires=2020-02-29 sequence=3"), refused + "It expired on 2020-02-29."},
        {"OlderThanOneStartedBefore", key, digestEntry, kInstaller, tool.Sign("maker", kInstaller, "for=OrvexProductUpdate sequence=1"), refused + "It is older than the last one seen."},
        {"NoKeyNoCheck", "", "", kInstaller, tool.Sign("other", kInstaller, ""), ""},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueSandbox sandbox;
        ShellRecorder shell;
        SystemLogRecorder log;
        RememberSequence(kInstallerItem, {2, {}});
        QStringList warnings;
        const bool started = row.warning.isEmpty();
        EXPECT_EQ(RunUpdate(sandbox, "UpdatePublicKey=\"" + row.keys + "\"", row.entry,
                            row.installer, QMessageBox::Ok, row.signature, &warnings,
                            [&tool](const QByteArray& info) {
                                return tool.Sign("maker", info,
                                                 "for=OrvexProductUpdate sequence=1");
                            }),
                  std::pair(started, started ? 1 : 2));
        EXPECT_EQ(warnings, started ? QStringList() : QStringList{row.warning});
        EXPECT_EQ(shell->started.size(), started ? 1u : 0u);
        EXPECT_EQ(TemporaryFiles(), started ? QStringList{"FLVTemp.xml"} : QStringList());
        EXPECT_EQ(LastSeenSequence(kInstallerItem).value_or(SeenSequence()).sequence, 2u);
        // What a run without a window refused is in the system log.
        EXPECT_EQ(log.Lines(),
                  started ? QStringList()
                          : QStringList{"warning: " + kServer + "dl/setup.run was refused: " +
                                        row.warning.mid(refused.size())});
    }
}

// Runs attack in a child that has become the user "nobody"; whether it reported success.
static bool AsAnotherUser(const std::function<bool()>& attack) {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(::setgid(65534) == 0 && ::setuid(65534) == 0 && attack() ? 0 : 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Another user who can write the folder above the temporary folder (a shared folder without
// the sticky bit), in a sandbox and outside one. When they made the temporary folder first it
// is refused (outside, a fresh private one is used instead); when they move it away between
// the check and the start and put their own with their program in its place, the checked
// bytes are the ones started, never theirs.
TEST(SelfUpdate, AnotherUsersSwapNeverRuns) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to act as a second user";
    const struct {
        const char* name;
        bool sandboxed, theirsFirst, started;
    } rows[] = {{"SandboxTheirFolder", true, true, false},
                {"SandboxSwap", true, false, true},
                {"OutsideTheirFolder", false, true, true},
                {"OutsideSwap", false, false, true}};
    const auto keep = [](const char* name) {
        return qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
    };
    const auto put = [](const char* name, const std::optional<QByteArray>& value) {
        value ? qputenv(name, *value) : qunsetenv(name);
    };
    const std::optional<QByteArray> runtime = keep("XDG_RUNTIME_DIR"), tmpdir = keep("TMPDIR");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueSandbox sandbox;
        ::chmod(QFile::encodeName(sandbox.Root()).constData(), 0777);
        QString folder = sandbox.Path("tmp");
        if (!row.sandboxed) {
            put("XDG_RUNTIME_DIR", std::nullopt);
            put("TMPDIR", QFile::encodeName(sandbox.Root()));
            put("ORVEX_ROOT", std::nullopt);
            folder = sandbox.Path("orvex-product-update-0");
        }
        // Made before the fork: the child of a threaded process only makes system calls.
        const QByteArray local = QFile::encodeName(folder), moved = local + "-moved";
        const QByteArray installer = local + "/FLVTemp.xml";
        ASSERT_TRUE(!row.theirsFirst || AsAnotherUser([&] {
            return ::mkdir(local, 0777) == 0 && ::chmod(local, 0777) == 0;
        }));
        ShellRecorder shell;
        bool swapped = false;
        shell.shell->beforeStart = [&] {
            swapped = AsAnotherUser([&] {
                const int fd = ::rename(local, moved) || ::mkdir(local, 0777)
                                   ? -1
                                   : ::open(installer, O_WRONLY | O_CREAT | O_EXCL, 0777);
                return fd >= 0 && ::write(fd, "#!/bin/sh\necho theirs\n", 21) == 21;
            });
        };
        EXPECT_EQ(RunUpdate(sandbox, "", "", kInstaller).first, row.started);
        put("XDG_RUNTIME_DIR", runtime);
        put("TMPDIR", tmpdir);
        ASSERT_EQ(shell->started.size(), row.started ? 1u : 0u);
        EXPECT_TRUE(!row.started || shell->started[0].bytes == kInstaller) << "theirs was started";
        // Where the folder was this user's, their swap took place and still did not count.
        EXPECT_TRUE(swapped || row.theirsFirst);
    }
}

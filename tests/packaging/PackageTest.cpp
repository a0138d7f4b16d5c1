// The Debian package as an administrator gets it: built by CPack from this build tree,
// inspected with dpkg-deb, checked by desktop-file-validate and lintian, and unpacked into a
// folder where the packaged program runs a whole silent check.
#include "net/TestServers.h"
#include "support/CatalogueSandbox.h"

#include <QDate>
#include <QDirIterator>
#include <QSet>

const QString kProgramDir = QStringLiteral("/opt/orvex/ProductUpdate");

// The tools' reports go to either stream; cpack and lintian may take minutes.
static Outcome Command(const QString& program, const QStringList& arguments) {
    const Outcome run =
        RunProgram(program, arguments, QProcessEnvironment::systemEnvironment(), 600000);
    return {
        run.status == QProcess::NormalExit ? run.exitCode : -1, run.status, run.out + run.err, {}};
}

// The package and its unpacked files, made once for all the checks below.
class PackageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* tool : {"dpkg-deb", "dpkg-shlibdeps", "lintian", "desktop-file-validate"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                s_missing += QLatin1String(tool) + u' ';
        if (!s_missing.isEmpty())
            return;
        s_work.emplace();
        const Outcome cpack = Command(ORVEX_CPACK, {"-G", "DEB", "--config", ORVEX_CPACK_CONFIG,
                                                    "-B", s_work->filePath("out")});
        const QStringList built =
            QDir(s_work->filePath("out")).entryList({"orvex-product-update_*.deb"}, QDir::Files);
        s_buildLog = cpack.out;
        if (cpack.exitCode != 0 || built.size() != 1)
            return;
        s_deb = s_work->filePath("out/" + built.first());
        Command("dpkg-deb", {"-x", s_deb, Unpacked({})});
        // The same files under a higher version: what an upgrade installs over this one.
        const QString tree = s_work->filePath("upgrade");
        Command("dpkg-deb", {"-R", s_deb, tree});
        QByteArray control = ReadFile(tree + "/DEBIAN/control");
        control.replace("\nVersion: " ORVEX_PACKAGE_VERSION "\n",
                        "\nVersion: " ORVEX_PACKAGE_VERSION "+1\n");
        if (WriteFile(tree + "/DEBIAN/control", control) &&
            Command("dpkg-deb", {"--root-owner-group", "-b", tree, s_work->filePath("up.deb")})
                    .exitCode == 0)
            s_upgrade = s_work->filePath("up.deb");
        // dpkg-deb -c: mode, owner/group, size, date, time, ./path [-> target]
        for (const QString& line :
             Command("dpkg-deb", {"-c", s_deb}).out.split(u'\n', Qt::SkipEmptyParts)) {
            const QStringList f = line.split(QRegularExpression("\\s+"));
            QStringList link = f.mid(5).join(u' ').mid(1).split(QLatin1String(" -> "));
            while (link[0].endsWith(u'/'))
                link[0].chop(1);
            s_listing[link[0]] = {f[0] + (link.size() > 1 ? " -> " + link[1] : QString()),
                                  f.value(1)};
        }
    }
    static void TearDownTestSuite() { s_work.reset(); }
    void SetUp() override {
        // scripts/install-deps installs them: a skip would only hide a missing install step.
        ASSERT_TRUE(s_missing.isEmpty())
            << "missing " << s_missing.toStdString()
            << "(packages dpkg-dev, lintian, desktop-file-utils; scripts/install-deps)";
        ASSERT_FALSE(s_deb.isEmpty()) << "cpack built no package:\n" << s_buildLog.toStdString();
        ASSERT_FALSE(s_upgrade.isEmpty()) << "dpkg-deb could not repack it as an upgrade";
    }

    static QString Unpacked(const QString& path) { return s_work->filePath("root") + path; }
    static QByteArray Contents(const QString& path) { return ReadFile(Unpacked(path)); }
    static QString Field(const QString& name) {
        return Command("dpkg-deb", {"-f", s_deb, name}).out.trimmed();
    }

    static inline std::optional<QTemporaryDir> s_work;
    static inline QString s_deb, s_upgrade, s_missing, s_buildLog;
    // Every path the package holds, without a final '/' ("" for its root): the mode, with
    // " -> target" for a link, and the owner.
    static inline QMap<QString, std::pair<QString, QString>> s_listing;
};

// The maintainer scripts and the configuration file show in what installing and removing do,
// which InstallRemovePurgeAndReinstallLeaveNothingBehind compares.
TEST_F(PackageTest, ControlFieldsNameTheVersionAndTheLinkedLibraries) {
    EXPECT_EQ(Field("Package"), "orvex-product-update");
    EXPECT_EQ(Field("Version"), ORVEX_PACKAGE_VERSION);
    const QString depends = Field("Depends");
    for (const char* library : {"libqt6widgets6", "libcurl4", "libtinyxml2", "libc6"})
        EXPECT_TRUE(depends.contains(QLatin1String(library))) << library;
}

// Everyone may read what only root may change, whatever the umask of the build, and the key
// files are where the program and the administrator look for them.
TEST_F(PackageTest, ContentsFollowTheLayoutWithSafeModes) {
    for (const auto& [path, entry] : s_listing.asKeyValueRange()) {
        SCOPED_TRACE(path.toStdString());
        const QString& mode = entry.first;
        EXPECT_EQ(entry.second, "root/root");
        EXPECT_TRUE(mode[0] == u'l' || (mode[7] == u'r' && mode[5] != u'w' && mode[8] != u'w' &&
                                        (mode[0] != u'd' || mode[9] == u'x')));
    }
    const QString program = kProgramDir + "/orvex-product-update", reg = kProgramDir + "/orvex-reg",
                  sign = kProgramDir + "/orvex-sign";
    // clang-format off
    const std::pair<QString, QString> expected[] = {
        {program, "-rwxr-xr-x"}, {reg, "-rwxr-xr-x"}, {sign, "-rwxr-xr-x"},
        {"/usr/bin/orvex-sign", "lrwxrwxrwx -> " + sign}, {"/usr/share/man/man1/orvex-sign.1.gz", "-rw-r--r--"},
        {"/usr/bin/orvex-product-update", "lrwxrwxrwx -> " + program}, {"/usr/bin/orvex-reg", "lrwxrwxrwx -> " + reg},
        {kProgramDir + "/OrvexProductUpdate.xml", "-rw-r--r--"}, {kProgramDir + "/Languages/de/ORVEXProductUpdate.strings", "-rw-r--r--"},
        {"/usr/share/applications/orvex-product-update.desktop", "-rw-r--r--"}, {"/etc/xdg/autostart/orvex-product-update.desktop", "-rw-r--r--"}};
    // clang-format on
    for (const auto& [path, entry] : expected)
        EXPECT_EQ(s_listing.value(path).first, entry) << path.toStdString();
    EXPECT_FALSE(s_listing.contains("/var/lib/orvex")) << "made by postinst, not shipped";
    // The packaged program never offers to replace itself.
    const QByteArray text = Contents(kProgramDir + "/OrvexProductUpdate.xml");
    EXPECT_TRUE(text.contains("NoUpdates=\"true\"") &&
                text.contains("CurrentVersion=\"" ORVEX_PACKAGE_VERSION ".0\""))
        << text.constData();
}

// After a removal the autostart entry stays (a configuration file); without its program the
// desktop must skip it rather than fail at every login.
TEST_F(PackageTest, DesktopEntriesValidateAndTheLoginEntryStartsTheSilentRun) {
    const char* autostart = "/etc/xdg/autostart/orvex-product-update.desktop";
    for (const char* entry : {"/usr/share/applications/orvex-product-update.desktop", autostart}) {
        const Outcome run = Command("desktop-file-validate", {Unpacked(entry)});
        EXPECT_TRUE(run.exitCode == 0 && run.out.trimmed().isEmpty()) << run.out.toStdString();
        EXPECT_TRUE(Contents(entry).contains("\nTryExec=orvex-product-update\n")) << entry;
    }
    EXPECT_TRUE(Contents(autostart).contains("\nExec=orvex-product-update -silent\n"));
}

// The installed program, run with the machine hive at hivePath, fetches a newer product list
// without a signature: it asks for the signature, stores nothing beside itself or on the
// machine, and goes on with the list it had.
void ExpectUnsignedListRefused(const QString& hivePath, const QString& programDir) {
    TestServer server;
    ASSERT_TRUE(server.IsRunning()) << "python3 could not start the test server";
    const Sandbox sandbox;
    sandbox.Write("machine.reg", ReadFile(hivePath));
    const QByteArray stored = "<ProductList Version=\"1.0.0.0\" Url=\"" +
                              server.Url("/list.xml").toUtf8() +
                              "\"><Product Name=\"Old\" BaseXml=\"Old\"/></ProductList>";
    sandbox.Write("ProgramData/productlist.xml", stored);
    server.Put("list.xml", "<ProductList Version=\"2.0.0.0\" Url=\"" +
                               server.Url("/list.xml").toUtf8() +
                               "\"><Product Name=\"Alpha\" BaseXml=\"Alpha\"/></ProductList>");
    const Outcome run = RunProgram(programDir + "/orvex-product-update", {"-silent"},
                                   ProgramEnvironment(sandbox, "offscreen"));
    EXPECT_EQ(run.status, QProcess::NormalExit) << run.err.toStdString();
    EXPECT_EQ(server.Requests(),
              (QStringList{"GET /list.xml auth=0", "GET /list.xml.minisig auth=0"}));
    EXPECT_FALSE(QFile::exists(programDir + "/productlist.xml"));
    EXPECT_EQ(sandbox.Read("ProgramData/productlist.xml"), stored);
}

// Installs, reinstalls, upgrades, removes, purges and installs again with dpkg in a folder of
// its own (the real system is never touched), comparing the files before and after each step:
// a removal leaves the configuration file and what installing made, a purge leaves exactly
// what was there before, and an administrator's files there before the package (the machine
// hive with the administrator's key among them) stay as they were at every step. The upgraded
// program then refuses an unsigned product list under that key.
TEST_F(PackageTest, InstallRemovePurgeAndReinstallLeaveNothingBehind) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for dpkg, even in a folder of its own";
    QSet<QString> shipped(s_listing.keyBegin(), s_listing.keyEnd());
    shipped.remove({});
    const QString autostart = "/etc/xdg/autostart/orvex-product-update.desktop";
    // Any key refuses an unsigned list; this one is well-formed, which is all that counts here.
    const QByteArray key = ("Ed" + QByteArray(40, '\x01')).toBase64();
    const QByteArray hive = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Kept]\n\n"
                            "[HKEY_LOCAL_MACHINE\\Software\\ORVEX Technologies\\Product Update]\n"
                            "\"UpdatePublicKey\"=\"" +
                            key + "\"\n";
    const QByteArray list = "<ProductList Version=\"1.0.0.0\"/>";
    for (const bool administered : {false, true}) {
        SCOPED_TRACE(administered ? "administrator's files present" : "nothing present");
        QTemporaryDir root;
        for (const char* folder : {"info", "updates", "triggers"})
            ASSERT_TRUE(QDir().mkpath(root.filePath(QString("var/lib/dpkg/") + folder)));
        ASSERT_TRUE(WriteFile(root.filePath("var/lib/dpkg/status"), {}));
        if (administered) {
            ASSERT_TRUE(WriteFile(root.filePath("etc/orvex/machine.reg"), hive));
            ASSERT_TRUE(WriteFile(root.filePath("var/lib/orvex/productlist.xml"), list));
        }
        // Every path below the root but dpkg's own records, after dpkg ran with arguments.
        const auto files = [&](const QStringList& arguments = {}) {
            if (!arguments.isEmpty()) {
                const QStringList options{"--root=" + root.path(), "--force-script-chrootless",
                                          "--force-depends"};
                const Outcome run = Command("dpkg", options + arguments);
                EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
            }
            QSet<QString> found;
            QDirIterator it(root.path(),
                            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                if (const QString path = it.next().mid(root.path().size());
                    !path.startsWith("/var/lib/dpkg"))
                    found << path;
            return found;
        };
        const QSet<QString> before = files();
        QSet<QString> made{"/var/lib/orvex-product-update"};
        if (!administered)
            made += {"/var/lib/orvex", "/var/lib/orvex-product-update/created-data-folder"};

        // Sorted, one a line, so that a difference reads as one.
        const auto lines = [](const QSet<QString>& paths) {
            QStringList sorted(paths.begin(), paths.end());
            sorted.sort();
            return sorted.join(u'\n').toStdString();
        };
        const QSet<QString> installed = files({"-i", s_deb});
        EXPECT_EQ(lines(installed), lines(before + shipped + made));
        for (const QString& deb : {s_deb, s_upgrade}) {
            SCOPED_TRACE(deb == s_deb ? "reinstalled" : "upgraded");
            EXPECT_EQ(lines(files({"-i", deb})), lines(installed));
            if (administered) {
                EXPECT_EQ(ReadFile(root.filePath("etc/orvex/machine.reg")), hive);
            }
        }
        if (administered)
            ExpectUnsignedListRefused(root.filePath("etc/orvex/machine.reg"),
                                      root.filePath(kProgramDir.mid(1)));
        EXPECT_EQ(lines(files({"-r", "orvex-product-update"})),
                  lines(before + made +
                        QSet<QString>{"/etc", "/etc/xdg", "/etc/xdg/autostart", autostart}));
        EXPECT_EQ(lines(files({"-P", "orvex-product-update"})), lines(before));
        EXPECT_EQ(lines(files({"-i", s_deb})), lines(installed));
        EXPECT_EQ(lines(files({"-P", "orvex-product-update"})), lines(before));
        if (administered) {
            EXPECT_EQ(ReadFile(root.filePath("etc/orvex/machine.reg")), hive);
            EXPECT_EQ(ReadFile(root.filePath("var/lib/orvex/productlist.xml")), list);
        }
    }
}

TEST_F(PackageTest, LintianReportsNoErrors) {
    // Informational tags are left out; overrides shipped in the package are honoured, and
    // each one says in the package why it is there.
    const Outcome run =
        Command("lintian", {"--fail-on", "error", "--tag-display-limit", "0", s_deb});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
}

// The product's version file goes to the sibling folder of the program's, which the program
// finds only when it resolves the link it was started through to the real executable.
TEST_F(PackageTest, UnpackedProgramStartedThroughALinkChecksTheProductsBesideIt) {
    TestServer server;
    ASSERT_TRUE(server.IsRunning()) << "python3 could not start the test server";
    const Sandbox sandbox;
    sandbox.Write(Unpacked("/opt/orvex/ORVEX Software Update/Alpha.xml"),
                  CatalogueSandbox::VersionFile("1.0.0.0", server.Url("/"), "alpha.xml"));
    sandbox.Write("ProgramData/productlist.xml",
                  R"(<ProductList Version="1.0.0.0"><Product Name="Alpha" BaseXml="Alpha"/>)"
                  "</ProductList>");
    server.Put("alpha.xml", R"(<Info Location="Server"><Product UpdateVersion="1.0.0.0"/></Info>)");
    const QString link = s_work->filePath("orvex-product-update");
    ASSERT_TRUE(QFile::link(Unpacked(kProgramDir + "/orvex-product-update"), link));
    const Outcome outcome = RunProgram(link, {"-silent"}, ProgramEnvironment(sandbox, "offscreen"));
    EXPECT_TRUE(outcome.status == QProcess::NormalExit && outcome.exitCode == 0);
    EXPECT_EQ(outcome.out, "- Checking Alpha...\n- Done Alpha\n") << outcome.err.toStdString();
    // Only the product's information: the packaged program does not look for a new self.
    EXPECT_EQ(server.Requests(), QStringList{"GET /alpha.xml auth=0"});
    EXPECT_EQ(Sandbox::UserValue("LastChecked"), QDate::currentDate().toJulianDay());
}

// The makers' tool as the package ships it makes a key and signs a file that minisign verifies.
TEST_F(PackageTest, UnpackedSigningToolSignsWhatMinisignVerifies) {
    ASSERT_FALSE(QStandardPaths::findExecutable("minisign").isEmpty())
        << "minisign is missing: install the package minisign";
    const QString work = s_work->filePath("signing");
    ASSERT_TRUE(QDir().mkpath(work));
    ASSERT_TRUE(WriteFile(work + "/info.xml", "<Info/>"));
    const QString tool = Unpacked(kProgramDir + "/orvex-sign");
    EXPECT_EQ(Command(tool, {"keygen", "--no-password", "--public", work + "/k.pub", "--secret",
                             work + "/k.key"})
                  .exitCode,
              0);
    const Outcome signing =
        Command(tool, {"sign", "--key", work + "/k.key", "--for", "Editor", work + "/info.xml"});
    EXPECT_EQ(signing.exitCode, 0) << signing.out.toStdString();
    const Outcome verified =
        Command("minisign", {"-V", "-p", work + "/k.pub", "-m", work + "/info.xml"});
    EXPECT_EQ(verified.exitCode, 0) << verified.out.toStdString();
    EXPECT_TRUE(verified.out.contains("for=Editor sequence=1 expires="))
        << verified.out.toStdString();
}

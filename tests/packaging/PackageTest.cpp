// The Debian package as an administrator gets it: built by CPack from this build tree,
// inspected with dpkg-deb, checked by desktop-file-validate and lintian, and unpacked into a
// folder where the packaged program runs a whole silent check and the maintainer scripts run
// against a sandbox instead of the machine.
#include "net/TestServers.h"
#include "support/ProgramRun.h"

#include <QDate>
#include <QRegularExpression>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <iostream>

namespace {

const QString kProgramDir = QStringLiteral("/opt/orvex/ProductUpdate");

struct ToolRun {
    int exitCode = -1;
    QString out;
};

ToolRun Command(const QString& program, const QStringList& arguments,
                const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(600000)) {
        process.kill();
        process.waitForFinished();
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAll())};
}

// The package and its unpacked files, made once for all the checks below.
class PackageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The tools come with scripts/install-deps; a machine set up otherwise skips the test.
        for (const char* tool :
             {"dpkg-deb", "dpkg-shlibdeps", "lintian", "desktop-file-validate"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                s_missing += QString::fromLatin1(tool) + u' ';
        }
        if (!s_missing.isEmpty())
            return;
        s_work = new QTemporaryDir;
        const ToolRun cpack = Command(ORVEX_CPACK, {"-G", "DEB", "--config", ORVEX_CPACK_CONFIG,
                                                    "-B", s_work->filePath("out")});
        const QStringList built =
            QDir(s_work->filePath("out")).entryList({"orvex-product-update_*.deb"}, QDir::Files);
        if (cpack.exitCode != 0 || built.size() != 1) {
            s_buildLog = cpack.out;
            return;
        }
        s_deb = s_work->filePath("out/" + built.first());
        Command("dpkg-deb", {"-x", s_deb, Root()});
        Command("dpkg-deb", {"-e", s_deb, s_work->filePath("control")});
    }
    static void TearDownTestSuite() {
        delete s_work;
        s_work = nullptr;
    }
    void SetUp() override {
        if (!s_missing.isEmpty())
            GTEST_SKIP()
                << "missing " << s_missing.toStdString()
                << "(packages dpkg-dev, lintian, desktop-file-utils; scripts/install-deps)";
        ASSERT_FALSE(s_deb.isEmpty()) << "cpack built no package:\n" << s_buildLog.toStdString();
    }

    static QString Root() { return s_work->filePath("root"); }
    static QString Unpacked(const QString& path) { return Root() + path; }
    static QString Field(const QString& name) {
        return Command("dpkg-deb", {"-f", s_deb, name}).out.trimmed();
    }

    static inline QTemporaryDir* s_work = nullptr;
    static inline QString s_deb;
    static inline QString s_missing;
    static inline QString s_buildLog;
};

TEST_F(PackageTest, ControlFieldsNameTheVersionAndTheLinkedLibraries) {
    EXPECT_EQ(Field("Package"), "orvex-product-update");
    EXPECT_EQ(Field("Version"), ORVEX_PACKAGE_VERSION);
    EXPECT_EQ(Field("Architecture"), Command("dpkg", {"--print-architecture"}).out.trimmed());
    const QString depends = Field("Depends");
    for (const char* library : {"libqt6widgets6", "libcurl4", "libtinyxml2", "libc6"})
        EXPECT_TRUE(depends.contains(QLatin1String(library)))
            << library << " in " << depends.toStdString();
    const QString control = Command("dpkg-deb", {"-I", s_deb}).out;
    for (const char* script : {"postinst", "postrm", "conffiles"})
        EXPECT_TRUE(control.contains(QLatin1String(script))) << script;
}

TEST_F(PackageTest, ContentsFollowTheLayoutAndEveryoneMayReadWhatOnlyRootMayChange) {
    // dpkg-deb -c: mode, owner/group, size, date, time, path [-> target]
    const QStringList lines =
        Command("dpkg-deb", {"-c", s_deb}).out.split(u'\n', Qt::SkipEmptyParts);
    QMap<QString, QString> entries; // path -> mode, with " -> target" for links
    for (const QString& line : lines) {
        const QStringList f = line.split(QRegularExpression("\\s+"));
        ASSERT_GE(f.size(), 6) << line.toStdString();
        EXPECT_EQ(f[1], "root/root") << line.toStdString();
        // Readable by all, folders searchable by all, writable by root alone, whatever the
        // umask of the build.
        const QString& mode = f[0];
        if (!mode.startsWith(u'l')) {
            EXPECT_TRUE(mode[7] == u'r' && mode[5] != u'w' && mode[8] != u'w')
                << line.toStdString();
            EXPECT_TRUE(!mode.startsWith(u'd') || mode[9] == u'x') << line.toStdString();
        }
        const QString path = f.mid(5).join(u' ').mid(1); // without the leading "."
        const qsizetype arrow = path.indexOf(QLatin1String(" -> "));
        entries[arrow < 0 ? path : path.left(arrow)] = f[0] + (arrow < 0 ? "" : path.mid(arrow));
    }
    static const struct {
        const char* path;
        const char* entry;
    } expected[] = {
        {"/opt/orvex/ProductUpdate/orvex-product-update", "-rwxr-xr-x"},
        {"/opt/orvex/ProductUpdate/orvex-reg", "-rwxr-xr-x"},
        {"/opt/orvex/ProductUpdate/OrvexProductUpdate.xml", "-rw-r--r--"},
        {"/opt/orvex/ProductUpdate/Languages/languages.xml", "-rw-r--r--"},
        {"/opt/orvex/ProductUpdate/Languages/de/ORVEXProductUpdate.strings", "-rw-r--r--"},
        {"/opt/orvex/ProductUpdate/Languages/he/", "drwxr-xr-x"},
        {"/usr/bin/orvex-product-update",
         "lrwxrwxrwx -> /opt/orvex/ProductUpdate/orvex-product-update"},
        {"/usr/bin/orvex-reg", "lrwxrwxrwx -> /opt/orvex/ProductUpdate/orvex-reg"},
        {"/usr/share/applications/orvex-product-update.desktop", "-rw-r--r--"},
        {"/etc/xdg/autostart/orvex-product-update.desktop", "-rw-r--r--"},
        {"/usr/share/icons/hicolor/16x16/apps/orvex-product-update.png", "-rw-r--r--"},
        {"/usr/share/icons/hicolor/48x48/apps/orvex-product-update.png", "-rw-r--r--"},
        {"/usr/share/icons/hicolor/256x256/apps/orvex-product-update.png", "-rw-r--r--"},
        {"/usr/share/icons/hicolor/scalable/apps/orvex-product-update.svg", "-rw-r--r--"},
        {"/usr/share/man/man1/orvex-product-update.1.gz", "-rw-r--r--"},
        {"/usr/share/man/man1/orvex-reg.1.gz", "-rw-r--r--"},
        {"/usr/share/doc/orvex-product-update/copyright", "-rw-r--r--"},
        {"/usr/share/doc/orvex-product-update/changelog.gz", "-rw-r--r--"},
        {"/usr/share/doc/orvex-product-update/update-information.md", "-rw-r--r--"},
    };
    for (const auto& row : expected) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(entries.value(QString::fromLatin1(row.path)), QString::fromLatin1(row.entry));
    }
    // Where the program looks for them, not where an older layout put them.
    EXPECT_FALSE(entries.contains("/usr/share/orvex/Languages/"));
    EXPECT_FALSE(entries.contains("/var/lib/orvex/")) << "made by postinst, not shipped";
}

TEST_F(PackageTest, OwnVersionFileNeverOffersToReplaceThePackagedProgram) {
    QFile file(Unpacked(kProgramDir + "/OrvexProductUpdate.xml"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.contains(QLatin1String("NoUpdates=\"true\""))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("CurrentVersion=\"%1.0\"").arg(ORVEX_PACKAGE_VERSION)))
        << text.toStdString();
}

TEST_F(PackageTest, DesktopEntriesValidateAndTheLoginEntryStartsTheSilentRun) {
    for (const char* entry : {"/usr/share/applications/orvex-product-update.desktop",
                              "/etc/xdg/autostart/orvex-product-update.desktop"}) {
        SCOPED_TRACE(entry);
        const ToolRun run = Command("desktop-file-validate", {Unpacked(entry)});
        EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
        EXPECT_EQ(run.out.trimmed(), QString());
    }
    QFile autostart(Unpacked("/etc/xdg/autostart/orvex-product-update.desktop"));
    ASSERT_TRUE(autostart.open(QIODevice::ReadOnly));
    EXPECT_TRUE(autostart.readAll().contains("\nExec=orvex-product-update -silent\n"));
}

TEST_F(PackageTest, LintianReportsNoErrors) {
    // Informational tags are left out; overrides shipped in the package are honoured, and
    // each one says in the package why it is there.
    const ToolRun run =
        Command("lintian", {"--fail-on", "error", "--tag-display-limit", "0", s_deb});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    const QStringList errors =
        run.out.split(u'\n').filter(QRegularExpression("^E: orvex-product-update"));
    EXPECT_EQ(errors, QStringList());
    // Warnings do not fail the package; they are shown so that new ones get noticed.
    for (const QString& line : run.out.split(u'\n').filter(QRegularExpression("^W: ")))
        std::cout << line.toStdString() << '\n';
}

TEST_F(PackageTest, UnpackedProgramStartedThroughALinkChecksTheProductsBesideIt) {
    TestServer server;
    ASSERT_TRUE(server.IsRunning()) << "python3 could not start the test server";
    const Sandbox sandbox;
    // The package's folders below the unpacked root: the product's version file goes to the
    // sibling folder of the program's, which the program finds only when it resolves the
    // link it was started through to the real executable.
    const QString products = Unpacked("/opt/orvex/ORVEX Software Update");
    QDir().mkpath(products);
    QFile version(products + "/Alpha.xml");
    ASSERT_TRUE(version.open(QIODevice::WriteOnly));
    version.write(QStringLiteral("<Version><Product CurrentVersion=\"1.0.0.0\" "
                                 "RemoteVersionFileURL=\"%1\" RemoteVersionFile=\"alpha.xml\"/>"
                                 "</Version>")
                      .arg(server.Url("/"))
                      .toUtf8());
    version.close();
    sandbox.Write("ProgramData/productlist.xml",
                  R"(<ProductList Version="1.0.0.0"><Product Name="Alpha" BaseXml="Alpha"/>)"
                  "</ProductList>");
    server.Put("alpha.xml", R"(<Info Location="Server"><Product UpdateVersion="1.0.0.0"/></Info>)");
    const QString link = s_work->filePath("bin/orvex-product-update");
    QDir().mkpath(s_work->filePath("bin"));
    ASSERT_TRUE(QFile::link(Unpacked(kProgramDir + "/orvex-product-update"), link));

    const Outcome outcome = RunProgram(link, {"-silent"}, ProgramEnvironment(sandbox, "offscreen"));
    EXPECT_EQ(outcome.status, QProcess::NormalExit);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.out, "- Checking Alpha...\n- Done Alpha\n") << outcome.err.toStdString();
    // Only the product's information: the packaged program does not look for a new self.
    EXPECT_EQ(server.Requests(), QStringList{"GET /alpha.xml auth=0"});
    EXPECT_EQ(Sandbox::UserValue("LastChecked"), QDate::currentDate().toJulianDay());
}

// postinst and postrm run against an unpacked root (DPKG_ROOT, as dpkg sets it for an
// installation into another root) and a sandbox's hives, with the packaged orvex-reg.
TEST_F(PackageTest, MaintainerScriptsAddOnlyWhatIsAbsentAndPurgeOnlyWhatTheyAdded) {
    static const struct {
        const char* name;
        bool dataFolderExists;
        const char* recordedPath; // "" when the machine hive has none
        const char* pathAfterInstall;
        bool dataFolderAfterPurge;
    } cases[] = {
        {"fresh machine", false, "", "/opt/orvex/ProductUpdate", false},
        {"products there before", true, "/opt/orvex/Folivo", "/opt/orvex/Folivo", true},
    };
    const QString key = QStringLiteral("HKLM\\SOFTWARE\\ORVEX Technologies\\Language Setup");
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const Sandbox sandbox;
        const QString target = sandbox.Path("target");
        QDir().mkpath(target + "/var/lib");
        if (row.dataFolderExists)
            QDir().mkpath(target + "/var/lib/orvex");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DPKG_ROOT", target);
        env.insert("PATH", Unpacked(kProgramDir) + ":" + env.value("PATH"));
        const QString reg = Unpacked(kProgramDir + "/orvex-reg");
        if (*row.recordedPath) {
            ASSERT_EQ(Command(reg, {"add", key, "/v", "Path", "/d", row.recordedPath, "/f"}, env)
                          .exitCode,
                      0);
        }

        const QString scripts = s_work->filePath("control/");
        const ToolRun installed = Command(scripts + "postinst", {"configure"}, env);
        EXPECT_EQ(installed.exitCode, 0) << installed.out.toStdString();
        EXPECT_TRUE(QFileInfo(target + "/var/lib/orvex").isDir());
        const ToolRun query = Command(reg, {"query", key, "/v", "Path"}, env);
        EXPECT_TRUE(query.out.contains(QLatin1String(row.pathAfterInstall)))
            << query.out.toStdString();

        // Run again, as an upgrade does: nothing changes.
        EXPECT_EQ(Command(scripts + "postinst", {"configure"}, env).exitCode, 0);
        const ToolRun purged = Command(scripts + "postrm", {"purge"}, env);
        EXPECT_EQ(purged.exitCode, 0) << purged.out.toStdString();
        EXPECT_EQ(QFileInfo(target + "/var/lib/orvex").isDir(), row.dataFolderAfterPurge);
        EXPECT_FALSE(QFileInfo::exists(target + "/var/lib/orvex-product-update"));
        // The administrator's hive keeps what it holds.
        EXPECT_TRUE(Command(reg, {"query", key, "/v", "Path"}, env)
                        .out.contains(QLatin1String(row.pathAfterInstall)));
    }
}

} // namespace

// orvex-sign check against a published folder on a local HTTPS server: each document is
// reported as the program's own reader judges it, and the exit status says whether all count.
#include "catalogue/CheckFailure.h"
#include "catalogue/ProductVersion.h"
#include "net/Downloader.h"
#include "net/TestServers.h"
#include "sign/SignTool.h"
#include "signing/SignatureSequence.h"
#include "support/Sandbox.h"

#include <QCryptographicHash>
#include <QDateTime>

using namespace Qt::StringLiterals;

namespace {
struct Result {
    int exitCode = -1;
    QString out, err;
};

Result SignTool(const QStringList& arguments) {
    Result result;
    {
        QTextStream out(&result.out), err(&result.err);
        result.exitCode = CSignTool().Run(arguments, out, err);
    }
    return result;
}

// A key pair made by orvex-sign keygen in the sandbox, k.pub and k.key; *key is its public key
// line, as a version file names it.
void MakeKey(Sandbox& sandbox, QString* key) {
    ASSERT_EQ(SignTool({"keygen", "--no-password", "--public", sandbox.Path("k.pub"), "--secret",
                        sandbox.Path("k.key")})
                  .exitCode,
              0);
    *key = QString::fromLatin1(sandbox.Read("k.pub").split('\n').value(1));
}

QByteArray Information(const char* version) {
    return "<Info Location=\"Server\"><Product UpdateVersion=\"" + QByteArray(version) +
           "\"/></Info>";
}

// A product's version file naming its update information at url + file, with the key
// attribute where keyAt says: on "Product", on another element, or nowhere when empty.
QByteArray VersionFile(const QString& url, const QString& file, const QString& key,
                       const QString& keyAt) {
    const QString attribute = keyAt.isEmpty() ? QString() : " UpdatePublicKey=\"" + key + "\"";
    return ("<Version><Product CurrentVersion=\"1.0.0.0\" RemoteVersionFileURL=\"" + url +
            "\" RemoteVersionFile=\"" + file + "\"" +
            (keyAt == u"Product"_s ? attribute : QString()) + "/>" +
            (keyAt == u"Product"_s || keyAt.isEmpty() ? QString()
                                                      : "<" + keyAt + attribute + "/>") +
            "</Version>")
        .toUtf8();
}

// What the program's own reader concludes of the version file at path, as a client that has
// seen nothing yet (a sandbox of its own): empty when it takes the update information, else
// the reason it shows.
QString ProgramVerdict(const QString& path, const QString& identity) {
    Sandbox client;
    Downloader downloader;
    CProductVersion reader(path);
    reader.SetDownloader(&downloader);
    reader.SetSignedFor({SignedKind::Product, identity});
    EXPECT_TRUE(reader.ReadLocal());
    return reader.ReadRemote() ? QString() : DescribeFailure(reader.RemoteFailure());
}
} // namespace

// A published folder with one document per row; each row's version file is checked by the
// tool and read by the program, which must agree, and the tool's exit status says whether the
// document counts.
TEST(ReleaseCheck, ReportsEachDocumentAsTheProgramJudgesIt) {
    TestServer server({"--tls"});
    ASSERT_TRUE(server.IsRunning()) << "python3 could not start the test server";
    server.TrustCa();
    Sandbox sandbox;
    QString key;
    ASSERT_NO_FATAL_FAILURE(MakeKey(sandbox, &key));
    const QString minisign = QStandardPaths::findExecutable("minisign");
    ASSERT_FALSE(minisign.isEmpty()) << "minisign is missing: install the package minisign";

    // signedFor: the identity its signature names (unsigned when empty; "expired": signed with
    // minisign for the row's identity with an expiry that has passed). keyAt: where the version
    // file names the key. said: what the tool's output holds for it.
    // clang-format off
    const struct { const char* name; QString signedFor; QString keyAt; int exitCode; QString said; } rows[] = {
        {"Good", "Good", "Product", 0, "accepted: key "},
        {"ExpiresSoon", "ExpiresSoon", "Product", 0, "warning: its signature expires in 3 days"},
        {"Unsigned", "", "", 0, "accepted without a signature"},
        {"Expired", "expired", "Product", 1, "refused: The update information was refused. It expired on 2020-01-31."},
        {"SignatureMissing", "", "Product", 1, "Its signature is missing."},
        {"KeyOnTheWrongElement", "KeyOnTheWrongElement", "Version", 1, "problem: The local file has the attribute \"UpdatePublicKey\" on the element <Version>"},
        {"KeyMiscased", "KeyMiscased", "Product", 1, "problem: The local file has the attribute \"updatePublicKey\" on the element <Product>"},
        {"ForAnotherIdentity", "Good", "Product", 1, "It was signed for \"Good\""},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString file = QString::fromLatin1(row.name) + ".xml";
        server.Put(file, Information("2.0.0.0"));
        const QString published = server.Folder() + "/" + file;
        if (row.signedFor == u"expired"_s) {
            QProcess::execute(minisign, {"-S", "-s", sandbox.Path("k.key"), "-m", published, "-t",
                                         "for=Expired sequence=1 expires=2020-01-31"});
        } else if (!row.signedFor.isEmpty()) {
            const QString days = QString::fromLatin1(row.name) == u"ExpiresSoon"_s ? "3" : "30";
            ASSERT_EQ(SignTool({"sign", "--key", sandbox.Path("k.key"), "--for", row.signedFor,
                                "--expires-in", days, published})
                          .exitCode,
                      0);
        }
        QByteArray local = VersionFile(server.Url("/"), file, key, row.keyAt);
        if (QString::fromLatin1(row.name) == u"KeyMiscased"_s)
            local.replace("UpdatePublicKey", "updatePublicKey");
        const QString path = sandbox.Path(file);
        sandbox.Write(file, local);

        const Result result = SignTool({"check", "--version-file", path});
        const QString program = ProgramVerdict(path, row.name);
        // The program's reason is the tool's, word for word, and both take or refuse the
        // document alike.
        if (program.isEmpty())
            EXPECT_TRUE(result.out.contains("    accepted")) << result.out.toStdString();
        else
            EXPECT_TRUE(result.out.contains("    refused: " + program)) << result.out.toStdString();
        EXPECT_EQ(result.exitCode, row.exitCode) << result.out.toStdString();
        EXPECT_TRUE(result.out.contains(row.said)) << result.out.toStdString();
        EXPECT_EQ(result.exitCode == 0, result.out.contains("Every document would be accepted."));
    }

    // The same document read from a folder before it is published, and the check alone
    // never remembers a sequence for the user who runs it.
    const Result folder =
        SignTool({"check", "--version-file", sandbox.Path("Good.xml"), "--at", server.Folder()});
    EXPECT_EQ(folder.exitCode, 0) << folder.out.toStdString() << folder.err.toStdString();
    EXPECT_TRUE(folder.out.contains("file://" + server.Folder() + "/Good.xml:\n    accepted: key "))
        << folder.out.toStdString();
    EXPECT_EQ(LastSeenSequence({SignedKind::Product, "Good"}), std::nullopt);
    ClearProxyEnvironment();
}

// A notice's local file: its published notice is checked the same way, and a version file
// the program would not read at all is an error, not a pass.
TEST(ReleaseCheck, ChecksNoticesAndRefusesWhatIsNoVersionFile) {
    Sandbox sandbox;
    QString key;
    ASSERT_NO_FATAL_FAILURE(MakeKey(sandbox, &key));
    ASSERT_TRUE(QDir().mkpath(sandbox.Path("publish")));
    sandbox.Write("publish/news.xml",
                  "<Notification WebPage=\"https://example.org/news.html\" StartDate=\"20200101\" "
                  "StopDate=\"20991231\"><Text><en value=\"Hello\"/></Text></Notification>");
    ASSERT_EQ(SignTool({"sign", "--key", sandbox.Path("k.key"), "--for", "News",
                        sandbox.Path("publish/news.xml")})
                  .exitCode,
              0);
    sandbox.Write("News.xml", ("<Notification URL=\"https://example.org/notices/\" "
                               "File=\"news.xml\" UpdatePublicKey=\"" +
                               key + "\"/>")
                                  .toUtf8());
    sandbox.Write("Empty.xml", "<Version/>");
    sandbox.Write("Other.xml", "<Catalogue/>");
    // clang-format off
    const struct { const char* name; const char* file; int exitCode; const char* said; } rows[] = {
        {"Notice", "News.xml", 0, "the notice, file://"},
        {"VersionFileWithoutAddress", "Empty.xml", 1, "names no update information"},
        {"NoVersionFile", "Other.xml", 1, "no version file that orvex-sign check knows"},
        {"Missing", "Missing.xml", 1, "cannot be read"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Result result = SignTool(
            {"check", "--version-file", sandbox.Path(row.file), "--at", sandbox.Path("publish")});
        EXPECT_EQ(result.exitCode, row.exitCode)
            << result.out.toStdString() << result.err.toStdString();
        EXPECT_TRUE((result.out + result.err).contains(QLatin1String(row.said)))
            << (result.out + result.err).toStdString();
    }
}

// The program's own version file: its update information is judged as the self-update judges
// it (signed, it must give the installer's digest), and the installer it offers is fetched and
// checked against that digest, never started.
TEST(ReleaseCheck, ChecksTheProgramsOwnInformationAndInstaller) {
    Sandbox sandbox;
    QString key;
    ASSERT_NO_FATAL_FAILURE(MakeKey(sandbox, &key));
    const QByteArray installer = "#!/bin/sh\necho installing\n";
    const QByteArray digest =
        QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex();
    // digest: the UpdateInstallSHA256 given (none when empty); served: the installer's bytes.
    // clang-format off
    const struct { const char* name; QByteArray digest; QByteArray served; int exitCode; const char* said; } rows[] = {
        {"DigestMatches", digest, installer, 0, "the program's installer, file://"},
        {"NoDigest", "", installer, 1, "It gives no UpdateInstallSHA256"},
        {"InstallerChanged", digest, installer + "rm -rf /\n", 1, "its SHA-256 differs"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString folder = sandbox.Path(row.name);
        ASSERT_TRUE(QDir().mkpath(folder));
        sandbox.Write(QString(row.name) + "/setup.run", row.served);
        sandbox.Write(QString(row.name) + "/self.xml",
                      "<Info Location=\"Server\"><Product UpdateVersion=\"9.0.0.0\" "
                      "UpdateInstallURL=\"https://example.org/\" UpdateInstallFile=\"setup.run\"" +
                          (row.digest.isEmpty() ? QByteArray()
                                                : " UpdateInstallSHA256=\"" + row.digest + "\"") +
                          "/></Info>");
        ASSERT_EQ(SignTool({"sign", "--key", sandbox.Path("k.key"), "--for", "OrvexProductUpdate",
                            folder + "/self.xml"})
                      .exitCode,
                  0);
        sandbox.Write(
            QString(row.name) + "/OrvexProductUpdate.xml",
            ("<Version><Product CurrentVersion=\"1.0.0.0\" "
             "RemoteVersionFileURL=\"https://example.org/\" RemoteVersionFile=\"self.xml\" "
             "UpdatePublicKey=\"" +
             key + "\"/></Version>")
                .toUtf8());
        const Result result = SignTool(
            {"check", "--version-file", folder + "/OrvexProductUpdate.xml", "--at", folder});
        EXPECT_EQ(result.exitCode, row.exitCode) << result.out.toStdString();
        EXPECT_TRUE(result.out.contains(QLatin1String(row.said))) << result.out.toStdString();
    }
}

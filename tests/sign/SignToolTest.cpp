// orvex-sign as a maker runs it, in a sandbox folder: what it writes is read back by the real
// minisign and by the program's own signature check.
#include "sign/SignTool.h"
#include "ToolRun.h"
#include "sign/MinisigFile.h"
#include "signing/SignatureCheck.h"
#include "support/ProgramRun.h"
#include "support/Sandbox.h"

#include <QDirIterator>

using namespace Qt::StringLiterals;

namespace {
const QDate kToday(2026, 6, 1);
const QByteArray kDocument = "<Info Location=\"Server\"><Product UpdateVersion=\"2\"/></Info>";
const QByteArray kPassword = "correct horse";

// orvex-sign in process on kToday; a password asked for is refused, as on a machine without a
// terminal.
ToolRun SignTool(const QStringList& arguments) {
    CSignTool tool(kToday, [](const QString&, QString* why) -> std::optional<QByteArray> {
        *why = u"no terminal in this test"_s;
        return std::nullopt;
    });
    return RunTool(tool, arguments);
}

// The real minisign in folder, with input on its standard input (a password).
Outcome Minisign(const QString& folder, const QStringList& arguments,
                 const QByteArray& input = {}) {
    const QString program = QStandardPaths::findExecutable(u"minisign"_s);
    EXPECT_FALSE(program.isEmpty()) << "minisign is missing: install the package minisign";
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(60000);
    return {process.exitCode(), process.exitStatus(),
            QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

// The public key line ("RW...") of a ".pub" file.
QString KeyLine(const Sandbox& sandbox, const QString& pub) {
    return QString::fromLatin1(sandbox.Read(pub).split('\n').value(1).trimmed());
}

// What the program concludes of data, signed for the product Editor, with the signature file
// and the key line, as a client that has seen nothing yet (today kToday).
SignatureCheck ProgramVerdict(const QByteArray& data, const QByteArray& minisig,
                              const QString& key) {
    return VerifySignature(data, minisig, PublicKeyList::FromText(key),
                           {SignedKind::Product, u"Editor"_s}, kToday);
}

// The trusted comment of the first signature of a ".minisig".
QByteArray Comment(const QByteArray& minisig) {
    return minisig.split('\n').value(2).mid(17);
}

// Every file of the sandbox's folder, sorted, for "nothing else was written".
QStringList Files(const Sandbox& sandbox) {
    QStringList names = QDir(sandbox.Root()).entryList(QDir::Files | QDir::Hidden);
    names.sort();
    return names;
}
} // namespace

// A key made by minisign, with and without a password, signs with orvex-sign (the built
// program) and the result verifies with minisign -V and with the program's check; a key made by
// orvex-sign keygen signs with minisign -S, and what it signs verifies with its public key.
TEST(SignTool, RoundTripsWithMinisign) {
    // clang-format off
    const struct { const char* name; bool ownKey; bool password; } rows[] = {
        {"MinisignKeyWithoutPassword", false, false}, {"MinisignKeyWithPassword", false, true},
        {"OwnKeyWithoutPassword", true, false}, {"OwnKeyWithPassword", true, true},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Sandbox sandbox;
        sandbox.Write("info.xml", kDocument);
        sandbox.Write("password", kPassword + "\n");
        const QString program = ORVEX_BINARY_DIR "/orvex-sign"_L1;
        const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (row.ownKey) {
            QStringList arguments{"keygen", "--public", sandbox.Path("k.pub"), "--secret",
                                  sandbox.Path("k.key")};
            arguments += row.password ? QStringList{"--password-file", sandbox.Path("password")}
                                      : QStringList{"--no-password"};
            const Outcome made = RunProgram(program, arguments, env);
            ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
            EXPECT_TRUE(made.out.contains(KeyLine(sandbox, "k.pub"))) << made.out.toStdString();
            EXPECT_EQ(sandbox.Mode("k.key") & 0777, 0600u);
            // minisign asks for the password on its standard input when it has no terminal.
            const Outcome signedByMinisign =
                Minisign(sandbox.Root(), {"-S", "-s", "k.key", "-m", "info.xml", "-t", "x"},
                         row.password ? kPassword + "\n" : QByteArray());
            ASSERT_EQ(signedByMinisign.exitCode, 0) << signedByMinisign.err.toStdString();
            EXPECT_EQ(Minisign(sandbox.Root(), {"-V", "-p", "k.pub", "-m", "info.xml"}).exitCode,
                      0);
            QFile::remove(sandbox.Path("info.xml.minisig"));
        } else {
            QStringList arguments{"-G", "-f", "-p", "k.pub", "-s", "k.key"};
            const Outcome made =
                Minisign(sandbox.Root(), row.password ? arguments : arguments << "-W",
                         row.password ? kPassword + "\n" + kPassword + "\n" : QByteArray());
            ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
        }
        const Outcome signedHere = RunProgram(
            program,
            {"sign", "--key", sandbox.Path("k.key"), "--password-file", sandbox.Path("password"),
             "--for", "Editor", "--expires-in", "30", sandbox.Path("info.xml")},
            env);
        ASSERT_EQ(signedHere.exitCode, 0) << signedHere.err.toStdString();
        const Outcome verified = Minisign(sandbox.Root(), {"-V", "-p", "k.pub", "-m", "info.xml"});
        EXPECT_EQ(verified.exitCode, 0) << verified.err.toStdString();
        const QDate expires = QDateTime::currentDateTimeUtc().date().addDays(30);
        EXPECT_TRUE(verified.out.contains("Trusted comment: for=Editor sequence=1 expires=" +
                                          expires.toString(Qt::ISODate)))
            << verified.out.toStdString();
        const SignatureCheck check =
            ProgramVerdict(kDocument, sandbox.Read("info.xml.minisig"), KeyLine(sandbox, "k.pub"));
        EXPECT_EQ(check.status, SignatureStatus::Verified)
            << SignatureFailureText(check).toStdString();
        EXPECT_EQ(check.sequence, 1u);
        EXPECT_EQ(check.expires, expires);
    }
}

// Several keys put one signature each into the same file, in the order given: minisign reads
// the first, and the program finds each key's own.
TEST(SignTool, SeveralKeysSignIntoOneFile) {
    Sandbox sandbox;
    sandbox.Write("info.xml", kDocument);
    for (const QString& name : {u"old"_s, u"new"_s})
        ASSERT_EQ(SignTool({"keygen", "--no-password", "--public", sandbox.Path(name + ".pub"),
                            "--secret", sandbox.Path(name + ".key")})
                      .exitCode,
                  0);
    const ToolRun result =
        SignTool({"sign", "--key", sandbox.Path("old.key"), "--key", sandbox.Path("new.key"),
                  "--for", "Editor", sandbox.Path("info.xml")});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    const QByteArray minisig = sandbox.Read("info.xml.minisig");
    EXPECT_EQ(Minisign(sandbox.Root(), {"-V", "-p", "old.pub", "-m", "info.xml"}).exitCode, 0);
    for (const QString& name : {u"old"_s, u"new"_s}) {
        SCOPED_TRACE(name.toStdString());
        const SignatureCheck check =
            ProgramVerdict(kDocument, minisig, KeyLine(sandbox, name + ".pub"));
        EXPECT_EQ(check.status, SignatureStatus::Verified)
            << SignatureFailureText(check).toStdString();
        // The signature that verified is the one of this key, as its public key names it.
        EXPECT_EQ(check.keyId.toLatin1(),
                  sandbox.Read(name + ".pub").split('\n')[0].split(' ').last());
    }
}

// The sequence of each signing follows the signature beside the file: one more, or the one
// asked for when it is higher; never lower or equal. The expiry is counted in UTC days from
// today, 90 unless asked otherwise, and the output says which. A refused row leaves the
// signature beside the file as it was.
TEST(SignTool, SequencesAndExpiriesFollowTheSignatureBeside) {
    // before: the trusted comment of a signature already beside the file (made by minisign),
    // none when empty. comment: the one written, empty when refused.
    // clang-format off
    const struct { const char* name; QString before; QStringList options; QString comment; const char* said; } rows[] = {
        {"FirstSigning", "", {}, "for=Editor sequence=1 expires=2026-08-30", "in 90 days, the default"},
        {"SecondSigning", "for=Editor sequence=1 expires=2026-08-30", {}, "for=Editor sequence=2 expires=2026-08-30", "sequence=2"},
        {"AskedHigher", "for=Editor sequence=7", {"--sequence", "20260601"}, "for=Editor sequence=20260601 expires=2026-08-30", "sequence=20260601"},
        {"AskedEqual", "for=Editor sequence=7", {"--sequence", "7"}, "", "not higher than the sequence 7"},
        {"AskedLower", "for=Editor sequence=7", {"--sequence", "6"}, "", "not higher than the sequence 7"},
        {"AskedWithoutSignatureBeside", "", {"--sequence", "3"}, "for=Editor sequence=3 expires=2026-08-30", "sequence=3"},
        // minisign's own comment counts with its time stamp, as the program counts it.
        {"AfterMinisignsTimestamp", "timestamp:1780000000\tfile:info.xml\thashed", {}, "for=Editor sequence=1780000001 expires=2026-08-30", "sequence=1780000001"},
        {"SequenceBeforeTimestamp", "timestamp:1780000000 sequence=4", {}, "for=Editor sequence=5 expires=2026-08-30", "sequence=5"},
        {"AtTheHighestSequence", "for=Editor sequence=18446744073709551615", {}, "", "highest sequence"},
        {"BesideForAnotherIdentity", "for=Reader sequence=3", {}, "", "signed for \"Reader\""},
        {"ExpiresInDays", "", {"--expires-in", "14"}, "for=Editor sequence=1 expires=2026-06-15", "in 14 days"},
        {"ExpiresOnADay", "", {"--expires", "2026-06-01"}, "for=Editor sequence=1 expires=2026-06-01", "in 0 days"},
        {"ExpiresYesterday", "", {"--expires", "2026-05-31"}, "", "--expires must be a day from today (2026-06-01, UTC)"},
        {"ExpiresBoth", "", {"--expires", "2026-07-01", "--expires-in", "3"}, "", "not both"},
        {"ExpiresInNoDays", "", {"--expires-in", "0"}, "", "--expires-in takes"},
        {"IdentityWithBlank", "", {"--for", "Editor Pro"}, "", "one word"},
        {"IdentityTooLong", "", {"--for", QString(101, u'x')}, "", "at most 100 characters"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Sandbox sandbox;
        sandbox.Write("info.xml", kDocument);
        ASSERT_EQ(SignTool({"keygen", "--no-password", "--public", sandbox.Path("k.pub"),
                            "--secret", sandbox.Path("k.key")})
                      .exitCode,
                  0);
        QByteArray before;
        if (!row.before.isEmpty()) {
            ASSERT_EQ(
                Minisign(sandbox.Root(), {"-S", "-s", "k.key", "-m", "info.xml", "-t", row.before})
                    .exitCode,
                0);
            before = sandbox.Read("info.xml.minisig");
        }
        QStringList arguments{"sign", "--key", sandbox.Path("k.key")};
        if (!row.options.contains(u"--for"_s))
            arguments << "--for"
                      << "Editor";
        const ToolRun result =
            SignTool(arguments + row.options + QStringList{sandbox.Path("info.xml")});
        EXPECT_EQ(result.exitCode == 0, !row.comment.isEmpty()) << result.err.toStdString();
        EXPECT_TRUE((result.out + result.err).contains(QLatin1String(row.said)))
            << (result.out + result.err).toStdString();
        const QByteArray after = sandbox.Read("info.xml.minisig");
        if (row.comment.isEmpty()) {
            EXPECT_EQ(after, before);
        } else {
            EXPECT_EQ(Comment(after), row.comment.toUtf8());
            EXPECT_EQ(ProgramVerdict(kDocument, after, KeyLine(sandbox, "k.pub")).status,
                      SignatureStatus::Verified);
        }
        QStringList expected{"info.xml", "k.key", "k.pub"};
        if (!before.isEmpty() || !row.comment.isEmpty())
            expected += "info.xml.minisig";
        expected.sort();
        EXPECT_EQ(Files(sandbox), expected);
    }
}

// Whatever is wrong, orvex-sign says what and leaves every signature beside every file named as
// it was, even those of files it could have signed, and no temporary file behind.
TEST(SignTool, BadInputChangesNoSignature) {
    // key: the key file given; files: those named (a.xml and b.xml are there, each with a
    // signature beside it, and c is a folder).
    // clang-format off
    const struct { const char* name; const char* key; QStringList files; const char* said; int exitCode; } rows[] = {
        {"WrongPassword", "wrong.key", {"a.xml"}, "password is wrong", 1},
        {"KeyCutShort", "short.key", {"a.xml"}, "cut short", 1},
        {"PublicKeyForSecret", "k.pub", {"a.xml"}, "not a minisign secret key", 1},
        {"KeyWithoutCommentLine", "nocomment.key", {"a.xml"}, "not a minisign secret key", 1},
        {"KeyDamaged", "damaged.key", {"a.xml"}, "damaged", 1},
        {"KeyMissing", "none.key", {"a.xml"}, "none.key cannot be read", 1},
        {"FileMissing", "k.key", {"a.xml", "missing.xml"}, "missing.xml cannot be read", 1},
        {"FileIsAFolder", "k.key", {"a.xml", "c"}, "c cannot be read", 1},
        {"SignatureBesideGarbled", "k.key", {"a.xml", "b.xml"}, "b.xml.minisig, cannot be read", 1},
        {"SignatureBesideCutShort", "k.key", {"a.xml", "b.xml"}, "b.xml.minisig, cannot be read", 1},
        {"SignatureNamed", "k.key", {"a.xml.minisig"}, "signature itself", 2},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Sandbox sandbox;
        sandbox.Write("password", "not " + kPassword);
        ASSERT_EQ(SignTool({"keygen", "--no-password", "--public", sandbox.Path("k.pub"),
                            "--secret", sandbox.Path("k.key")})
                      .exitCode,
                  0);
        // A password key takes a second and a GiB to open: made only where it is used.
        if (QByteArray(row.key) == "wrong.key") {
            ASSERT_EQ(Minisign(sandbox.Root(), {"-G", "-f", "-p", "w.pub", "-s", "wrong.key"},
                               kPassword + "\n" + kPassword + "\n")
                          .exitCode,
                      0);
        }
        const QByteArray key = sandbox.Read("k.key");
        sandbox.Write("short.key", key.left(key.size() - 20) + "\n");
        sandbox.Write("nocomment.key", "comment: a\n" + key.mid(key.indexOf('\n') + 1));
        // One character of the base64 line changed inside the secret key: its checksum
        // no longer matches.
        QByteArray damaged = key;
        damaged[key.indexOf('\n') + 100] = damaged[key.indexOf('\n') + 100] == 'A' ? 'B' : 'A';
        sandbox.Write("damaged.key", damaged);
        ASSERT_TRUE(QDir().mkpath(sandbox.Path("c")));
        for (const char* name : {"a.xml", "b.xml"}) {
            sandbox.Write(name, kDocument + name);
            ASSERT_EQ(SignTool({"sign", "--key", sandbox.Path("k.key"), "--for", "Editor",
                                sandbox.Path(name)})
                          .exitCode,
                      0);
        }
        if (QByteArray(row.name) == "SignatureBesideGarbled")
            sandbox.Write("b.xml.minisig", sandbox.Read("b.xml.minisig").replace("RU", "R!"));
        if (QByteArray(row.name) == "SignatureBesideCutShort")
            sandbox.Write("b.xml.minisig", sandbox.Read("b.xml.minisig").left(150));
        const QStringList files = Files(sandbox);
        const QByteArray a = sandbox.Read("a.xml.minisig"), b = sandbox.Read("b.xml.minisig");
        QStringList arguments{
            "sign",  "--key", sandbox.Path(row.key), "--password-file", sandbox.Path("password"),
            "--for", "Editor"};
        for (const QString& file : row.files)
            arguments += sandbox.Path(file);
        const ToolRun result = SignTool(arguments);
        EXPECT_EQ(result.exitCode, row.exitCode);
        EXPECT_TRUE(result.err.contains(QLatin1String(row.said))) << result.err.toStdString();
        EXPECT_EQ(sandbox.Read("a.xml.minisig"), a);
        EXPECT_EQ(sandbox.Read("b.xml.minisig"), b);
        EXPECT_EQ(Files(sandbox), files);
    }
}

// keygen never replaces a key without being told to, and refuses passwords that cannot work.
TEST(SignTool, KeygenKeepsWhatIsThere) {
    // clang-format off
    const struct { const char* name; QStringList options; bool existing; int exitCode; const char* said; } rows[] = {
        {"KeyExists", {"--no-password"}, true, 1, "exists already"},
        {"KeyReplacedWithForce", {"--no-password", "--force"}, true, 0, "Made key"},
        {"NoTerminalForPassword", {}, false, 1, "no terminal"},
        {"EmptyPasswordFile", {"--password-file", "empty"}, false, 1, "is empty"},
        {"BothPasswordOptions", {"--no-password", "--password-file", "empty"}, false, 2, "either"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Sandbox sandbox;
        sandbox.Write("empty", "\n");
        if (row.existing) {
            sandbox.Write("k.key", "old secret");
            sandbox.Write("k.pub", "old public");
        }
        QStringList options = row.options;
        for (QString& option : options)
            option = option == u"empty"_s ? sandbox.Path("empty") : option;
        const ToolRun result = SignTool(QStringList{"keygen", "--public", sandbox.Path("k.pub"),
                                                    "--secret", sandbox.Path("k.key")} +
                                        options);
        EXPECT_EQ(result.exitCode, row.exitCode) << result.err.toStdString();
        EXPECT_TRUE((result.out + result.err).contains(QLatin1String(row.said)))
            << (result.out + result.err).toStdString();
        const bool replaced = row.exitCode == 0;
        EXPECT_EQ(
            sandbox.Read("k.key").startsWith("untrusted comment: minisign encrypted secret key\n"),
            replaced);
        EXPECT_EQ(QFile::exists(sandbox.Path("k.pub")), row.existing || replaced);
        EXPECT_EQ(Files(sandbox).size(), row.existing || replaced ? 3 : 1);
    }
}

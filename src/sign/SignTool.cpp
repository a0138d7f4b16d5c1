#include "sign/SignTool.h"

#include "net/Downloader.h"
#include "sign/FolderDownloader.h"
#include "sign/MinisigFile.h"
#include "sign/Password.h"
#include "sign/ReleaseCheck.h"
#include "sign/SecretKey.h"
#include "sign/WholeFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUrl>

#include <limits>
#include <map>
#include <set>

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("SignTool", text);
}

// The longest expiry taken: a signature that counts for ten years protects nobody from a
// copy of today's file played back in nine.
constexpr int kMaxExpiryDays = 3650;

// Every option and whether it takes a value, by the commands that know it.
struct OptionName {
    const char* name;
    bool takesValue;
    std::set<QString> commands;
};
const OptionName kOptions[] = {
    {"--key", true, {"sign"}},
    {"--for", true, {"sign", "check"}},
    {"--expires-in", true, {"sign"}},
    {"--expires", true, {"sign"}},
    {"--sequence", true, {"sign"}},
    {"--password-file", true, {"sign", "keygen"}},
    {"--no-password", false, {"keygen"}},
    {"--public", true, {"keygen"}},
    {"--secret", true, {"keygen"}},
    {"--force", false, {"keygen"}},
    {"--version-file", true, {"check"}},
    {"--at", true, {"check"}},
    {"--product-list", true, {"check"}},
};

std::optional<uint64_t> Number(const QString& text) {
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    if (!ok || text.isEmpty() || !text.front().isDigit())
        return std::nullopt;
    return value;
}
} // namespace

struct CSignTool::Options {
    QString command;
    // Every value of each option given, in order.
    std::map<QString, QStringList> values;
    QStringList files;

    bool Has(const char* name) const { return values.count(QLatin1String(name)) != 0; }
    QString Value(const char* name, const QString& otherwise = {}) const {
        const auto found = values.find(QLatin1String(name));
        return found == values.end() ? otherwise : found->second.last();
    }
    QStringList Values(const char* name) const {
        const auto found = values.find(QLatin1String(name));
        return found == values.end() ? QStringList() : found->second;
    }
};

CSignTool::CSignTool(QDate today, AskPassword ask)
    : m_today(today.isValid() ? today : QDateTime::currentDateTimeUtc().date()),
      m_ask(ask ? std::move(ask) : AskPassword(AskPasswordOnTerminal)) {}

QString CSignTool::Usage() {
    return Tr("Usage:\n"
              "  orvex-sign keygen [--public FILE] [--secret FILE] [--no-password | "
              "--password-file FILE] [--force]\n"
              "  orvex-sign sign --key SECRET [--key SECRET2 ...] --for ID\n"
              "                  [--expires-in DAYS | --expires YYYY-MM-DD] [--sequence N]\n"
              "                  [--password-file FILE] FILE...\n"
              "  orvex-sign check --version-file FILE [--at URL_OR_FOLDER]\n"
              "                   [--product-list productlist.xml] [--for GUID]\n"
              "See \"man orvex-sign\".\n");
}

int CSignTool::Run(const QStringList& arguments, QTextStream& out, QTextStream& err) {
    Options options;
    options.command = arguments.value(0);
    if (options.command == QLatin1String("--help") || options.command == QLatin1String("-h") ||
        options.command == QLatin1String("help")) {
        out << Usage();
        return 0;
    }
    const std::set<QString> commands{"keygen", "sign", "check"};
    if (!commands.count(options.command)) {
        err << (options.command.isEmpty()
                    ? Tr("orvex-sign: name a command.\n")
                    : Tr("orvex-sign: there is no command \"%1\".\n").arg(options.command))
            << Usage();
        return 2;
    }
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        QString argument = arguments[i];
        if (!argument.startsWith(QLatin1String("--")) || argument == QLatin1String("--")) {
            options.files +=
                argument == QLatin1String("--") ? arguments.mid(i + 1) : QStringList{argument};
            if (argument == QLatin1String("--"))
                break;
            continue;
        }
        QString value;
        const qsizetype equals = argument.indexOf(u'=');
        const bool inline_ = equals > 0;
        if (inline_) {
            value = argument.mid(equals + 1);
            argument = argument.left(equals);
        }
        const OptionName* known = nullptr;
        for (const OptionName& option : kOptions) {
            if (argument == QLatin1String(option.name) && option.commands.count(options.command))
                known = &option;
        }
        if (!known) {
            err << Tr("orvex-sign %1: there is no option \"%2\".\n").arg(options.command, argument)
                << Usage();
            return 2;
        }
        if (known->takesValue && !inline_) {
            if (i + 1 >= arguments.size()) {
                err << Tr("orvex-sign %1: %2 needs a value.\n").arg(options.command, argument);
                return 2;
            }
            value = arguments[++i];
        } else if (!known->takesValue && inline_) {
            err << Tr("orvex-sign %1: %2 takes no value.\n").arg(options.command, argument);
            return 2;
        }
        options.values[argument] += value;
    }
    if (options.command == QLatin1String("keygen"))
        return Keygen(options, out, err);
    if (options.command == QLatin1String("sign"))
        return Sign(options, out, err);
    return Check(options, out, err);
}

std::optional<QByteArray> CSignTool::Password(const Options& options, const QString& prompt,
                                              QString* why) {
    if (options.Has("--password-file"))
        return ReadPasswordFile(options.Value("--password-file"), why);
    return m_ask(prompt, why);
}

int CSignTool::Keygen(const Options& options, QTextStream& out, QTextStream& err) {
    if (!options.files.isEmpty() ||
        (options.Has("--no-password") && options.Has("--password-file"))) {
        err << Tr("orvex-sign keygen: takes no file names, and either --no-password or "
                  "--password-file.\n");
        return 2;
    }
    const QString publicPath = options.Value("--public", QStringLiteral("orvex-sign.pub"));
    const QString secretPath = options.Value("--secret", QStringLiteral("orvex-sign.key"));
    const bool force = options.Has("--force");
    for (const QString& path : {publicPath, secretPath}) {
        if (!force && QFileInfo::exists(path)) {
            err << Tr("orvex-sign keygen: %1 exists already; it is left as it is (--force "
                      "replaces it).\n")
                       .arg(path);
            return 1;
        }
    }
    QByteArray password;
    if (!options.Has("--no-password")) {
        QString why;
        const std::optional<QByteArray> first =
            Password(options, Tr("Password for the new key: "), &why);
        std::optional<QByteArray> second = first;
        if (first && !options.Has("--password-file"))
            second = Password(options, Tr("The same password again: "), &why);
        if (!first || !second) {
            err << Tr("orvex-sign keygen: %1\n").arg(why);
            return 1;
        }
        if (*first != *second || first->isEmpty()) {
            err << Tr("orvex-sign keygen: %1\n")
                       .arg(first->isEmpty() ? Tr("The password is empty; --no-password makes a "
                                                  "key without one.")
                                             : Tr("The two passwords differ."));
            return 1;
        }
        password = *first;
    }
    const std::optional<KeyPairFiles> pair = GenerateKeyPair(password);
    if (!pair) {
        err << Tr("orvex-sign keygen: no key could be made (the system gave no randomness or "
                  "not the memory the password protection needs).\n");
        return 1;
    }
    // The secret key first: a public key without its secret half would be published for
    // nothing.
    QString why;
    if (!WriteWholeFile(secretPath, pair->secretKey, 0600, force, &why) ||
        !WriteWholeFile(publicPath, pair->publicKey, 0644, force, &why)) {
        err << Tr("orvex-sign keygen: %1\n").arg(why);
        return 1;
    }
    out << Tr("Made key %1.\n"
              "Secret key (keep it off the update server, back it up): %2\n"
              "Public key (its second line goes into UpdatePublicKey): %3\n"
              "%4\n")
               .arg(pair->keyId, secretPath, publicPath,
                    QString::fromLatin1(pair->publicKey.split('\n').value(1)));
    return 0;
}

namespace {
// What one file gets: the bytes of its new ".minisig" and what the comment says.
struct Prepared {
    QString file;
    QByteArray signatureFile;
    TrustedComment comment;
    bool hadPrevious = false;
};

// The sequence this signing writes: the one asked for, which must be higher than the one
// beside the file, or one more than that one, or 1 for a file never signed here.
std::optional<uint64_t> NextSequence(const std::optional<uint64_t>& previous,
                                     const std::optional<uint64_t>& asked, QString* why) {
    if (asked && previous && *asked <= *previous) {
        *why = Tr("--sequence %1 is not higher than the sequence %2 of its signature beside it; "
                  "clients that saw %2 would refuse it.")
                   .arg(*asked)
                   .arg(*previous);
        return std::nullopt;
    }
    if (asked)
        return asked;
    if (!previous)
        return 1;
    if (*previous == std::numeric_limits<uint64_t>::max()) {
        *why = Tr("its signature beside it has the highest sequence there is; no signing can "
                  "follow it.");
        return std::nullopt;
    }
    return *previous + 1;
}
} // namespace

namespace {
// A signing as the command line asks for it, checked whole before anything is read or asked.
struct SignPlan {
    QStringList keyPaths;
    QString forId;
    std::optional<uint64_t> sequence;
    QDate expires;
    // How the expiry was chosen, for the output.
    QString expiryNote;
};

// The plan of the options; nothing (and *problem) for a command line that cannot be right.
std::optional<SignPlan> ReadSignPlan(const QStringList& files, const QStringList& keyPaths,
                                     const QStringList& forIds, const QStringList& sequences,
                                     const QStringList& expiries, const QStringList& expiryDays,
                                     const QDate& today, QString* problem) {
    SignPlan plan;
    plan.keyPaths = keyPaths;
    plan.forId = forIds.value(0);
    if (keyPaths.isEmpty())
        *problem = Tr("name the secret key with --key.");
    else if (keyPaths.size() > kMaxPublicKeys)
        *problem = Tr("at most %1 keys sign one file.").arg(kMaxPublicKeys);
    else if (forIds.isEmpty())
        *problem = Tr("name what the files are for with --for (a product's BaseXml, a notice's "
                      "BaseXML, a gallery pack's GUID, OrvexProductUpdate or productlist).");
    else if (!IsUsableIdentity(plan.forId))
        *problem = Tr("--for \"%1\" must be one word of at most %2 characters, without "
                      "blanks or control characters.")
                       .arg(plan.forId)
                       .arg(kMaxIdentityLength);
    else if (!expiries.isEmpty() && !expiryDays.isEmpty())
        *problem = Tr("give --expires or --expires-in, not both.");
    else if (files.isEmpty())
        *problem = Tr("name the files to sign.");
    else if (forIds.size() > 1 || sequences.size() > 1 || expiries.size() > 1 ||
             expiryDays.size() > 1)
        *problem = Tr("--for, --sequence, --expires and --expires-in are given once.");
    if (!problem->isEmpty())
        return std::nullopt;
    if (!sequences.isEmpty()) {
        plan.sequence = Number(sequences[0]);
        if (!plan.sequence || *plan.sequence == 0) {
            *problem = Tr("--sequence takes a whole number from 1 up.");
            return std::nullopt;
        }
    }
    plan.expires = today.addDays(CSignTool::kDefaultExpiryDays);
    plan.expiryNote = Tr("in %1 days, the default; --expires-in or --expires choose another")
                          .arg(CSignTool::kDefaultExpiryDays);
    if (!expiryDays.isEmpty()) {
        const std::optional<uint64_t> days = Number(expiryDays[0]);
        if (!days || *days < 1 || *days > kMaxExpiryDays) {
            *problem = Tr("--expires-in takes a number of days from 1 to %1.").arg(kMaxExpiryDays);
            return std::nullopt;
        }
        plan.expires = today.addDays(static_cast<qint64>(*days));
        plan.expiryNote = Tr("in %1 days").arg(*days);
    }
    if (!expiries.isEmpty()) {
        plan.expires = QDate::fromString(expiries[0], Qt::ISODate);
        if (expiries[0].size() != 10 || !plan.expires.isValid()) {
            *problem = Tr("--expires takes a day as YYYY-MM-DD.");
            return std::nullopt;
        }
        if (plan.expires < today || today.daysTo(plan.expires) > kMaxExpiryDays) {
            *problem = Tr("--expires must be a day from today (%1, UTC) to %2 days ahead.")
                           .arg(today.toString(Qt::ISODate))
                           .arg(kMaxExpiryDays);
            return std::nullopt;
        }
        plan.expiryNote = Tr("in %1 days").arg(today.daysTo(plan.expires));
    }
    for (const QString& file : files) {
        if (file.endsWith(QLatin1String(".minisig"))) {
            *problem = Tr("%1 is a signature itself; name the file it signs.").arg(file);
            return std::nullopt;
        }
    }
    return plan;
}

// The new ".minisig" of file, made in memory: nothing (and *why) when the file or the
// signature beside it cannot be read, or the plan does not fit what that signature says.
std::optional<Prepared> PrepareSignature(const QString& file, const SignPlan& plan,
                                         const std::vector<MinisignSecretKey>& keys, QString* why) {
    Prepared next;
    next.file = file;
    QString error;
    const std::optional<QByteArray> digest = FileDigest(file, &error);
    if (!digest) {
        *why = Tr("%1 cannot be read: %2").arg(file, error);
        return std::nullopt;
    }
    PreviousSignature previous;
    const QString signaturePath = file + QStringLiteral(".minisig");
    if (QFileInfo::exists(signaturePath)) {
        const std::optional<QByteArray> bytes =
            ReadSmallFile(signaturePath, kMaxSignatureFileSize, &error);
        const std::optional<PreviousSignature> read =
            bytes ? ReadPreviousSignature(*bytes, &error) : std::nullopt;
        if (!read) {
            *why = Tr("the signature beside it, %1, cannot be read, so its sequence is not known: "
                      "%2 Move it away and give --sequence higher than the last one published.")
                       .arg(signaturePath, error);
            return std::nullopt;
        }
        previous = *read;
        next.hadPrevious = true;
    }
    if (!previous.forId.isEmpty() && previous.forId != plan.forId) {
        *why = Tr("%1 was signed for \"%2\", not \"%3\"; a file signed for another identity is "
                  "refused where the first one is read. Check --for, or move the old signature "
                  "away.")
                   .arg(signaturePath, previous.forId, plan.forId);
        return std::nullopt;
    }
    const std::optional<uint64_t> sequence = NextSequence(previous.sequence, plan.sequence, &error);
    if (!sequence) {
        *why = file + QStringLiteral(": ") + error;
        return std::nullopt;
    }
    next.comment = {plan.forId, *sequence, plan.expires};
    for (const MinisignSecretKey& key : keys)
        next.signatureFile += SignatureLines(key, *digest, next.comment.Text());
    return next;
}
} // namespace

std::optional<std::vector<MinisignSecretKey>>
CSignTool::OpenKeys(const Options& options, const QStringList& paths, QString* why) {
    std::vector<MinisignSecretKey> keys;
    for (const QString& path : paths) {
        QString error;
        std::optional<QByteArray> bytes = ReadSmallFile(path, kMaxSecretKeyFileSize, &error);
        if (!bytes) {
            *why = Tr("the key %1 cannot be read: %2").arg(path, error);
            return std::nullopt;
        }
        const std::optional<SealedSecretKey> sealed = ParseSecretKeyFile(*bytes, &error);
        if (!sealed) {
            *why = Tr("the key %1 cannot be used: %2").arg(path, error);
            return std::nullopt;
        }
        QByteArray password;
        if (sealed->encrypted) {
            const std::optional<QByteArray> given =
                Password(options, Tr("Password for %1: ").arg(path), why);
            if (!given)
                return std::nullopt;
            password = *given;
        }
        std::optional<MinisignSecretKey> key = OpenSecretKey(*sealed, password, &error);
        if (!key) {
            *why = Tr("the key %1 cannot be opened: %2").arg(path, error);
            return std::nullopt;
        }
        keys.push_back(*key);
    }
    return keys;
}

int CSignTool::Sign(const Options& options, QTextStream& out, QTextStream& err) {
    const QString prefix = Tr("orvex-sign sign: ");
    QString why;
    const std::optional<SignPlan> plan =
        ReadSignPlan(options.files, options.Values("--key"), options.Values("--for"),
                     options.Values("--sequence"), options.Values("--expires"),
                     options.Values("--expires-in"), m_today, &why);
    if (!plan) {
        err << prefix << why << '\n';
        return 2;
    }
    const std::optional<std::vector<MinisignSecretKey>> keys =
        OpenKeys(options, plan->keyPaths, &why);
    if (!keys) {
        err << prefix << why << '\n';
        return 1;
    }
    // Every signature made in memory before any is written, so that a file that cannot be
    // read or a signature beside it that cannot be parsed leaves every one as it was.
    std::vector<Prepared> prepared;
    for (const QString& file : options.files) {
        std::optional<Prepared> next = PrepareSignature(file, *plan, *keys, &why);
        if (!next) {
            err << prefix << why << '\n';
            return 1;
        }
        prepared.push_back(std::move(*next));
    }
    QStringList keyIds;
    for (const MinisignSecretKey& key : *keys)
        keyIds += key.PublicKey().IdText();
    for (const Prepared& each : prepared) {
        if (!WriteWholeFile(each.file + QStringLiteral(".minisig"), each.signatureFile, 0644, true,
                            &why)) {
            err << prefix << why << '\n';
            return 1;
        }
        out << Tr("Signed %1: for=%2 sequence=%3 expires=%4 (%5), key %6.\n")
                   .arg(each.file, plan->forId)
                   .arg(each.comment.sequence)
                   .arg(each.comment.expires.toString(Qt::ISODate), plan->expiryNote,
                        keyIds.join(QStringLiteral(", ")));
    }
    return 0;
}

namespace {
// While it lives, the program's settings (the sequences a client remembers) are those of a
// new empty folder: the check judges as a client that has seen nothing yet, and it never
// writes into the settings of the maker who runs it.
class FreshClientSettings {
public:
    FreshClientSettings()
        : m_old(qgetenv("ORVEX_ROOT")), m_had(qEnvironmentVariableIsSet("ORVEX_ROOT")) {
        qputenv("ORVEX_ROOT", QFile::encodeName(m_folder.path()));
    }
    ~FreshClientSettings() { m_had ? qputenv("ORVEX_ROOT", m_old) : qunsetenv("ORVEX_ROOT"); }
    FreshClientSettings(const FreshClientSettings&) = delete;
    FreshClientSettings& operator=(const FreshClientSettings&) = delete;
    bool IsValid() const { return m_folder.isValid(); }

private:
    QTemporaryDir m_folder;
    QByteArray m_old;
    bool m_had;
};

QString Verdict(const CheckedDocument& document) {
    if (!document.accepted)
        return Tr("refused: %1").arg(document.reason);
    const SignatureCheck& signature = document.signature;
    if (!document.vouchedBy.isEmpty())
        return Tr("accepted: %1").arg(document.vouchedBy);
    if (signature.status == SignatureStatus::NoKey)
        return Tr("accepted without a signature (the version file names no key)");
    QString text =
        Tr("accepted: key %1, sequence %2, expires %3")
            .arg(signature.keyId,
                 signature.sequence ? QString::number(*signature.sequence) : Tr("none"),
                 signature.expires ? signature.expires->toString(Qt::ISODate) : Tr("never"));
    if (signature.expiresSoon && signature.expires)
        text += Tr("\n    warning: its signature expires in %1 days; sign it again and publish it "
                   "before then")
                    .arg(TodayUtc().daysTo(*signature.expires));
    return text;
}
} // namespace

int CSignTool::Check(const Options& options, QTextStream& out, QTextStream& err) {
    const QString prefix = Tr("orvex-sign check: ");
    if (!options.Has("--version-file") || !options.files.isEmpty()) {
        err << prefix << Tr("name the version file with --version-file, and nothing else.\n");
        return 2;
    }
    QString at = options.Value("--at");
    const bool folder = !at.isEmpty() && !at.contains(QLatin1String("://"));
    if (folder) {
        if (!QFileInfo(at).isDir()) {
            err << prefix << Tr("%1 is no folder.\n").arg(at);
            return 2;
        }
        at = QUrl::fromLocalFile(QFileInfo(at).absoluteFilePath()).toString();
    }
    FreshClientSettings fresh;
    if (!fresh.IsValid()) {
        err << prefix << Tr("no temporary folder could be made.\n");
        return 1;
    }
    std::shared_ptr<IDownloader> downloader;
    if (folder)
        downloader = std::make_shared<CFolderDownloader>();
    else
        downloader = std::make_shared<Downloader>();
    QString why;
    const QString path = options.Value("--version-file");
    const std::optional<ReleaseReport> report = CheckRelease(
        {path, at, options.Value("--product-list"), options.Value("--for")}, downloader, &why);
    if (!report) {
        err << prefix << why << '\n';
        return 1;
    }
    out << path << ": " << report->kind << '\n';
    for (const QString& problem : report->problems)
        out << Tr("  problem: %1\n").arg(problem);
    for (const QString& note : report->notes)
        out << Tr("  note: %1\n").arg(note);
    for (const CheckedDocument& document : report->documents)
        out << "  " << document.what << ", " << document.address << ":\n    " << Verdict(document)
            << '\n';
    const bool accepted = report->AllAccepted();
    out << (accepted ? Tr("Every document would be accepted.\n")
                     : Tr("Not every document would be accepted.\n"));
    return accepted ? 0 : 1;
}

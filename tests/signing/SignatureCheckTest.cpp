#include "signing/SignatureCheck.h"
#include "platform/Settings.h"
#include "signing/Minisign.h"
#include "signing/SignatureSequence.h"
#include "support/MinisignTool.h"
#include "support/Sandbox.h"

#include <fcntl.h>
#include <unistd.h>

namespace {
const QDate kToday(2026, 6, 1);
const SignedItem kEditor{SignedKind::Product, "Editor"};
const QByteArray kDocument = "<Info Location=\"Server\"><Product UpdateVersion=\"2\"/></Info>";

// Made once: A and B are the product's keys (B the one rotated to), C somebody else's.
MinisignTool& Tool() {
    static MinisignTool tool;
    static const bool made = !tool.MakeKey("A").isEmpty() && !tool.MakeKey("B").isEmpty() &&
                             !tool.MakeKey("C").isEmpty();
    EXPECT_TRUE(made);
    return tool;
}

// clang-format off
enum class Case { Valid, Missing, OtherKey, ByteChanged, CommentChanged, Expired, Older, Oversized, OtherFor, NoFor, NoSequence };
// clang-format on

PublicKeyList Keys(const QString& text) {
    return PublicKeyList::FromText(text);
}

// The public key line of key with the key id of other: two keys that share an id.
QString WithIdOf(const QString& key, const QString& other) {
    QByteArray bytes = QByteArray::fromBase64(key.toLatin1());
    bytes.replace(2, 8, QByteArray::fromBase64(other.toLatin1()).mid(2, 8));
    return QString::fromLatin1(bytes.toBase64());
}
} // namespace

// Every kind of signature against no key, one key and two keys in rotation (in either order,
// with either separator): the verdict and the sequence the product has remembered after it
// (5 before), through both entry points and for both kinds of minisign signature.
TEST(SignatureCheck, VerdictsOverKeysAndSignatures) {
    const QString a = Tool().MakeKey("A", false), b = Tool().MakeKey("B", false);
    const QString one = a, two = b + ", " + a;
    using S = SignatureStatus;
    using C = Case;
    // clang-format off
    const struct { const char* name; QString keys; const char* signer; Case c; S status; uint64_t remembered; } rows[] = {
        {"NoKeyValid", "", "A", C::Valid, S::NoKey, 5}, {"NoKeyMissing", " ", "A", C::Missing, S::NoKey, 5},
        {"NoKeyOlder", "", "A", C::Older, S::NoKey, 5},
        {"OneValidOnItsLastDay", one, "A", C::Valid, S::Verified, 7}, {"OneMissing", one, "A", C::Missing, S::Missing, 5},
        {"OneOtherKey", one, "A", C::OtherKey, S::UnknownKey, 5}, {"OneByteChanged", one, "A", C::ByteChanged, S::Mismatch, 5},
        {"OneCommentChanged", one, "A", C::CommentChanged, S::Mismatch, 5}, {"OneExpired", one, "A", C::Expired, S::Expired, 5},
        {"OneOlder", one, "A", C::Older, S::Older, 5}, {"OneOversized", one, "A", C::Oversized, S::Malformed, 5},
        {"OneNewKeyNotYetNamed", one, "B", C::Valid, S::UnknownKey, 5},
        {"TwoOldKey", two, "A", C::Valid, S::Verified, 7}, {"TwoNewKey", a + " " + b, "B", C::Valid, S::Verified, 7},
        {"TwoMissing", two, "B", C::Missing, S::Missing, 5}, {"TwoOtherKey", two, "B", C::OtherKey, S::UnknownKey, 5},
        {"TwoByteChanged", two, "B", C::ByteChanged, S::Mismatch, 5}, {"TwoCommentChanged", two, "B", C::CommentChanged, S::Mismatch, 5},
        {"TwoExpired", two, "B", C::Expired, S::Expired, 5}, {"TwoOlder", two, "B", C::Older, S::Older, 5},
        {"TwoOversized", two, "B", C::Oversized, S::Malformed, 5},
        {"OneForAnother", one, "A", C::OtherFor, S::OtherIdentity, 5}, {"OneForNothing", one, "A", C::NoFor, S::OtherIdentity, 5},
        {"OneWithoutSequence", one, "A", C::NoSequence, S::NoSequence, 5},
        {"SharedIdFirstKeyWrong", WithIdOf(b, a) + " " + a, "A", C::Valid, S::Verified, 7},
        {"SharedIdSecondKeyWrong", a + " " + WithIdOf(b, a), "A", C::Valid, S::Verified, 7},
        {"SharedIdNeitherRight", WithIdOf(b, a), "A", C::Valid, S::Mismatch, 5},
    };
    // clang-format on
    for (const auto& row : rows) {
        for (const bool legacy : {false, true}) {
            const QString comment = row.c == C::Expired ? "for=Editor expires=2026-05-31 sequence=7"
                                    : row.c == C::Older ? "for=Editor sequence=4"
                                    : row.c == C::OtherFor ? "for=editor sequence=7"
                                    : row.c == C::NoFor    ? "sequence=7"
                                    : row.c == C::NoSequence
                                        ? "for=Editor file:x"
                                        : "for=Editor expires=2026-06-01 sequence=7";
            QByteArray signature =
                Tool().Sign(row.c == C::OtherKey ? "C" : row.signer, kDocument, comment, legacy);
            signature.replace("sequence=7",
                              row.c == C::CommentChanged ? "sequence=9" : "sequence=7");
            if (row.c == C::Oversized)
                signature.replace("comment: ", "comment: " + QByteArray(4096, 'x'));
            QByteArray data = kDocument;
            data[10] = char(data[10] + (row.c == C::ByteChanged));
            const std::optional<QByteArray> given =
                row.c == C::Missing ? std::nullopt : std::optional(signature);
            for (const bool fromFile : {false, true}) {
                SCOPED_TRACE(std::string(row.name) + (legacy ? " legacy" : "") +
                             (fromFile ? " file" : ""));
                Sandbox sandbox;
                ASSERT_TRUE(RememberSequence(kEditor, {5, {}}));
                sandbox.Write("signed", data);
                const int fd = ::open(QFile::encodeName(sandbox.Path("signed")), O_RDONLY);
                const SignatureCheck check = AcceptSequence(
                    fromFile ? VerifyFileSignature(fd, given, Keys(row.keys), kEditor, kToday)
                             : VerifySignature(data, given, Keys(row.keys), kEditor, kToday));
                ::close(fd);
                EXPECT_EQ(check.status, row.status) << SignatureFailureText(check).toStdString();
                EXPECT_EQ(LastSeenSequence(kEditor).value_or(SeenSequence()).sequence,
                          row.remembered);
            }
        }
    }
}

// A correctly signed comment read: the id as minisign prints it, the expiry, the sequence,
// else minisign's default time stamp.
TEST(SignatureCheck, ReadsWhatTheSignedCommentSays) {
    const QString key = Tool().MakeKey("A", false);
    // minisign's own comment names no identity; one for the empty identity reads the rest.
    SignatureCheck check = VerifySignature(kDocument, Tool().Sign("A", kDocument, ""), Keys(key),
                                           {SignedKind::Notice, ""}, kToday);
    EXPECT_EQ(std::tuple(check.status, check.keyId, check.expires, check.signedFor),
              std::tuple(SignatureStatus::OtherIdentity, Tool().PrintedId("A"), std::nullopt,
                         std::nullopt));
    EXPECT_GT(check.sequence.value_or(0), 1700000000u);
    check = VerifySignature(
        kDocument,
        Tool().Sign("A", kDocument, "timestamp:9\tsequence=3 for=Editor expires=2030-01-02 x"),
        Keys(key), kEditor, kToday);
    EXPECT_EQ(std::tuple(check.status, check.sequence, check.expires, check.expiresSoon),
              std::tuple(SignatureStatus::Verified, 3u, QDate(2030, 1, 2), false));
    EXPECT_EQ(SignatureSummaryText(check), "Signature checked: key " + Tool().PrintedId("A") +
                                               ", sequence 3, expires 2030-01-02.");
    // The warning starts 13 days before the last valid day, not 14.
    for (const auto& [last, soon] :
         {std::pair(QDate(2026, 6, 14), true), std::pair(QDate(2026, 6, 15), false)}) {
        SCOPED_TRACE(last.toString(Qt::ISODate).toStdString());
        check = VerifySignature(
            kDocument,
            Tool().Sign("A", kDocument,
                        "for=Editor sequence=1 expires=" + last.toString(Qt::ISODate)),
            Keys(key), kEditor, kToday);
        EXPECT_EQ(std::pair(check.status, check.expiresSoon),
                  std::pair(SignatureStatus::Verified, soon));
        EXPECT_EQ(SignatureSummaryText(check).contains("Warning: it expires within 14 days"), soon);
    }
}

// Whatever the signature file, the signed comment or the key text holds, a refusal with its
// reason comes back before any of it is used.
TEST(SignatureCheck, RefusesWithItsReason) {
    const QString key = Tool().MakeKey("A", false);
    const QByteArray good = Tool().Sign("A", kDocument, "for=Editor sequence=1");
    const auto signedWith = [](const char* comment) {
        return Tool().Sign("A", kDocument, QString("for=Editor ") + comment);
    };
    const QList<QByteArray> lines = good.split('\n');
    QByteArray otherAlgorithm = QByteArray::fromBase64(lines[1]);
    otherAlgorithm[1] = 'X';
    const QString unusable = "Its signature is not usable: ";
    const QString lineCount = unusable + "The signature file does not hold whole minisign "
                                         "signatures of four lines each (at most 8).";
    const QString second =
        unusable + "The signature file's second line is not a minisign signature.";
    const QString comment = unusable + "Its trusted comment has an unusable \"%1\".";
    const QString notAKey =
        unusable + "The version file's public key \"%1\" is not a minisign public key.";
    // clang-format off
    const struct { const char* name; QString keys; QByteArray signature; QString text; } rows[] = {
        {"WindowsLineEnds", key, QByteArray(good).replace("\n", "\r\n"), ""},
        {"NoFinalLineEnd", key, good.chopped(1), ""},
        {"Empty", key, "", lineCount},
        {"LineAdded", key, good + "more\n", lineCount},
        {"LineAddedWithoutEnd", key, good + "more", lineCount},
        {"NeverEnds", key, good + QByteArray(1 << 20, '\n'), unusable + "The signature file is larger than 4096 bytes."},
        {"NoUntrustedComment", key, good.mid(good.indexOf('\n') + 1).prepend(lines[1] + '\n'), unusable + "The signature file's first line is not an untrusted comment."},
        {"EscapeInUntrusted", key, QByteArray(good).replace("signature from", "sig\x1b[2J"), unusable + "The signature file's first line is not an untrusted comment."},
        {"NulInTrustedComment", key, QByteArray(good).replace("sequence=1", QByteArray("sequence=1\0x", 12)), unusable + "The signature file's third line is not a trusted comment."},
        {"OddBase64Character", key, QByteArray(good).replace(lines[1], "*" + lines[1].mid(1)), second},
        {"Base64Short", key, QByteArray(good).replace(lines[1], lines[1].left(96)), second},
        {"UnknownAlgorithm", key, QByteArray(good).replace(lines[1], otherAlgorithm.toBase64()), second},
        {"GlobalSignatureCut", key, QByteArray(good).replace(lines[3], lines[3].left(40)), unusable + "The signature file's last line is not a minisign signature."},
        {"KeyWithOddCharacter", key.left(55) + "!", good, notAKey.arg(key.left(55) + "!")},
        {"KeyOfAnotherAlgorithm", "RX" + key.mid(2), good, notAKey.arg("RX" + key.mid(2))},
        {"KeyTooLong", key + "0123456789", good, notAKey.arg((key + "0123").left(60))},
        {"KeySeparatorsOnly", " ,, ", good, unusable + "The version file's public key names no key."},
        {"NineKeys", QStringList(9, key).join(' '), good, unusable + "The version file names more than 8 public keys."},
        {"ExpiryNotADay", key, signedWith("expires=2030-1-2"), comment.arg("expires=2030-1-2")},
        {"SequenceNotANumber", key, signedWith("sequence=12a"), comment.arg("sequence=12a")},
        {"SequenceTwice", key, signedWith("sequence=1 sequence=2"), comment.arg("sequence=2")},
        {"SequenceTooLarge", key, signedWith("sequence=99999999999999999999"), comment.arg("sequence=99999999999999999999")},
        {"Expired", key, signedWith("expires=2020-02-29 sequence=1"), "It expired on 2020-02-29."},
        {"ForEmpty", key, signedWith("for= sequence=1"), comment.arg("for=")},
        {"ForTwice", key, signedWith("for=Editor sequence=1"), comment.arg("for=Editor")},
        {"ForAnother", key, Tool().Sign("A", kDocument, "for=Editor2 sequence=1"), "It was signed for \"Editor2\", not for \"Editor\"."},
        {"ForNothing", key, Tool().Sign("A", kDocument, "sequence=1"), "Its signature does not say what it is for (\"for=Editor\" is missing)."},
        {"WithoutSequence", key, signedWith("expires=2030-01-01"), "Its signature carries no sequence, so it cannot be told from an older one."},
        {"TwoSignatures", key, Tool().Sign("C", kDocument, "") + good, ""},
        {"TwoSignaturesSecondCut", key, good + good.left(good.size() - 20) + "\n", unusable + "The signature file's last line is not a minisign signature."},
        {"NineSignatures", key, good.repeated(9), lineCount},
        {"TwoUnknown", key, Tool().Sign("C", kDocument, "") + Tool().Sign("B", kDocument, ""), "It was signed with an unknown key (" + Tool().PrintedId("C") + ", " + Tool().PrintedId("B") + ")."},
        {"KeyCutShort", key.left(40), good, notAKey.arg(key.left(40))},
        {"UnknownKey", key, Tool().Sign("C", kDocument, ""), "It was signed with an unknown key (" + Tool().PrintedId("C") + ")."},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const SignatureCheck check =
            VerifySignature(kDocument, row.signature, Keys(row.keys), kEditor, kToday);
        EXPECT_EQ(SignatureFailureText(check), row.text);
        EXPECT_EQ(check.Accepted(), row.text.isEmpty());
    }
    SignatureCheck older;
    older.status = SignatureStatus::Older;
    EXPECT_EQ(SignatureFailureText(older), "It is older than the last one seen.");
}

// Each kind and exact identity keeps its own sequence: names that differ only in case, or that
// would read alike once escaped, never share one; of the values earlier versions kept directly
// under "Signatures", only the program's own are read, each for its own kind.
TEST(SignatureSequence, KeepsEachItemApart) {
    const QString legacyPath = "Software/ORVEX Technologies/Product Update/Signatures";
    using K = SignedKind;
    // clang-format off
    const struct { const char* name; QString legacyName; SignedItem remembered; SignedItem asked; std::optional<uint64_t> seen; } rows[] = {
        {"SameItem", "", {K::Product, "Editor"}, {K::Product, "Editor"}, 7},
        {"OtherCase", "", {K::Product, "Editor"}, {K::Product, "editor"}, std::nullopt},
        {"OtherKind", "", {K::Product, "Editor"}, {K::Notice, "Editor"}, std::nullopt},
        {"EscapeLookalike", "", {K::Product, "%45ditor"}, {K::Product, "Editor"}, std::nullopt},
        {"LegacyProgramValue", "OrvexProductUpdate", {}, {K::ProgramInformation, kProgramIdentity}, 9},
        {"LegacyListValue", "OrvexProductUpdate product list", {}, {K::ProductList, kProductListIdentity}, 9},
        {"LegacyInstallerValue", "OrvexProductUpdate installer", {}, {K::Installer, kProgramIdentity}, 9},
        {"LegacyValueOfAnotherKind", "OrvexProductUpdate installer", {}, {K::ProgramInformation, kProgramIdentity}, std::nullopt},
        {"LegacyProductValueStartsAfresh", "Editor", {}, {K::Product, "Editor"}, std::nullopt},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Sandbox sandbox;
        if (!row.legacyName.isEmpty())
            WriteSettingString(CurrentUser, legacyPath, row.legacyName, "9", kRegistryMarker);
        else
            ASSERT_TRUE(RememberSequence(row.remembered, {7, "digest"}));
        const std::optional<SeenSequence> seen = LastSeenSequence(row.asked);
        EXPECT_EQ(seen ? std::optional(seen->sequence) : std::nullopt, row.seen);
    }
}

// An equal sequence counts again only for the bytes seen under it; a number remembered by an
// earlier version, without a digest, takes the first file's.
TEST(SignatureSequence, AnEqualSequenceCountsOnlyForTheSameBytes) {
    const SignedItem item{SignedKind::Gallery, "{g}"};
    Sandbox sandbox;
    EXPECT_TRUE(RememberSequence(item, {5, {}}));
    EXPECT_TRUE(RememberSequence(item, {5, "first"}));
    EXPECT_EQ(LastSeenSequence(item), (SeenSequence{5, "first"}));
    EXPECT_TRUE(RememberSequence(item, {5, "first"}));
    EXPECT_FALSE(RememberSequence(item, {5, "second"}));
    EXPECT_FALSE(RememberSequence(item, {4, "first"}));
    EXPECT_EQ(LastSeenSequence(item), (SeenSequence{5, "first"}));
    EXPECT_TRUE(RememberSequence(item, {6, "second"}));
    EXPECT_EQ(LastSeenSequence(item), (SeenSequence{6, "second"}));
}

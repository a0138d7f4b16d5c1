#include "signing/SignatureCheck.h"
#include "signing/Minisign.h"
#include "signing/SignatureSequence.h"
#include "support/MinisignTool.h"
#include "support/Sandbox.h"

#include <fcntl.h>
#include <unistd.h>

namespace {
const QDate kToday(2026, 6, 1);
const QByteArray kDocument =
    "<Info Location=\"Server\"><Product UpdateVersion=\"2.0.0.0\"/></Info>";

// Keys A and B are the product's (B is the one rotated to), C is somebody else's.
struct Keys {
    MinisignTool tool;
    QByteArray a = tool.MakeKey("A"), b = tool.MakeKey("B"), c = tool.MakeKey("C");
};
Keys& SharedKeys() {
    static Keys keys;
    return keys;
}

enum class Case {
    Valid,
    Missing,
    OtherKey,
    ByteChanged,
    CommentChanged,
    Expired,
    Older,
    Oversized
};

// What the check is handed for a case: the bytes and the signature file, signed with key.
std::pair<QByteArray, std::optional<QByteArray>> Make(Case c, const QString& key, bool legacy) {
    MinisignTool& tool = SharedKeys().tool;
    const QString comment = c == Case::Expired ? "expires=2026-05-31 sequence=7"
                            : c == Case::Older ? "sequence=4"
                                               : "expires=2026-06-01 sequence=7";
    QByteArray signature = tool.Sign(c == Case::OtherKey ? "C" : key, kDocument, comment, legacy);
    QByteArray data = kDocument;
    if (c == Case::ByteChanged)
        data[10] = data[10] + 1;
    if (c == Case::CommentChanged)
        signature.replace("sequence=7", "sequence=9");
    if (c == Case::Oversized)
        signature.replace("untrusted comment: ", "untrusted comment: " + QByteArray(4096, 'x'));
    if (c == Case::Missing)
        return {data, std::nullopt};
    return {data, signature};
}
} // namespace

// Every kind of signature against no key, one key and two keys in rotation (given in either
// order and with either separator): the verdict and the sequence the product then has
// remembered (5 before each row), through both entry points and both kinds of signature.
TEST(SignatureCheck, VerdictsOverKeysAndSignatures) {
    const Keys& keys = SharedKeys();
    const QString one = keys.a;
    const QString rotating = keys.b + ", " + keys.a;
    using S = SignatureStatus;
    // clang-format off
    const struct { const char* name; QString keys; const char* signer; Case c; S status; uint64_t remembered; } rows[] = {
        {"NoKeyValid", "", "A", Case::Valid, S::NoKey, 5},
        {"NoKeyMissing", "", "A", Case::Missing, S::NoKey, 5},
        {"NoKeyOtherKey", " ", "A", Case::OtherKey, S::NoKey, 5},
        {"NoKeyOlder", "", "A", Case::Older, S::NoKey, 5},
        {"OneValidLastDayStillCounts", one, "A", Case::Valid, S::Verified, 7},
        {"OneMissing", one, "A", Case::Missing, S::Missing, 5},
        {"OneOtherKey", one, "A", Case::OtherKey, S::UnknownKey, 5},
        {"OneByteChanged", one, "A", Case::ByteChanged, S::Mismatch, 5},
        {"OneCommentChanged", one, "A", Case::CommentChanged, S::Mismatch, 5},
        {"OneExpired", one, "A", Case::Expired, S::Expired, 5},
        {"OneOlderSequence", one, "A", Case::Older, S::Older, 5},
        {"OneOversized", one, "A", Case::Oversized, S::Malformed, 5},
        {"OneSignedWithTheNewKeyNotYetNamed", one, "B", Case::Valid, S::UnknownKey, 5},
        {"TwoOldKey", rotating, "A", Case::Valid, S::Verified, 7},
        {"TwoNewKey", keys.a + " " + keys.b, "B", Case::Valid, S::Verified, 7},
        {"TwoMissing", rotating, "B", Case::Missing, S::Missing, 5},
        {"TwoOtherKey", rotating, "B", Case::OtherKey, S::UnknownKey, 5},
        {"TwoByteChanged", rotating, "B", Case::ByteChanged, S::Mismatch, 5},
        {"TwoCommentChanged", rotating, "B", Case::CommentChanged, S::Mismatch, 5},
        {"TwoExpired", rotating, "B", Case::Expired, S::Expired, 5},
        {"TwoOlderSequence", rotating, "B", Case::Older, S::Older, 5},
        {"TwoOversized", rotating, "B", Case::Oversized, S::Malformed, 5},
    };
    // clang-format on
    for (const auto& row : rows) {
        for (const bool legacy : {false, true}) {
            for (const bool fromFile : {false, true}) {
                SCOPED_TRACE(std::string(row.name) + (legacy ? " legacy" : "") +
                             (fromFile ? " file" : ""));
                Sandbox sandbox;
                ASSERT_TRUE(RememberSequence("Editor", 5));
                const auto [data, signature] = Make(row.c, row.signer, legacy);
                SignatureCheck check;
                if (fromFile) {
                    sandbox.Write("signed", data);
                    const int fd = ::open(QFile::encodeName(sandbox.Path("signed")), O_RDONLY);
                    check = VerifyFileSignature(fd, signature, row.keys, kToday);
                    ::close(fd);
                } else {
                    check = VerifySignature(data, signature, row.keys, kToday);
                }
                check = AcceptSequence("Editor", check);
                EXPECT_EQ(check.status, row.status) << SignatureFailureText(check).toStdString();
                EXPECT_EQ(LastSeenSequence("Editor"), row.remembered);
                EXPECT_EQ(check.Accepted(), SignatureFailureText(check).isEmpty());
            }
        }
    }
}

// What a correctly signed file tells, and the words for each refusal.
TEST(SignatureCheck, ReadsTheSignedCommentAndWordsEveryRefusal) {
    MinisignTool& tool = SharedKeys().tool;
    const QString key = SharedKeys().a;
    // minisign's default comment carries a time stamp, which counts when no sequence is given.
    SignatureCheck check = VerifySignature(kDocument, tool.Sign("A", kDocument, ""), key, kToday);
    EXPECT_EQ(check.status, SignatureStatus::Verified);
    EXPECT_GT(check.sequence.value_or(0), 1700000000u);
    // The id as minisign prints it, so a maker can tell the keys apart.
    EXPECT_EQ(check.keyId, tool.PrintedId("A"));
    check = VerifySignature(
        kDocument, tool.Sign("A", kDocument, "timestamp:99\tsequence=3 expires=2030-01-02"), key,
        kToday);
    EXPECT_EQ(std::tuple(check.status, check.sequence, check.expires),
              std::tuple(SignatureStatus::Verified, std::optional<uint64_t>(3),
                         std::optional(QDate(2030, 1, 2))));

    const struct {
        const char* comment;
        QString text;
    } refused[] = {
        {"expires=2030-1-2", "Its signature is not usable: Its trusted comment has an unusable "
                             "\"expires=2030-1-2\"."},
        {"sequence=12a", "Its signature is not usable: Its trusted comment has an unusable "
                         "\"sequence=12a\"."},
        {"sequence=1 sequence=2", "Its signature is not usable: Its trusted comment has an "
                                  "unusable \"sequence=2\"."},
        {"sequence=99999999999999999999", "Its signature is not usable: Its trusted comment "
                                          "has an unusable \"sequence=99999999999999999999\"."},
        {"expires=2020-01-01", "It expired on 2020-01-01."},
    };
    for (const auto& [comment, text] : refused) {
        SCOPED_TRACE(comment);
        EXPECT_EQ(SignatureFailureText(
                      VerifySignature(kDocument, tool.Sign("A", kDocument, comment), key, kToday)),
                  text);
    }
    SignatureCheck unknown = VerifySignature(kDocument, tool.Sign("C", kDocument, ""), key, kToday);
    EXPECT_EQ(SignatureFailureText(unknown),
              "It was signed with an unknown key (" +
                  ParsePublicKeys(QString(SharedKeys().c))->front().IdText() + ").");
    EXPECT_EQ(SignatureFailureText({SignatureStatus::Older, {}, {}, {}, {}}),
              "It is older than the last one seen.");
}

// Whatever the signature file or the key text holds, a refusal with its reason comes back
// before any of it is used.
TEST(SignatureCheck, RefusesMalformedInputWithItsReason) {
    const QString key = SharedKeys().a;
    const QByteArray good = SharedKeys().tool.Sign("A", kDocument, "sequence=1");
    const QList<QByteArray> lines = good.split('\n');
    const QString fourLines = "The signature file does not have the four lines of a minisign "
                              "signature.";
    const QString second = "The signature file's second line is not a minisign signature.";
    QByteArray otherAlgorithm = QByteArray::fromBase64(lines[1]);
    otherAlgorithm[1] = 'X';
    // clang-format off
    const struct { const char* name; QString keys; QByteArray signature; QString why; } rows[] = {
        {"WindowsLineEnds", key, QByteArray(good).replace("\n", "\r\n"), ""},
        {"NoFinalLineEnd", key, good.chopped(1), ""},
        {"Empty", key, "", fourLines},
        {"LineAdded", key, good + "more\n", fourLines},
        {"NeverEnds", key, good + QByteArray(1 << 20, '\n'), "The signature file is larger than 4096 bytes."},
        {"NoUntrustedComment", key, lines[1] + '\n' + lines[1] + '\n' + lines[2] + '\n' + lines[3], "The signature file's first line is not an untrusted comment."},
        {"ControlCharacterInUntrusted", key, QByteArray(good).replace("signature from", "sig\x1b[2Jnature"), "The signature file's first line is not an untrusted comment."},
        {"NulInTrustedComment", key, QByteArray(good).replace("sequence=1", QByteArray("sequence=1\0x", 12)), "The signature file's third line is not a trusted comment."},
        {"OddBase64Character", key, QByteArray(good).replace(lines[1], "*" + lines[1].mid(1)), second},
        {"Base64OneShort", key, QByteArray(good).replace(lines[1], lines[1].left(96)), second},
        {"UnknownAlgorithm", key, QByteArray(good).replace(lines[1], otherAlgorithm.toBase64()), second},
        {"GlobalSignatureCut", key, QByteArray(good).replace(lines[3], lines[3].left(40)), "The signature file's last line is not a minisign signature."},
        {"KeyWithOddCharacter", key.left(55) + "!", good, "The version file's public key \"" + key.left(55) + "!\" is not a minisign public key."},
        {"KeyOfAnotherAlgorithm", "RX" + key.mid(2), good, "The version file's public key \"RX" + key.mid(2) + "\" is not a minisign public key."},
        {"KeySeparatorsOnly", " ,, ", good, "The version file's public key names no key."},
        {"NineKeys", QStringList(9, key).join(' '), good, "The version file names more than 8 public keys."},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const SignatureCheck check = VerifySignature(kDocument, row.signature, row.keys, kToday);
        EXPECT_EQ(check.status,
                  row.why.isEmpty() ? SignatureStatus::Verified : SignatureStatus::Malformed);
        EXPECT_EQ(check.detail, row.why);
    }
}

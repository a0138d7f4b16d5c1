#include "qtglue/StringsFile.h"

#include "LanguageSandbox.h"

#include <QStringEncoder>

using namespace Qt::StringLiterals;

using Pairs = std::vector<std::pair<QString, QString>>;

static QByteArray Be(const QString& text) {
    return QStringEncoder(QStringEncoder::Utf16BE, QStringEncoder::Flag::WriteBom)(text);
}

static Pairs Read(const QByteArray& bytes) {
    Pairs pairs;
    ReadStringsPairs(bytes, [&pairs](const QString& key, const QString& value) {
        pairs.emplace_back(key, value);
    });
    return pairs;
}

TEST(StringsFile, TokensBecomeKeyValuePairs) {
    const QString longToken(2000, u'x');
    // clang-format off
    const struct { const char* name; QByteArray bytes; Pairs pairs; } cases[] = {
        {"MarkSkipped", Utf16Le(u"a=b;"_s), {{"a", "b"}}},
        {"NoMarkReadsTheSame", Utf16Le(u"ab=c;"_s, false), {{"ab", "c"}}},
        {"BigEndianSwapped", Be(u"k=\"\u00e9\";"_s), {{"k", u"\u00e9"_s}}},
        // An unknown escape gives its character; a bad hexadecimal digit ends the number.
        {"Escapes", Utf16Le(u"k=\"\\\"\\\\\\n\\t\\r\\u00e9\\u20AC\\u0g41\\q\";"_s), {{"k", u"\"\\\n\t\r\u00e9\u20acAq"_s}}},
        {"BackslashOrdinaryOutsideQuotes", Utf16Le(u"a\\nb=c;"_s), {{"a\\nb", "c"}}},
        {"CommentsBeforeInsideBetweenAndAfterTokens", Utf16Le(u"/* c */k/* x */k /*=*/ = v//c\nw; // end"_s), {{"kk", "vw"}}},
        {"NulSeparates", Utf16Le(QString(u"a\0b\0c\0d"_s)), {{"a", "b"}, {"c", "d"}}},
        {"TokenCutAt1023", Utf16Le(u"k="_s + longToken + u";n=m;"_s), {{"k", longToken.left(1023)}, {"n", "m"}}},
        {"LastKeyWithoutSeparatorDropped", Utf16Le(u"a=b;c"_s), {{"a", "b"}}},
        {"LastValueWithoutSeparator", Utf16Le(u"a=b"_s), {{"a", "b"}}},
        {"EmptyQuotedStringIsNoToken", Utf16Le(u"a=\"\";b=c;"_s), {{"a", "b"}, {"c", ""}}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Read(c.bytes), c.pairs);
    }
}

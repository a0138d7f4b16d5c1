#include "qtglue/StringsFile.h"

#include "LanguageSandbox.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

namespace {
QByteArray Le(const QString& text, bool mark = true) {
    return LanguageSandbox::Utf16Le(text, mark);
}
using Pairs = std::vector<std::pair<QString, QString>>;

QByteArray Be(const QString& text) {
    QByteArray bytes("\xFE\xFF", 2);
    for (QChar c : text) {
        bytes += static_cast<char>(c.unicode() >> 8);
        bytes += static_cast<char>(c.unicode() & 0xff);
    }
    return bytes;
}

Pairs Read(const QByteArray& bytes) {
    Pairs pairs;
    ReadStringsPairs(bytes, [&pairs](const QString& key, const QString& value) {
        pairs.emplace_back(key, value);
    });
    return pairs;
}

struct TokenCase {
    const char* name;
    QByteArray bytes;
    Pairs pairs;
};

TEST(StringsFile, TokensBecomeKeyValuePairs) {
    const QString longToken(2000, u'x');
    // clang-format off
    const TokenCase cases[] = {
        {"MarkSkipped", Le(u"a=b;"_s), {{"a", "b"}}},
        {"FirstCharacterSkippedWithoutMark", Le(u"ab=c;"_s, false), {{"b", "c"}}},
        {"BigEndianSwapped", Be(u"k=\"\u00e9\";"_s), {{"k", u"\u00e9"_s}}},
        // An odd length rules out big-endian: the units read little-endian are one token
        // without separators, and a last key alone is dropped.
        {"OddLengthNotSwapped", Be(u"a=b;"_s) + 'x', {}},
        {"QuotesStartAndStopInsideToken", Le(u"ab\"c d\"e=x;"_s), {{"abc de", "x"}}},
        {"SeparatorsAndCommentsQuoted", Le(u"\"k=;/*//\"=\"v // w\";"_s), {{"k=;/*//", "v // w"}}},
        {"Escapes", Le(u"k=\"\\\"\\\\\\n\\t\\r\\u00e9\\u20AC\\u0g41\";"_s),
         {{"k", u"\"\\\n\t\r\u00e9\u20acA"_s}}},
        {"UnknownEscapeGivesItsCharacter", Le(u"k=\"\\q\\'\";"_s), {{"k", "q'"}}},
        {"BackslashOrdinaryOutsideQuotes", Le(u"a\\nb=c;"_s), {{"a\\nb", "c"}}},
        {"ShortUnicodeEscapeAtEndDropped", Le(u"k=\"ab\\u12"_s), {{"k", "ab"}}},
        {"BlockCommentInsideToken", Le(u"ab/* x */cd=v;"_s), {{"abcd", "v"}}},
        {"LineCommentInsideToken", Le(u"k=v//c\nw;"_s), {{"k", "vw"}}},
        {"CommentsBetweenAndAfterTokens", Le(u"/* c */k /*=*/ = v; // end"_s), {{"k", "v"}}},
        {"NulSeparates", Le(QString(u"a\0b\0c\0d"_s)), {{"a", "b"}, {"c", "d"}}},
        {"TokenCutAt1023", Le(u"k="_s + longToken + u";n=m;"_s),
         {{"k", longToken.left(1023)}, {"n", "m"}}},
        {"LastKeyWithoutSeparatorDropped", Le(u"a=b;c"_s), {{"a", "b"}}},
        {"LastKeyWithSeparatorGetsEmptyValue", Le(u"a=b;c\n"_s), {{"a", "b"}, {"c", ""}}},
        {"LastValueWithoutSeparator", Le(u"a=b"_s), {{"a", "b"}}},
        {"EmptyQuotedStringIsNoToken", Le(u"a=\"\";b=c;"_s), {{"a", "b"}, {"c", ""}}},
        {"EmptyQuotedLastValue", Le(u"a=\"\";"_s), {{"a", ""}}},
        {"DuplicatesKeptInOrder", Le(u"a=1;a=2;"_s), {{"a", "1"}, {"a", "2"}}},
        {"Empty", QByteArray(), {}},
        {"OnlyMark", Le(QString()), {}},
    };
    // clang-format on
    for (const TokenCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Read(c.bytes), c.pairs);
    }
}
} // namespace

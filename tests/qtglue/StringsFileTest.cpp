#include "qtglue/StringsFile.h"

#include "LanguageSandbox.h"

#include <QRegularExpression>
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
        {"CommentMarkersInsideQuotes", Utf16Le(u"k=\"http://x/*y*/\";n=m;"_s), {{"k", "http://x/*y*/"}, {"n", "m"}}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Read(c.bytes), c.pairs);
    }
}

// What a translation must keep of its English text: each placeholder, in any order, and each
// line end, the one that ends the text included (the code appends to such texts).
static QStringList Kept(const QString& text) {
    QStringList kept;
    for (const QRegularExpressionMatch& match :
         QRegularExpression(u"%\\d|\\r?\\n"_s).globalMatch(text))
        kept << match.captured();
    kept.sort();
    if (text.endsWith(u'\n'))
        kept << u"(at the end)"_s;
    return kept;
}

// Every language shipped, also one added later: the files scripts/make-strings generates.
TEST(StringsFile, ShippedTranslationsKeepPlaceholdersAndLineEnds) {
    const QDir languages(QStringLiteral(ORVEX_TEST_DATA_DIR "/../../../resources/Languages"));
    const QStringList codes = languages.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_FALSE(codes.isEmpty()) << languages.path().toStdString();
    for (const QString& code : codes) {
        const Pairs pairs =
            Read(ReadFile(languages.filePath(code + u"/ORVEXProductUpdate.strings"_s)));
        EXPECT_GT(pairs.size(), 10u) << code.toStdString();
        for (const auto& [english, translation] : pairs)
            EXPECT_EQ(Kept(translation), Kept(english))
                << code.toStdString() << ": " << english.toStdString();
    }
}

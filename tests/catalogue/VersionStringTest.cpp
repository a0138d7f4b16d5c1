// How texts read is what servers and version files rely on. The order's own consistency (one of
// less, equal, greater; the mirror image; a range holding its bounds) is checked by the fuzz
// target on its corpus, and which range an installed version falls in by UpdateInformation's
// rows (bounds written swapped, a version beyond every range).
#include "catalogue/VersionString.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

static QString Components(const CVersionString& v) {
    return QString::asprintf("%d.%d.%d.%d", v.Major(), v.Minor(), v.Build(), v.Revision());
}

TEST(VersionString, ReadsNumbersValidityAndDisplayText) {
    // clang-format off
    const struct { const char* text; bool valid; const char *components, *printed; } rows[] = {
        // Leading zeros go before "%i" reads, so "08" is eight, not a bad octal number.
        {"08.09.010.0", true, "8.9.10.0", "8.9.10.0"}, {"1.2.3", false, "1.2.-1.3", "1.2.3"},
        {"a.b.c.d", true, "0.0.0.0", "0.0.0.0"}, {"", false, "0.0.0.0", ""},
        // Beyond 32 bits the value is clamped rather than wrapped.
        {"99999999999.1.0.0", true, "2147483647.1.0.0", "2147483647.1.0.0"},
        {"1020304", true, "1.2.4.3", "1.2.4.3"},
        {"123456789", true, "12.34.567.89", "12.34.567.89"},
        {"1234567890", false, "23.45.678.90", "1234567890"},
        {"12345678901234", true, "123.456.7890.1234", "123.456.7890.1234"},
        {"123456789012345", false, "234.567.8901.2345", "123456789012345"},
        // Eight-bit text is read in the locale's encoding (UTF-8 in tests) and kept whole.
        {"\xc3\xa9t\xc3\xa9", false, "0.0.0.0", "\xc3\xa9t\xc3\xa9"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        // A text assigned over another value must leave nothing of that value.
        CVersionString assigned("9.8.7.6");
        assigned = row.text;
        for (const CVersionString& v : {CVersionString(QString::fromUtf8(row.text)), assigned}) {
            EXPECT_EQ(v.IsValid(), row.valid);
            EXPECT_EQ(Components(v), QString::fromLatin1(row.components));
            EXPECT_EQ(v.ToString(), QString::fromUtf8(row.printed));
        }
    }
}

TEST(VersionString, OrdersByComponentsWithInvalidBelowValid) {
    // -1: a < b, 0: equal, 1: a > b.
    // Numbers, not texts; packed and dotted alike; invalid below valid; both invalid: the source
    // texts decide, code unit by code unit.
    // clang-format off
    const std::tuple<const char*, const char*, int> rows[] = {
        {"10.0.0.0", "9.9.9.9", 1}, {"1.2.3.4", "01.02.03.04", 0}, {"1.2.3.4", "1.2.3.5", -1},
        {"1020304", "1.2.4.3", 0}, {"abc", "0.0.0.0", -1}, {"1.2.3", "1.2.3", 0}, {"B", "a", -1}};
    // clang-format on
    for (const auto& [a, b, expected] : rows) {
        SCOPED_TRACE(std::string(a) + " vs " + b);
        EXPECT_EQ((CVersionString(a) > CVersionString(b)) - (CVersionString(a) < CVersionString(b)),
                  expected);
        EXPECT_EQ(CVersionString(a) == CVersionString(b), expected == 0);
    }
}

#include "catalogue/VersionString.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(VersionString, ReadsNumbersValidityAndDisplayText) {
    const struct {
        const char* text;
        bool valid;
        int32_t major, minor, build, revision;
        const char* printed;
    } cases[] = {
        {"1.2.3.4", true, 1, 2, 3, 4, "1.2.3.4"},
        {"01.002.0003.00", true, 1, 2, 3, 0, "1.2.3.0"},
        {"08.09.010.0", true, 8, 9, 10, 0, "8.9.10.0"},
        {"1.2.3", false, 1, 2, -1, 3, "1.2.3"},
        {"", false, 0, 0, 0, 0, ""},
        {"1..3.4", false, 1, -1, 3, 4, "1..3.4"},
        {"1.2.3.4.5", true, 1, 2, 3, 4, "1.2.3.4"},
        {"1.2.3.x", true, 1, 2, 3, 0, "1.2.3.0"},
        {"a.b.c.d", true, 0, 0, 0, 0, "0.0.0.0"},
        {"1.2.3.", false, 1, 2, 3, -1, "1.2.3."},
        {".", false, -1, -1, -1, -1, "."},
        {"-1.2.3.4", true, -1, 2, 3, 4, "-1.2.3.4"},
        {" 7.1.0.0", true, 7, 1, 0, 0, "7.1.0.0"},
        // "%i" reads a hexadecimal prefix that survives the zero stripping.
        {"1.x10.0.0", true, 1, 0, 0, 0, "1.0.0.0"},
        // Beyond 32 bits the value is clamped rather than wrapped.
        {"99999999999.1.0.0", true, INT32_MAX, 1, 0, 0, "2147483647.1.0.0"},
        {"-99999999999.1.0.0", true, INT32_MIN, 1, 0, 0, "-2147483648.1.0.0"},
        {"123456", false, 0, 0, 0, 0, "123456"},
        {"abc", false, 0, 0, 0, 0, "abc"},
        {"1020304", true, 1, 2, 4, 3, "1.2.4.3"},
        {"90712345", true, 9, 7, 123, 45, "9.7.123.45"},
        {"123456789", true, 12, 34, 567, 89, "12.34.567.89"},
        {"1234567890", false, 23, 45, 678, 90, "1234567890"},
        {"123456789012", true, 1, 234, 5678, 9012, "1.234.5678.9012"},
        {"12345678901234", true, 123, 456, 7890, 1234, "123.456.7890.1234"},
        {"123456789012345", false, 234, 567, 8901, 2345, "123456789012345"},
        {"abcdefgh", true, 0, 0, 0, 0, "0.0.0.0"},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        // A text assigned over another value must leave nothing of that value.
        CVersionString assigned("9.8.7.6");
        assigned = c.text;
        for (const CVersionString& v : {CVersionString(QString::fromUtf8(c.text)), assigned}) {
            EXPECT_EQ(v.IsValid(), c.valid);
            EXPECT_EQ(v.Major(), c.major);
            EXPECT_EQ(v.Minor(), c.minor);
            EXPECT_EQ(v.Build(), c.build);
            EXPECT_EQ(v.Revision(), c.revision);
            EXPECT_EQ(v.ToString(), QString::fromUtf8(c.printed));
        }
    }
}

TEST(VersionString, OrdersTotallyWithInvalidBelowValid) {
    // The expected order: -1 a < b, 0 equal, 1 a > b.
    const std::tuple<const char*, const char*, int> cases[] = {
        {"10.0.0.0", "9.9.9.9", 1},
        {"1.2.3.4", "1.2.3.4", 0},
        {"1.2.3.4", "01.02.03.04", 0},
        {"1.2.3.4", "1.2.3.5", -1},
        {"1.2.4.0", "1.2.3.9", 1},
        {"1.3.0.0", "1.2.9.9", 1},
        {"abc", "0.0.0.0", -1},
        {"abc", "abd", -1},
        {"", "", 0},
        {"1.2.3", "1.2.3", 0},
        {"1.2.3", "0.0.0.0", -1},
        {"1020304", "1.2.4.3", 0},
        {"-1.0.0.0", "0.0.0.0", -1},
        // Both invalid: the source texts decide, code unit by code unit.
        {"B", "a", -1}};
    for (const auto& [textA, textB, expected] : cases) {
        SCOPED_TRACE(std::string(textA) + " vs " + textB);
        const CVersionString a(QString::fromUtf8(textA));
        const CVersionString b(QString::fromUtf8(textB));
        EXPECT_EQ(a < b, expected < 0);
        EXPECT_EQ(a == b, expected == 0);
        EXPECT_EQ(a > b, expected > 0);
        // The mirror image must agree, or sorted containers break.
        EXPECT_EQ((b < a), expected > 0);
        EXPECT_EQ(b == a, expected == 0);
        EXPECT_EQ(b > a, expected < 0);
    }
}

TEST(VersionString, EightBitTextUsesTheLocaleEncoding) {
    // UTF-8 is the locale encoding of the test environment; an invalid text keeps it intact.
    const CVersionString v("\xc3\xa9t\xc3\xa9");
    EXPECT_FALSE(v.IsValid());
    EXPECT_EQ(v.ToString(), QString::fromUtf8("\xc3\xa9t\xc3\xa9"));
}

// Both bounds are inclusive, and bounds given the wrong way round are swapped.
TEST(VersionStringRange, ContainsBetweenBothBounds) {
    const std::tuple<const char*, const char*, const char*, bool> cases[] = {
        {"2.0.0.0", "1.0.0.0", "1.0.0.0", true},
        {"2.0.0.0", "1.0.0.0", "2.0.0.0", true},
        {"2.0.0.0", "1.0.0.0", "2.0.0.1", false},
        {"1.0.0.0", "2.0.0.0", "0.9.9.9", false},
        {"1.0.0.0", "2.0.0.0", "1.5.0.0", true},
        {"1.0.0.0", "2.0.0.0", "abc", false},
        // An invalid lower bound admits invalid versions that sort above it.
        {"", "2.0.0.0", "abc", true},
        {"", "2.0.0.0", "", true}};
    for (const auto& [from, to, version, inside] : cases) {
        SCOPED_TRACE(std::string("[") + from + ", " + to + "] holds " + version);
        const CVersionStringRange range{CVersionString(from), CVersionString(to)};
        EXPECT_EQ(range.Contains(CVersionString(version)), inside);
        EXPECT_FALSE(range.From() > range.To());
    }
}

} // namespace

#include "platform/Registry.h"
#include "platform/FileSettingsStore.h"

#include "support/Sandbox.h"

// Each function reads only what the stored bytes hold, whatever another program stored:
// RegReadString any type up to the first nul, the DWORD readers exactly four bytes,
// RegQueryString only text with its terminator that fits 1024 characters.
TEST(Registry, ReadsTakeOnlyWhatTheStoredBytesHold) {
    Sandbox sandbox;
    // The stored value; what RegReadString (default "d"), RegReadDword and RegQueryDword
    // (default 77) answer, with their errors; RegQueryString's answer, or "refused".
    const QString no = QStringLiteral("refused"), y(1023, u'y'), x(1024, u'x');
    // clang-format off
    const struct { const char* name; uint32_t type; QByteArray data; QString text; int32_t textError; uint32_t dword; int32_t dwordError; QString query; } cases[] = {
        {"Empty", REG_SZ, QByteArray(2, '\0'), "", 0, 77, ERROR_INVALID_DATA, ""},
        {"ZeroSize", REG_SZ, {}, "d", ERROR_FILE_NOT_FOUND, 77, ERROR_INVALID_DATA, no},
        {"Unterminated", REG_SZ, QByteArray("a\0b\0", 4), "ab", 0, 0x620061, 0, no},
        {"InnerNul", REG_SZ, QByteArray("a\0\0\0b\0\0\0", 8), "a", 0, 77, ERROR_MORE_DATA, "a"},
        {"TooShort", REG_DWORD, QByteArray("\x01\x02", 2), QStringLiteral("\u0201"), 0, 77, ERROR_INVALID_DATA, no},
        {"Longest", REG_SZ, Utf16LeWithNul(y), y, 0, 77, ERROR_MORE_DATA, y},
        {"Longer", REG_SZ, Utf16LeWithNul(x), x, 0, 77, ERROR_MORE_DATA, no},
    };
    // clang-format on
    const QString key = QStringLiteral("Software\\ORVEX Technologies\\Raw");
    const auto store = [&](CHive& hive) {
        for (const auto& c : cases)
            hive.SetValue("HKCU\\" + key, {c.name, c.type, c.data});
        return ERROR_SUCCESS;
    };
    ASSERT_EQ(CFileSettingsStore().EditHive(HKEY_CURRENT_USER, store), 0);
    for (const auto& c : cases) {
        int32_t error = -1;
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, key, c.name, "d", &error), c.text);
        EXPECT_EQ(error, c.textError);
        EXPECT_EQ(RegReadDword(HKEY_CURRENT_USER, key, c.name, 77, &error), c.dword);
        EXPECT_EQ(error, c.dwordError);
        EXPECT_EQ(RegQueryDword(HKEY_CURRENT_USER, key, c.name, 77), c.dword);
        QString out = no;
        EXPECT_EQ(RegQueryString(HKEY_CURRENT_USER, key, c.name, out), c.query != no);
        EXPECT_EQ(out, c.query);
    }
}

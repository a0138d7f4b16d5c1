#include "platform/Registry.h"
#include "platform/SettingsStore.h"

#include "support/Sandbox.h"

namespace {
const QString kKey = QStringLiteral("Software\\ORVEX Technologies\\Raw");

// Stores exactly these bytes with this type, as another program might have.
void SetRaw(const QString& name, uint32_t type, const QByteArray& data) {
    auto store = GetSettingsStore();
    HKEY key = 0;
    uint32_t disposition = 0;
    ASSERT_EQ(store->RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE, &key, &disposition),
              0);
    ASSERT_EQ(store->RegSetValueExW(key, name, type,
                                    reinterpret_cast<const uint8_t*>(data.constData()),
                                    static_cast<uint32_t>(data.size())),
              0);
    store->RegCloseKey(key);
}
} // namespace

TEST(Registry, ReadStringTakesTheTextWhateverTheType) {
    Sandbox sandbox;
    struct Case {
        const char* name;
        uint32_t type;
        QByteArray data;
        QString expected;
        int32_t error;
    };
    const Case cases[] = {
        {"Text", REG_SZ, Utf16Z(QStringLiteral("text")), QStringLiteral("text"), 0},
        {"EmptyText", REG_SZ, QByteArray(2, '\0'), QString(), 0},
        {"ZeroSize", REG_SZ, QByteArray(), QStringLiteral("default"), ERROR_FILE_NOT_FOUND},
        {"Unterminated", REG_BINARY, QByteArray("a\0b\0", 4), QStringLiteral("ab"), 0},
        {"OddSize", REG_SZ, QByteArray("a\0b", 3), QStringLiteral("ab"), 0},
        {"InnerNul", REG_MULTI_SZ, Utf16Z(QStringLiteral("one")) + Utf16Z(QStringLiteral("two")),
         QStringLiteral("one"), 0},
    };
    for (const Case& c : cases)
        SetRaw(QLatin1String(c.name), c.type, c.data);
    for (const Case& c : cases) {
        int32_t error = -1;
        EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kKey, QLatin1String(c.name),
                                QStringLiteral("default"), &error),
                  c.expected)
            << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
    int32_t error = -1;
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kKey, QStringLiteral("Absent"), QStringLiteral("d"),
                            &error),
              QStringLiteral("d"));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, QStringLiteral("No\\Such\\Key"), QStringLiteral("X"),
                            QStringLiteral("d"), &error),
              QStringLiteral("d"));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST(Registry, DwordReadsTakeExactlyFourBytes) {
    Sandbox sandbox;
    struct Case {
        const char* name;
        uint32_t type;
        QByteArray data;
        uint32_t expected;
        int32_t error;
    };
    const Case cases[] = {
        {"Dword", REG_DWORD, QByteArray("\x1e\x00\x00\x00", 4), 30, 0},
        {"Binary", REG_BINARY, QByteArray("\x01\x02\x03\x04", 4), 0x04030201, 0},
        {"OneCharText", REG_SZ, Utf16Z(QStringLiteral("a")), 0x61, 0},
        {"TooShort", REG_DWORD, QByteArray("\x01\x02", 2), 77, ERROR_INVALID_DATA},
        {"TooLong", REG_QWORD, QByteArray(8, '\x01'), 77, ERROR_MORE_DATA},
    };
    for (const Case& c : cases)
        SetRaw(QLatin1String(c.name), c.type, c.data);
    for (const Case& c : cases) {
        int32_t error = -1;
        EXPECT_EQ(RegReadDword(HKEY_CURRENT_USER, kKey, QLatin1String(c.name), 77, &error),
                  c.expected)
            << c.name;
        EXPECT_EQ(error, c.error) << c.name;
        EXPECT_EQ(RegQueryDword(HKEY_CURRENT_USER, kKey, QLatin1String(c.name), 77), c.expected)
            << c.name;
    }
    EXPECT_EQ(RegQueryDword(HKEY_LOCAL_MACHINE, QStringLiteral("SOFTWARE\\ORVEX Technologies\\ACC"),
                            QStringLiteral("InternetAccess"), 15),
              15u);
}

TEST(Registry, QueryStringAcceptsOnlyWellFormedText) {
    Sandbox sandbox;
    struct Case {
        const char* name;
        uint32_t type;
        QByteArray data;
        bool accepted;
        QString expected;
    };
    const Case cases[] = {
        {"Text", REG_SZ, Utf16Z(QStringLiteral("C:\\Common")), true, QStringLiteral("C:\\Common")},
        {"Expandable", REG_EXPAND_SZ, Utf16Z(QStringLiteral("%X%")), true, QStringLiteral("%X%")},
        {"Empty", REG_SZ, QByteArray(2, '\0'), true, QString()},
        {"InnerNul", REG_SZ, QByteArray("a\0\0\0b\0\0\0", 8), true, QStringLiteral("a")},
        {"Dword", REG_DWORD, QByteArray(4, '\0'), false, {}},
        {"OddSize", REG_SZ, QByteArray("a\0\0", 3), false, {}},
        {"Unterminated", REG_SZ, QByteArray("a\0b\0", 4), false, {}},
        {"ZeroSize", REG_SZ, QByteArray(), false, {}},
        {"TooLong", REG_SZ, Utf16Z(QString(1024, u'x')), false, {}},
        {"Longest", REG_SZ, Utf16Z(QString(1023, u'y')), true, QString(1023, u'y')},
    };
    for (const Case& c : cases)
        SetRaw(QLatin1String(c.name), c.type, c.data);
    for (const Case& c : cases) {
        QString out = QStringLiteral("unchanged");
        EXPECT_EQ(RegQueryString(HKEY_CURRENT_USER, kKey, QLatin1String(c.name), out), c.accepted)
            << c.name;
        EXPECT_EQ(out, c.accepted ? c.expected : QStringLiteral("unchanged")) << c.name;
    }
}

TEST(Registry, WritesStoreTheTypesAndSizesOfWindows) {
    Sandbox sandbox;
    ASSERT_EQ(RegWriteString(HKEY_CURRENT_USER, kKey, QStringLiteral("S"), QStringLiteral("abc")),
              0);
    ASSERT_EQ(RegWriteString(HKEY_CURRENT_USER, kKey, QStringLiteral("E"), QString()), 0);
    ASSERT_EQ(RegWriteDword(HKEY_CURRENT_USER, kKey, QStringLiteral("D"), 0xfffffff9u), 0);
    const CHive hive = sandbox.Hive(QStringLiteral("user.reg"));
    const QString key = QStringLiteral("HKCU\\") + kKey;
    struct Expected {
        const char* name;
        uint32_t type;
        QByteArray data;
    };
    for (const Expected& e : {Expected{"S", REG_SZ, Utf16Z(QStringLiteral("abc"))},
                              Expected{"E", REG_SZ, QByteArray(2, '\0')},
                              Expected{"D", REG_DWORD, QByteArray("\xf9\xff\xff\xff", 4)}}) {
        const CHive::Value* value = hive.FindValue(key, QLatin1String(e.name));
        ASSERT_NE(value, nullptr) << e.name;
        EXPECT_EQ(value->type, e.type) << e.name;
        EXPECT_EQ(value->data, e.data) << e.name;
    }
}

#include "platform/FileSettingsStore.h"

#include "support/Sandbox.h"

namespace {
const QString kFile = QStringLiteral("C:\\settings.ini");
const QString kLocal = QStringLiteral("drive_c/settings.ini");

QString ReadString(CFileSettingsStore& store, const QString& section, const QString& key,
                   const QString& defaultValue, uint32_t size, uint32_t* count = nullptr) {
    std::vector<char16_t> buffer(size + 1, u'#');
    const uint32_t copied =
        store.GetPrivateProfileStringW(section, key, defaultValue, buffer.data(), size, kFile);
    if (count != nullptr)
        *count = copied;
    EXPECT_EQ(buffer[copied], u'\0');
    return QString::fromUtf16(buffer.data(), copied);
}
} // namespace

TEST(IniFile, ReadsFollowWindows) {
    Sandbox sandbox;
    sandbox.Write(kLocal, "; comment\n"
                          "[Main]\n"
                          "  Spaced Key  =  spaced value  \n"
                          "Quoted=\"  inside  \"\n"
                          "Single='x'\n"
                          "Half=\"open\n"
                          "Number= -17 tail\n"
                          "Huge=99999999999\n"
                          "Word=abc\n"
                          "[main]\n"
                          "Shadowed=second section of the same name\n"
                          "[Other]\n"
                          "Key=other\n");
    CFileSettingsStore store;
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    };
    const Case strings[] = {
        {"MAIN", "spaced key", "spaced value"},
        {"Main", "Quoted", "  inside  "},
        {"Main", "Single", "x"},
        {"Main", "Half", "\"open"},
        {"Main", "Absent", "default"},
        {"Main", "Key", "default"},
        {"Other", "KEY", "other"},
        {"Missing", "Key", "default"},
        {"Main", "Shadowed", "default"},
    };
    for (const Case& c : strings) {
        EXPECT_EQ(ReadString(store, QLatin1String(c.section), QLatin1String(c.key),
                             QStringLiteral("default"), 255),
                  QString::fromUtf8(c.expected))
            << c.section << "/" << c.key;
    }
    uint32_t count = 0;
    EXPECT_EQ(
        ReadString(store, QStringLiteral("Main"), QStringLiteral("Spaced Key"), {}, 4, &count),
        QStringLiteral("spa"));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(ReadString(store, QStringLiteral("Main"), QStringLiteral("Absent"),
                         QStringLiteral("long default"), 5),
              QStringLiteral("long"));

    struct IntCase {
        const char* key;
        int32_t expected;
    };
    const IntCase numbers[] = {{"Number", -17}, {"Huge", INT32_MAX}, {"Word", 0}, {"Absent", 99}};
    for (const IntCase& c : numbers)
        EXPECT_EQ(
            store.GetPrivateProfileIntW(QStringLiteral("Main"), QLatin1String(c.key), 99, kFile),
            c.expected)
            << c.key;

    // No file at all: defaults.
    EXPECT_EQ(store.GetPrivateProfileIntW(QStringLiteral("Main"), QStringLiteral("Number"), 8,
                                          QStringLiteral("C:\\absent.ini")),
              8);
}

TEST(IniFile, WritesChangeOnlyTheirOwnLine) {
    Sandbox sandbox;
    sandbox.Write(kLocal, "; settings of the suite\r\n"
                          "[First]\r\n"
                          "Alpha=1\r\n"
                          "; keep me\r\n"
                          "Beta=2\r\n"
                          "\r\n"
                          "[Second]\r\n"
                          "Gamma=3\r\n");
    CFileSettingsStore store;
    const QString alpha = QStringLiteral("ALPHA");
    const QString ten = QStringLiteral("10");
    const QString delta = QStringLiteral("Delta");
    const QString four = QStringLiteral("4");
    const QString gamma = QStringLiteral("gamma");
    const QString epsilon = QStringLiteral("Epsilon");
    ASSERT_TRUE(store.WritePrivateProfileStringW(QStringLiteral("first"), &alpha, &ten, kFile));
    ASSERT_TRUE(store.WritePrivateProfileStringW(QStringLiteral("First"), &delta, &four, kFile));
    ASSERT_TRUE(store.WritePrivateProfileStringW(QStringLiteral("Second"), &gamma, nullptr, kFile));
    ASSERT_TRUE(store.WritePrivateProfileStringW(QStringLiteral("Third"), &epsilon, &four, kFile));
    EXPECT_EQ(sandbox.Read(kLocal), QByteArray("; settings of the suite\r\n"
                                               "[First]\r\n"
                                               "Alpha=10\r\n"
                                               "; keep me\r\n"
                                               "Beta=2\r\n"
                                               "Delta=4\r\n"
                                               "\r\n"
                                               "[Second]\r\n"
                                               "\r\n"
                                               "[Third]\r\n"
                                               "Epsilon=4\r\n"));
    ASSERT_TRUE(store.WritePrivateProfileStringW(QStringLiteral("FIRST"), nullptr, nullptr, kFile));
    EXPECT_EQ(sandbox.Read(kLocal), QByteArray("; settings of the suite\r\n"
                                               "[Second]\r\n"
                                               "\r\n"
                                               "[Third]\r\n"
                                               "Epsilon=4\r\n"));
}

TEST(IniFile, RefusesWhatWouldBreakTheFile) {
    Sandbox sandbox;
    const QByteArray original = "[S]\nA=1\n";
    sandbox.Write(kLocal, original);
    CFileSettingsStore store;
    const QString key = QStringLiteral("K");
    const QString lineBreak = QStringLiteral("two\nlines");
    const QString equals = QStringLiteral("a=b");
    const QString value = QStringLiteral("v");
    EXPECT_FALSE(store.WritePrivateProfileStringW(QStringLiteral("S"), &key, &lineBreak, kFile));
    EXPECT_FALSE(store.WritePrivateProfileStringW(QStringLiteral("S"), &equals, &value, kFile));
    EXPECT_FALSE(store.WritePrivateProfileStringW(QStringLiteral("S]x"), &key, &value, kFile));
    EXPECT_EQ(sandbox.Read(kLocal), original);
}

TEST(IniFile, KeepsTheEncodingOfTheFile) {
    Sandbox sandbox;
    CFileSettingsStore store;
    const QString key = QStringLiteral("Name");
    const QString value = QStringLiteral("Zürich");
    struct Case {
        const char* label;
        QByteArray before;
        QByteArray after;
    };
    QByteArray utf16Before("\xff\xfe", 2);
    QByteArray utf16After("\xff\xfe", 2);
    for (QChar c : QStringLiteral("[S]\r\n"))
        utf16Before += QByteArray(reinterpret_cast<const char*>(&c), 2);
    for (QChar c : QStringLiteral("[S]\r\nName=Zürich\r\n"))
        utf16After += QByteArray(reinterpret_cast<const char*>(&c), 2);
    const Case cases[] = {
        {"utf-8", "[S]\n", "[S]\nName=Z\xc3\xbcrich\n"},
        {"utf-16", utf16Before, utf16After},
        {"8-bit", "; caf\xe9\n[S]\n", "; caf\xe9\n[S]\nName=Z\xfcrich\n"},
    };
    for (const Case& c : cases) {
        sandbox.Write(kLocal, c.before);
        ASSERT_TRUE(store.WritePrivateProfileStringW(QStringLiteral("S"), &key, &value, kFile))
            << c.label;
        EXPECT_EQ(sandbox.Read(kLocal), c.after) << c.label;
        EXPECT_EQ(ReadString(store, QStringLiteral("S"), key, {}, 255), value) << c.label;
    }
}

#include "platform/Settings.h"
#include "platform/Registry.h"

#include "support/Sandbox.h"

namespace {
const QString kMaker = QStringLiteral("Software\\ORVEX Technologies");
const QString kIniWindowsPath = QStringLiteral("C:\\Tavlo\\settings.ini");
const QString kIniLocal = QStringLiteral("drive_c/Tavlo/settings.ini");

void ConfigureIni() {
    ASSERT_EQ(RegWriteString(HKEY_CURRENT_USER, kMaker, QStringLiteral("Tavlo_INI_Settings_File"),
                             kIniWindowsPath),
              0);
}
} // namespace

TEST(Settings, KeyPathsReachTheRegistryNormalised) {
    struct Case {
        QString keyPath;
        QString markerOrKey;
        QString expectedKey;
    };
    const Case cases[] = {
        {QStringLiteral("/Software/ORVEX Technologies/Product Update/"), kRegistryMarker,
         QStringLiteral("HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Product Update")},
        {QStringLiteral("Software/ORVEX Technologies"), QStringLiteral("Gallery"),
         QStringLiteral("HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Gallery")},
        {QStringLiteral("\\\\Software\\Mixed/Separators\\\\"), kRegistryMarker,
         QStringLiteral("HKEY_CURRENT_USER\\Software\\Mixed\\Separators")},
        // The marker compares with case: a differently written one is a key name.
        {QStringLiteral("Software/A"), QStringLiteral("COM.ORVEXSYS.REGISTRY"),
         QStringLiteral("HKEY_CURRENT_USER\\Software\\A\\COM.ORVEXSYS.REGISTRY")},
    };
    for (const Case& c : cases) {
        Sandbox sandbox;
        ASSERT_EQ(WriteSettingInt(CurrentUser, c.keyPath, QStringLiteral("V"), 5, c.markerOrKey),
                  0);
        const CHive hive = sandbox.Hive(QStringLiteral("user.reg"));
        ASSERT_EQ(hive.Keys().size(), 1u) << c.keyPath.toStdString();
        EXPECT_EQ(hive.Keys()[0].name, c.expectedKey) << c.keyPath.toStdString();
        int32_t error = -1;
        EXPECT_EQ(
            ReadSettingInt(CurrentUser, c.keyPath, QStringLiteral("v"), 0, &error, c.markerOrKey),
            5);
        EXPECT_EQ(error, 0);
    }
}

TEST(Settings, ScopesPickTheirRootAndUnknownScopesTouchNothing) {
    struct Case {
        int32_t scope;
        const char* hiveFile;
        const char* root;
    };
    const Case cases[] = {
        {LocalMachine, "machine.reg", "HKEY_LOCAL_MACHINE"},
        {CurrentUser, "user.reg", "HKEY_CURRENT_USER"},
        {ClassesRoot, "machine.reg", "HKEY_CLASSES_ROOT"},
        {3, nullptr, nullptr},
        {-1, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        Sandbox sandbox;
        const int32_t wroteInt = WriteSettingInt(c.scope, QStringLiteral("Software/X"),
                                                 QStringLiteral("I"), -42, kRegistryMarker);
        const int32_t wroteText =
            WriteSettingString(c.scope, QStringLiteral("Software/X"), QStringLiteral("S"),
                               QStringLiteral("text"), kRegistryMarker);
        int32_t intError = -1;
        int32_t textError = -1;
        const int32_t number = ReadSettingInt(c.scope, QStringLiteral("Software/X"),
                                              QStringLiteral("I"), 9, &intError, kRegistryMarker);
        const QString text =
            ReadSettingString(c.scope, QStringLiteral("Software/X"), QStringLiteral("S"),
                              QStringLiteral("dflt"), &textError, kRegistryMarker);
        if (c.hiveFile == nullptr) {
            EXPECT_EQ(wroteInt, ERROR_FILE_NOT_FOUND) << c.scope;
            EXPECT_EQ(wroteText, ERROR_FILE_NOT_FOUND) << c.scope;
            EXPECT_EQ(number, 9);
            EXPECT_EQ(text, QStringLiteral("dflt"));
            EXPECT_EQ(intError, ERROR_FILE_NOT_FOUND);
            EXPECT_EQ(textError, ERROR_FILE_NOT_FOUND);
            EXPECT_TRUE(QDir(sandbox.Root()).entryList({QStringLiteral("*.reg")}).isEmpty());
            continue;
        }
        EXPECT_EQ(wroteInt, 0);
        EXPECT_EQ(wroteText, 0);
        EXPECT_EQ(number, -42);
        EXPECT_EQ(text, QStringLiteral("text"));
        EXPECT_EQ(intError, 0);
        EXPECT_EQ(textError, 0);
        const CHive hive = sandbox.Hive(QLatin1String(c.hiveFile));
        EXPECT_NE(hive.FindValue(QLatin1String(c.root) + QStringLiteral("\\Software\\X"),
                                 QStringLiteral("I")),
                  nullptr)
            << c.root;
    }
}

TEST(Settings, OnlyTheMakersTopKeyOfMachineAndUserGoesToTheIniFile) {
    struct Case {
        int32_t scope;
        QString keyPath;
        QString markerOrKey;
        QString section; // empty: the registry
    };
    const Case cases[] = {
        {CurrentUser, QStringLiteral("software/orvex technologies"), kRegistryMarker,
         QStringLiteral("HKEY_CU\\software\\orvex technologies")},
        {LocalMachine, QStringLiteral("/Software/ORVEX Technologies/"), kRegistryMarker,
         QStringLiteral("HKEY_LM\\Software\\ORVEX Technologies")},
        {CurrentUser, QStringLiteral("Software"), QStringLiteral("ORVEX Technologies"),
         QStringLiteral("HKEY_CU\\Software\\ORVEX Technologies")},
        {CurrentUser,
         QStringLiteral("software/orvex technologies/Product Update"),
         kRegistryMarker,
         {}},
        {CurrentUser, QStringLiteral("Software/ORVEX Technologies"), QStringLiteral("Gallery"), {}},
        {CurrentUser, QStringLiteral("Software/ORVEX TechnologiesX"), kRegistryMarker, {}},
        {ClassesRoot, QStringLiteral("Software/ORVEX Technologies"), kRegistryMarker, {}},
    };
    for (const Case& c : cases) {
        Sandbox sandbox;
        ConfigureIni();
        ASSERT_EQ(WriteSettingInt(c.scope, c.keyPath, QStringLiteral("Count"), -7, c.markerOrKey),
                  0);
        ASSERT_EQ(WriteSettingString(c.scope, c.keyPath, QStringLiteral("Name"),
                                     QStringLiteral("n"), c.markerOrKey),
                  0);
        const QByteArray ini = sandbox.Read(kIniLocal);
        const std::string label = c.keyPath.toStdString() + " / " + c.markerOrKey.toStdString();
        if (c.section.isEmpty()) {
            EXPECT_TRUE(ini.isEmpty()) << label;
        } else {
            EXPECT_EQ(ini, (u'[' + c.section + QStringLiteral("]\nCount=-7\nName=n\n")).toUtf8())
                << label;
        }
        int32_t error = -1;
        EXPECT_EQ(
            ReadSettingInt(c.scope, c.keyPath, QStringLiteral("count"), 5, &error, c.markerOrKey),
            -7)
            << label;
        EXPECT_EQ(error, 0) << label;
        EXPECT_EQ(ReadSettingString(c.scope, c.keyPath, QStringLiteral("NAME"), {}, &error,
                                    c.markerOrKey),
                  QStringLiteral("n"))
            << label;
        EXPECT_EQ(error, 0) << label;
    }
}

TEST(Settings, IniReadsAnswerAsWindowsDoes) {
    Sandbox sandbox;
    ConfigureIni();
    sandbox.Write(kIniLocal, "[HKEY_CU\\Software\\ORVEX Technologies]\n"
                             "Long=" +
                                 QByteArray(300, 'z') +
                                 "\n"
                                 "Empty=\n");
    int32_t error = -1;
    const QString longText =
        ReadSettingString(CurrentUser, kMaker, QStringLiteral("Long"), {}, &error, kRegistryMarker);
    EXPECT_EQ(longText, QString(254, u'z'));
    EXPECT_EQ(error, 0);
    // An absent key gives the default; an empty text, whatever its origin, counts as failure.
    EXPECT_EQ(ReadSettingString(CurrentUser, kMaker, QStringLiteral("Absent"), QStringLiteral("d"),
                                &error, kRegistryMarker),
              QStringLiteral("d"));
    EXPECT_EQ(error, 0);
    EXPECT_EQ(ReadSettingString(CurrentUser, kMaker, QStringLiteral("Empty"), QStringLiteral("d"),
                                &error, kRegistryMarker),
              QString());
    EXPECT_EQ(error, ERROR_BADKEY);
    EXPECT_EQ(ReadSettingString(CurrentUser, kMaker, QStringLiteral("Absent"), {}, &error,
                                kRegistryMarker),
              QString());
    EXPECT_EQ(error, ERROR_BADKEY);
    EXPECT_EQ(
        ReadSettingInt(CurrentUser, kMaker, QStringLiteral("Absent"), 5, &error, kRegistryMarker),
        5);
    EXPECT_EQ(error, 0);
}

TEST(Settings, IniWriteFailureReportsBadKey) {
    Sandbox sandbox;
    ConfigureIni();
    // The INI file's place is taken by a folder, so it cannot be written.
    QDir().mkpath(sandbox.Path(kIniLocal));
    EXPECT_EQ(WriteSettingInt(CurrentUser, kMaker, QStringLiteral("X"), 1, kRegistryMarker),
              ERROR_BADKEY);
    EXPECT_EQ(WriteSettingString(CurrentUser, kMaker, QStringLiteral("X"), QStringLiteral("y"),
                                 kRegistryMarker),
              ERROR_BADKEY);
}

TEST(Settings, InstalledTavloDriversEndTheRedirectForGood) {
    Sandbox sandbox;
    ConfigureIni();
    ASSERT_EQ(
        RegWriteString(
            HKEY_LOCAL_MACHINE,
            QStringLiteral("Software\\ORVEX Technologies\\Tavlo Drivers\\Install Information"),
            QStringLiteral("Drivers Directory"), QStringLiteral("C:\\Drivers")),
        0);
    ASSERT_EQ(WriteSettingInt(CurrentUser, kMaker, QStringLiteral("Count"), 3, kRegistryMarker), 0);
    EXPECT_TRUE(sandbox.Read(kIniLocal).isEmpty());
    EXPECT_EQ(GetIniSettingsFile(), QString());
    int32_t error = -1;
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kMaker, QStringLiteral("Tavlo_INI_Settings_File"),
                            QStringLiteral("untouched"), &error),
              QString());
    EXPECT_EQ(error, 0);
    EXPECT_EQ(RegReadDword(HKEY_CURRENT_USER, kMaker, QStringLiteral("Count"), 0), 3u);
}

TEST(Settings, TheIniFileIsLookedUpOncePerRun) {
    Sandbox sandbox;
    EXPECT_EQ(WriteSettingInt(CurrentUser, kMaker, QStringLiteral("Before"), 1, kRegistryMarker),
              0);
    ConfigureIni();
    EXPECT_EQ(WriteSettingInt(CurrentUser, kMaker, QStringLiteral("After"), 2, kRegistryMarker), 0);
    EXPECT_TRUE(sandbox.Read(kIniLocal).isEmpty());
    EXPECT_EQ(RegReadDword(HKEY_CURRENT_USER, kMaker, QStringLiteral("After"), 0), 2u);
    // The next run sees the new setting.
    ResetIniSettingsFile();
    EXPECT_EQ(GetIniSettingsFile(), kIniWindowsPath);
}

#include "platform/Settings.h"
#include "platform/Registry.h"

#include "support/Sandbox.h"

const QString kMaker = QStringLiteral("Software\\ORVEX Technologies");
const QString kIniLocal = QStringLiteral("drive_c/Tavlo/settings.ini");
const QString kMarker = kRegistryMarker;

static void ConfigureIni() {
    ASSERT_EQ(RegWriteString(HKEY_CURRENT_USER, kMaker, QStringLiteral("Tavlo_INI_Settings_File"),
                             QStringLiteral("C:\\Tavlo\\settings.ini")),
              0);
}

// Where each write lands, with the INI redirect set up: path normalisation, the marker
// (compared with case) and the root of each scope; only values right under the maker's key
// (compared without case) of the machine or the user go to the INI file, in a section that
// keeps the case it was given; a scope that names no root writes nothing and reads an empty
// text or the default integer, leaving the error output as the caller set it.
TEST(Settings, EachWriteLandsWhereItBelongs) {
    // "where" is the "[section]" of the INI file, a registry key, or empty for nowhere.
    // clang-format off
    const struct { int32_t scope; QString keyPath, markerOrKey, where; } cases[] = {
        {CurrentUser, "/Software/ORVEX Technologies/Product Update/", kMarker, "HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Product Update"},
        {CurrentUser, "Software/ORVEX Technologies", "Gallery", "HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Gallery"},
        {CurrentUser, "Software/A", "COM.ORVEXSYS.REGISTRY", "HKEY_CURRENT_USER\\Software\\A\\COM.ORVEXSYS.REGISTRY"},
        {CurrentUser, "Software/ORVEX TechnologiesX", kMarker, "HKEY_CURRENT_USER\\Software\\ORVEX TechnologiesX"},
        {LocalMachine, "Software/X", kMarker, "HKEY_LOCAL_MACHINE\\Software\\X"},
        {CurrentUser, "software/orvex technologies", kMarker, "[HKEY_CU\\software\\orvex technologies]"},
        {LocalMachine, "/Software/ORVEX Technologies/", kMarker, "[HKEY_LM\\Software\\ORVEX Technologies]"},
        {CurrentUser, "Software", "ORVEX Technologies", "[HKEY_CU\\Software\\ORVEX Technologies]"},
        {3, "Software/ORVEX Technologies", kMarker, {}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keyPath.toStdString() + " / " + c.markerOrKey.toStdString());
        Sandbox sandbox;
        ConfigureIni();
        const bool nowhere = c.where.isEmpty(), ini = c.where.startsWith(u'[');
        const int32_t code = nowhere ? ERROR_FILE_NOT_FOUND : 0;
        EXPECT_EQ(WriteSettingInt(c.scope, c.keyPath, "Count", -7, c.markerOrKey), code);
        EXPECT_EQ(WriteSettingString(c.scope, c.keyPath, "Name", "n", c.markerOrKey), code);
        int32_t intError = -1, textError = -1;
        EXPECT_EQ(ReadSettingInt(c.scope, c.keyPath, "count", 9, &intError, c.markerOrKey),
                  nowhere ? 9 : -7);
        EXPECT_EQ(ReadSettingString(c.scope, c.keyPath, "NAME", "d", &textError, c.markerOrKey),
                  nowhere ? "" : "n");
        EXPECT_TRUE(intError == textError && intError == (nowhere ? -1 : 0)) << intError;
        const QByteArray values = "\"Count\"=dword:fffffff9\n\"Name\"=\"n\"\n";
        EXPECT_EQ((sandbox.Read("user.reg") + sandbox.Read("machine.reg")).count(values),
                  nowhere || ini ? 0 : 1);
        EXPECT_EQ(sandbox.Read(kIniLocal),
                  ini ? (c.where + "\nCount=-7\nName=n\n").toUtf8() : QByteArray());
        if (nowhere || ini)
            continue;
        const bool user = c.where.startsWith("HKEY_CURRENT_USER");
        const QString file = user ? "user.reg" : "machine.reg";
        EXPECT_TRUE(sandbox.Read(file).contains('[' + c.where.toUtf8() + "]\n" + values));
        // The user's settings are nobody else's business.
        EXPECT_EQ(sandbox.Mode(file) & 0777, user ? 0600u : 0644u);
        // An absent value, or key, gives the default and error 2.
        for (const QString& keyPath : QStringList{c.keyPath, c.keyPath + "/Absent"}) {
            int32_t absentInt = -1, absentText = -1;
            EXPECT_EQ(ReadSettingInt(c.scope, keyPath, "Absent", 9, &absentInt, c.markerOrKey), 9);
            EXPECT_EQ(
                ReadSettingString(c.scope, keyPath, "Absent", "d", &absentText, c.markerOrKey),
                "d");
            EXPECT_EQ(QList<int32_t>({absentInt, absentText}),
                      QList<int32_t>({ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND}));
        }
    }
}

// Through the INI file a text is read into 255 characters, so at most 254 come back, and a
// read that yields no characters is a failed INI access. Installed Tavlo drivers keep their
// settings in the registry: the first settings call ends the redirect, in this run and, as it
// clears the INI file's name, in later ones.
TEST(Settings, IniTextIsCappedAnEmptyOneFailsAndTavloDriversEndTheRedirect) {
    Sandbox sandbox;
    ConfigureIni();
    sandbox.Write(kIniLocal, "[HKEY_CU\\Software\\ORVEX Technologies]\nLong=" +
                                 QByteArray(300, 'x') + "\nEmpty=\n");
    // Value name, text read (default "d") and error.
    const std::tuple<const char*, QString, int32_t> rows[] = {
        {"Long", QString(254, u'x'), 0}, {"Empty", "", ERROR_BADKEY}, {"Absent", "d", 0}};
    for (const auto& [name, text, code] : rows) {
        int32_t error = -1;
        EXPECT_EQ(ReadSettingString(CurrentUser, kMaker, name, "d", &error, kMarker), text) << name;
        EXPECT_EQ(error, code) << name;
    }

    ResetIniSettingsFile(); // the next run, on a machine that now has the drivers
    ASSERT_EQ(RegWriteString(HKEY_LOCAL_MACHINE, kMaker + "\\Tavlo Drivers\\Install Information",
                             "Drivers Directory", "C:\\Drivers"),
              0);
    EXPECT_EQ(WriteSettingInt(CurrentUser, kMaker, "Count", 3, kMarker), 0);
    EXPECT_EQ(RegReadDword(HKEY_CURRENT_USER, kMaker, "Count", 0), 3u);
    EXPECT_FALSE(sandbox.Read(kIniLocal).contains("Count"));
    int32_t error = -1;
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kMaker, "Tavlo_INI_Settings_File", "d", &error),
              QString());
    EXPECT_EQ(error, 0);
}

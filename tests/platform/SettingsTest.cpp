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
    }
}

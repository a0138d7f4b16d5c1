// Reads through the settings functions, as the catalogue makes them at start-up: one
// ReadSettingString per product, each for a value of a different key of the user hive.
//   orvex_settings_bench VALUES   the hive holds VALUES keys with one value each; every one
//                                 of them is read once. ORVEX_ROOT must name an empty folder.

#include "platform/Hive.h"
#include "platform/Locations.h"
#include "platform/RegistryTypes.h"
#include "platform/Settings.h"
#include "platform/Utf16.h"

#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const QString base = QStringLiteral("Software\\ORVEX Technologies\\Bench\\Product%1");
    CHive hive;
    for (int i = 0; i < count; ++i) {
        hive.SetValue(QStringLiteral("HKEY_CURRENT_USER\\") + base.arg(i),
                      {QStringLiteral("Version"), REG_SZ, Utf16LeWithNul(QString::number(i))});
    }
    const QByteArray bytes = hive.Serialize();
    QFile file(UserHivePath());
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        return 1;
    }
    file.close();

    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i) {
        int32_t error = -1;
        const CAtlString value =
            ReadSettingString(CurrentUser, base.arg(i), "Version", {}, &error, kRegistryMarker);
        if (error != 0 || value != QString::number(i)) {
            std::fprintf(stderr, "read %d failed (error %d)\n", i, error);
            return 1;
        }
    }
    const double ms = clock.nsecsElapsed() / 1e6;
    std::printf("settings functions, %d value reads (hive of %d keys, %lld KB): %.1f ms, %.3f ms "
                "per read\n",
                count, count, static_cast<long long>(bytes.size() / 1024), ms, ms / count);
    return 0;
}

// Figure for the settings functions, printed on one line: 1,000 ReadSettingInt calls, one
// after another as the catalogue makes them, from a user hive of 200 keys with 5 values each.

#include "platform/Hive.h"
#include "platform/RegistryTypes.h"
#include "platform/Settings.h"
#include "platform/Utf16.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

int main() {
    constexpr int kKeys = 200, kValues = 5, kReads = 1000;
    QTemporaryDir root;
    if (!root.isValid())
        return 1;
    qputenv("ORVEX_ROOT", QFile::encodeName(root.path()));

    const QString base = QStringLiteral("Software\\ORVEX Technologies\\Products\\P%1");
    CHive hive;
    for (int key = 0; key < kKeys; ++key) {
        const QString name = QStringLiteral("HKEY_CURRENT_USER\\") + base.arg(key);
        for (int value = 0; value < kValues; ++value) {
            const int number = key * kValues + value;
            QByteArray data(4, '\0');
            data[0] = static_cast<char>(number & 0xff);
            data[1] = static_cast<char>(number >> 8);
            hive.SetValue(name, {QStringLiteral("V%1").arg(value), REG_DWORD, data});
        }
        hive.SetValue(name,
                      {QStringLiteral("Path"), REG_SZ,
                       Utf16LeWithNul(QStringLiteral("C:\\Program Files\\ORVEX\\P%1").arg(key))});
    }
    QFile file(root.filePath(QStringLiteral("user.reg")));
    const QByteArray bytes = hive.Serialize();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return 1;
    file.close();

    QElapsedTimer clock;
    clock.start();
    int wrong = 0;
    for (int i = 0; i < kReads; ++i) {
        const int key = (i * 7) % kKeys, value = i % kValues;
        wrong += ReadSettingInt(CurrentUser, base.arg(key), QStringLiteral("V%1").arg(value), -1,
                                nullptr, kRegistryMarker) != key * kValues + value;
    }
    const double ms = clock.nsecsElapsed() / 1e6;
    if (wrong != 0) {
        std::fprintf(stderr, "%d reads gave a wrong value\n", wrong);
        return 1;
    }
    std::printf("settings reads: %d ReadSettingInt from a hive of %d keys (%lld KB): %.1f ms, "
                "%.1f us per read\n",
                kReads, kKeys, static_cast<long long>(bytes.size() / 1024), ms, ms * 1000 / kReads);
    return 0;
}

// Helper process of the store tests: writes to the hive of $ORVEX_ROOT through the same
// functions the program uses.
//   hive_writer values PREFIX COUNT   writes PREFIX0..PREFIX(COUNT-1) = index, then exits
//   hive_writer churn                 rewrites a large hive in a loop until killed
#include "platform/Registry.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "values") == 0) {
        const QString prefix = QString::fromLocal8Bit(argv[2]);
        const int count = std::atoi(argv[3]);
        for (int i = 0; i < count; ++i) {
            const int32_t error =
                RegWriteDword(HKEY_CURRENT_USER, QStringLiteral("Software\\Race"),
                              prefix + QString::number(i), static_cast<uint32_t>(i));
            if (error != 0) {
                std::fprintf(stderr, "write %d failed with %d\n", i, error);
                return 1;
            }
        }
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "churn") == 0) {
        // A long text makes every rewrite take a while, so kills land inside writes.
        const QString filler(200000, u'x');
        for (uint32_t i = 0;; ++i) {
            RegWriteString(HKEY_CURRENT_USER, QStringLiteral("Software\\Churn"),
                           QStringLiteral("Filler"), filler + QString::number(i));
            RegWriteDword(HKEY_CURRENT_USER, QStringLiteral("Software\\Churn"),
                          QStringLiteral("Counter"), i);
        }
    }
    std::fputs("usage: hive_writer values PREFIX COUNT | churn\n", stderr);
    return 2;
}

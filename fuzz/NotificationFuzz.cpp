// The local notification file and the published notice (from the network): any bytes must
// read without harm, only a complete notice may ever be current, and its name is one of its
// texts. The first line is the local file, the rest the notice.
#include "FuzzCheck.h"
#include "catalogue/Notification.h"
#include "qtglue/Language.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype split = bytes.indexOf('\n');
    const QByteArray local = split < 0 ? bytes : bytes.left(split);
    const QByteArray published = split < 0 ? QByteArray() : bytes.mid(split + 1);
    // A fixed language: the installed one would be read from this machine's settings.
    SetLocaleOverride(QStringLiteral("fr"));

    Notification notice;
    const bool local1 = notice.ParseLocal(local);
    Check(notice.ParseLocal(local) == local1);
    Check(!local1 || local.contains("Notification"));

    const bool valid = notice.ParseNotice(published);
    Check(valid == notice.HasUpdateInfo(0));
    if (valid)
        Check(!notice.Texts().isEmpty() && !notice.WebPage().isEmpty());
    else
        Check(!notice.IsCurrentOn(QDate::currentDate()) && !notice.IsCurrentOn(QDate(2024, 1, 2)));
    // Days that are not days are never within a notice's span.
    Check(!notice.IsCurrentOn(QDate()));
    const QString name = notice.GetName();
    Check(name.isEmpty() || notice.Texts().values().contains(name));
    Check(notice.Texts().contains(QStringLiteral("fr")) || notice.Texts().contains("en") ||
          name.isEmpty());

    // Reading the same notice again gives the same notice.
    Notification again;
    Check(again.ParseNotice(published) == valid && again.Texts() == notice.Texts() &&
          again.WebPage() == notice.WebPage());
    return 0;
}

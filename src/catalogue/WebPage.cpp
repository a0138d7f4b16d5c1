#include "catalogue/WebPage.h"

#include "platform/Shell.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QUrl>

bool IsWebAddress(const CAtlString& url) {
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    return parsed.isValid() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !parsed.host().isEmpty();
}

bool OpenWebPage(const CAtlString& url) {
    bool opened = false;
    if (IsWebAddress(url)) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        opened = GetShell()->Open(url);
        QApplication::restoreOverrideCursor();
    }
    if (!opened) {
        QMessageBox box(QMessageBox::Warning,
                        QCoreApplication::translate("CProductVersions", "ORVEX Product Update"),
                        QCoreApplication::translate("CProductVersions",
                                                    "Could not open a Web browser. Please open a "
                                                    "Web browser manually and go to: \n") +
                            url,
                        QMessageBox::Ok);
        box.exec();
    }
    return opened;
}

CAtlString JoinUrl(CAtlString base, const CAtlString& file) {
    while (base.endsWith(u'/'))
        base.chop(1);
    while (base.endsWith(u'\\'))
        base.chop(1);
    return base + u'/' + file;
}

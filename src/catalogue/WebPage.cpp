#include "catalogue/WebPage.h"

#include "platform/Shell.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QUrl>

CAtlString BrowserAddress(const CAtlString& url) {
    // Pages are typed by people into lists and notices, as they would into a browser: strict
    // parsing would refuse a space or a "|" that every browser accepts.
    const QUrl parsed(url.trimmed(), QUrl::TolerantMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        parsed.host().isEmpty())
        return {};
    // Fully encoded, the address holds nothing that the desktop's opener or the browser could
    // read another way than the parse above did.
    return QString::fromLatin1(parsed.toEncoded());
}

bool OpenWebPage(const CAtlString& url) {
    bool opened = false;
    const CAtlString address = BrowserAddress(url);
    if (!address.isEmpty()) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        opened = GetShell()->Open(address);
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
        // The address comes from a list or a server and the text from a translation: neither
        // may lay out the box with markup.
        box.setTextFormat(Qt::PlainText);
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

#include "app/Startup.h"

#include "app/ApplicationFactory.h"
#include "app/SingleInstance.h"
#include "qtglue/Language.h"

#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QStyle>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <memory>

namespace {
// Sets the window icon when the first window is about to appear. Reading the icon loads Qt's
// image plugins, which a run that shows nothing (the silent run that is not due, at every
// login) has no use for. A window's show event comes before it is mapped, so no window is
// ever seen without the icon.
class WindowIconOnFirstShow : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->isWindow()) {
            QCoreApplication::instance()->removeEventFilter(this);
            QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/update.png")));
        }
        return false;
    }
};
} // namespace

bool IsDisplayAvailable() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

int ProductUpdateMain(int argc, char** argv) {
    CApplicationFactory factory;
    factory.ParseCommandLine(argc, argv);

    const bool gui = factory.IsGuiEnabled();
    // Qt aborts with a core dump when it cannot open a display, so say what is missing
    // instead and leave before anything is run or written.
    if (gui && !IsDisplayAvailable()) {
        std::fputs("ORVEX Product Update needs a graphical display (DISPLAY or WAYLAND_DISPLAY "
                   "is not set).\n",
                   stderr);
        return 0;
    }

    // After a parameter error no GUI is needed: the error line must also reach a console
    // without a display.
    std::unique_ptr<QCoreApplication> app;
    if (gui)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);

    SetLocaleOverride(factory.GetLocale());
    SetupLanguage(QStringLiteral("ORVEXProductUpdate"));

    {
        // The executable's path names the lock, so a copy installed elsewhere runs freely; the
        // lock is the user's own, so another user's copy never stops this one.
        const CAtlString name =
            QStringLiteral("Global\\") +
            QString::fromLocal8Bit(QCoreApplication::applicationFilePath().toLocal8Bit());
        CSingleInstance instance(name, u'q');
        if (!instance.IsFirstInstance()) {
            std::fputs("ORVEX Product Update is already running.\n", stderr);
        } else {
            if (gui) {
                // The classic look is not available on Linux; Fusion is the portable one.
                if (!QApplication::setStyle(QStringLiteral("winxp")))
                    QApplication::setStyle(QStringLiteral("Fusion"));
                QApplication::setQuitOnLastWindowClosed(false);
                app->installEventFilter(new WindowIconOnFirstShow(app.get()));
            }
            factory.RunSelectedAction();
            QTimer::singleShot(0, app.get(), &QCoreApplication::quit);
            app->exec();
        }
    }
    app.reset();
    return 0;
}

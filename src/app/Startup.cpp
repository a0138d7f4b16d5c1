#include "app/Startup.h"

#include "app/ApplicationFactory.h"
#include "app/SingleInstance.h"
#include "qtglue/Language.h"

#include <QApplication>
#include <QIcon>
#include <QStyle>
#include <QTimer>

#include <cstdio>
#include <memory>

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
        // The executable's path names the lock, so a copy installed elsewhere runs freely.
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
                QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/update.png")));
            }
            factory.RunSelectedAction();
            QTimer::singleShot(0, app.get(), &QCoreApplication::quit);
            app->exec();
        }
    }
    app.reset();
    return 0;
}

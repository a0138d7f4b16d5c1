#include "TestServers.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

// Every network test runs with an application object (downloads wait in its event loop and
// dialogs need it), without any proxy setting inherited from the machine, and with a private
// temporary folder so that the files a download leaves behind can be counted.
void UseInstrumentableEventLoop();

int main(int argc, char** argv) {
    UseInstrumentableEventLoop();
    ::testing::InitGoogleTest(&argc, argv);
    ClearProxyEnvironment();
    QTemporaryDir temp;
    if (!temp.isValid())
        return 1;
    ::setenv("TMPDIR", QFile::encodeName(temp.path()).constData(), 1);
    // Test discovery runs the binary without the test environment; dialogs never need a screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

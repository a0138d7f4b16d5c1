#include <QCoreApplication>

#include <gtest/gtest.h>

// The helpers wait in the event loop of the application object.
void UseInstrumentableEventLoop();

int main(int argc, char** argv) {
    UseInstrumentableEventLoop();
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

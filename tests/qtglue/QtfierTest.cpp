#include "qtglue/Qtfier.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

namespace {
TEST(Qtfier, RunsItsFunctionWhenSignalled) {
    int calls = 0;
    Qtfier adapter([&calls] { ++calls; });
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &adapter, &Qtfier::Slot);
    timer.start(0);
    for (int i = 0; i < 100 && calls == 0; ++i)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    EXPECT_EQ(calls, 1);
    EXPECT_STREQ(adapter.metaObject()->className(), "Qtfier");

    Qtfier empty{std::function<void()>()};
    empty.Slot(); // must not throw bad_function_call
}
} // namespace

#include "qtglue/WaitWithQtEvents.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {
TEST(WaitWithQtEvents, ConditionAlreadyMetReturnsWithoutProcessingEvents) {
    bool delivered = false;
    QTimer::singleShot(0, qApp, [&delivered] { delivered = true; });
    WaitWithQtEvents(std::function<bool()>()).Wait();
    std::atomic<bool> flag{true};
    WaitWithQtEvents(&flag, true).Wait();
    EXPECT_FALSE(delivered);
    QCoreApplication::processEvents();
    EXPECT_TRUE(delivered);
}

TEST(WaitWithQtEvents, KeepsEventsFlowingUntilFlagReachesTarget) {
    for (const bool target : {true, false}) {
        std::atomic<bool> flag{!target};
        int ticks = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            // The wait's own thread changes the flag from a timer: only processed events
            // can end this wait.
            if (++ticks == 3)
                flag.store(target, std::memory_order_release);
        });
        timer.start(1);
        WaitWithQtEvents(&flag, target).Wait();
        EXPECT_EQ(ticks, 3) << target;
    }
}

TEST(WaitWithQtEvents, SeesDataPublishedWithFlagFromAnotherThread) {
    std::atomic<bool> flag{false};
    int payload = 0;
    std::thread writer([&] {
        payload = 42;
        flag.store(true, std::memory_order_release);
        WaitWithQtEvents::WakeUp(qApp->thread());
    });
    WaitWithQtEvents(&flag, true).Wait();
    EXPECT_EQ(payload, 42);
    writer.join();
}
} // namespace

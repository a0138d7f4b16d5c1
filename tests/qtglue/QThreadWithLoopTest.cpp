#include "qtglue/QThreadWithLoop.h"
#include "qtglue/WaitWithQtEvents.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>

namespace {
TEST(QThreadWithLoop, RunsWorkInsideTheNewThreadsEventLoopAndReturnsItsResult) {
    QThread* workerThread = nullptr;
    int loopLevel = 0;
    QThreadWithLoop thread([&] {
        workerThread = QThread::currentThread();
        loopLevel = workerThread->loopLevel();
        return 42;
    });
    thread.start();
    thread.WaitWhileRunning();
    EXPECT_FALSE(thread.isRunning());
    EXPECT_EQ(thread.result(), 42);
    EXPECT_EQ(workerThread, &thread);
    EXPECT_GE(loopLevel, 1);
}

TEST(QThreadWithLoop, EmptyWorkEndsWithOne) {
    QThreadWithLoop thread{std::function<int()>()};
    thread.start();
    thread.WaitWhileRunning();
    EXPECT_EQ(thread.result(), 1);
}

TEST(QThreadWithLoop, StarterKeepsProcessingEventsWhileWorkWaitsForIt) {
    // The worker waits for an answer that only the starter's event processing can give, the
    // way a download waits for the credentials dialog.
    std::atomic<bool> asked{false};
    std::atomic<bool> answered{false};
    int answer = 0;
    QThreadWithLoop thread([&] {
        asked.store(true, std::memory_order_release);
        WaitWithQtEvents(&answered, true).Wait();
        return answer * 2;
    });
    QTimer starterEvents;
    QObject::connect(&starterEvents, &QTimer::timeout, [&] {
        if (asked.load(std::memory_order_acquire) && !answered.load()) {
            // Woken first: once the flag is set the worker may end, and its dispatcher with it.
            WaitWithQtEvents::WakeUp(&thread);
            answer = 5;
            answered.store(true, std::memory_order_release);
        }
    });
    starterEvents.start(5);
    thread.start();
    thread.WaitWhileRunning();
    EXPECT_EQ(thread.result(), 10);
}
} // namespace

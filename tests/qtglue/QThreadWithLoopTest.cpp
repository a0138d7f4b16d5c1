#include "qtglue/QThreadWithLoop.h"
#include "qtglue/WaitWithQtEvents.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QMetaObject>
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
    // The worker waits for an answer that only the starter's event processing can give,
    // the way a download waits for the credentials dialog.
    std::atomic<bool> answered{false};
    int answer = 0;
    QThreadWithLoop thread([&] {
        QMetaObject::invokeMethod(
            qApp,
            [&] {
                answer = 5;
                answered.store(true, std::memory_order_release);
                WaitWithQtEvents::WakeUp(&thread);
            },
            Qt::QueuedConnection);
        WaitWithQtEvents(&answered, true).Wait();
        return answer * 2;
    });
    thread.start();
    thread.WaitWhileRunning();
    EXPECT_EQ(thread.result(), 10);
}
} // namespace

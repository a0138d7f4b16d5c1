#include "qtglue/QThreadWithLoop.h"
#include "qtglue/Qtfier.h"
#include "qtglue/WaitWithQtEvents.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {
TEST(Qtfier, RunsItsFunctionWhenSignalled) {
    int calls = 0;
    Qtfier adapter([&calls] { ++calls; });
    Qtfier empty{std::function<void()>()}; // must not throw bad_function_call
    QObject sender;
    for (Qtfier* receiver : {&adapter, &empty})
        QObject::connect(&sender, &QObject::objectNameChanged, receiver, &Qtfier::Slot);
    sender.setObjectName(QStringLiteral("signalled"));
    EXPECT_EQ(calls, 1);
}

TEST(WaitWithQtEvents, ProcessesEventsOnlyWhileTheConditionHolds) {
    bool delivered = false;
    QTimer::singleShot(0, qApp, [&delivered] { delivered = true; });
    WaitWithQtEvents(std::function<bool()>()).Wait();
    std::atomic<bool> met{true};
    WaitWithQtEvents(&met, true).Wait();
    EXPECT_FALSE(delivered) << "nothing to wait for, yet events were processed";

    for (const bool target : {true, false}) {
        std::atomic<bool> flag{!target};
        int ticks = 0;
        QTimer timer;
        // The wait's own thread changes the flag from a timer: only processed events can end
        // this wait.
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (++ticks == 3)
                flag.store(target, std::memory_order_release);
        });
        timer.start(1);
        WaitWithQtEvents(&flag, target).Wait();
        EXPECT_EQ(ticks, 3) << target;
    }
    EXPECT_TRUE(delivered);
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

// The work runs on the new thread inside that thread's event loop and there waits for an
// answer that only the starter's event processing can give, the way a download waits for the
// credentials dialog.
TEST(QThreadWithLoop, RunsWorkInItsOwnLoopWhileTheStarterKeepsProcessingEvents) {
    std::atomic<bool> asked{false};
    std::atomic<bool> answered{false};
    int answer = 0;
    QThread* workerThread = nullptr;
    int loopLevel = 0;
    QThreadWithLoop thread([&] {
        workerThread = QThread::currentThread();
        loopLevel = workerThread->loopLevel();
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
    EXPECT_FALSE(thread.isRunning());
    EXPECT_EQ(thread.result(), 10);
    EXPECT_EQ(workerThread, &thread);
    EXPECT_GE(loopLevel, 1);

    QThreadWithLoop empty{std::function<int()>()};
    empty.start();
    empty.WaitWhileRunning();
    EXPECT_EQ(empty.result(), 1) << "the result of a thread without work";
}
} // namespace

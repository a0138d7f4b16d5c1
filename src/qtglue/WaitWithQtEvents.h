#pragma once

#include <QObject>

#include <atomic>
#include <chrono>
#include <functional>

class QThread;

// Blocks the calling thread until a condition ends while that thread keeps processing its Qt
// events (so slots, timers and dialogs of the thread go on running meanwhile, including code
// that starts another wait: callers guard against re-entry themselves). The processing wakes
// at least every 500 ms to test the condition; whoever ends the condition from another thread
// should also call WakeUp for the waiting thread so that the wait ends at once.
// Create it on the waiting thread's stack, for one Wait.
class WaitWithQtEvents : public QObject {
    Q_OBJECT
public:
    // Waits while keepWaiting answers true; an empty condition ends the wait at once.
    explicit WaitWithQtEvents(std::function<bool()> keepWaiting);
    // Waits until *flag equals target. The flag may be written by another thread; it is read
    // with acquire ordering, so data stored before a release store of the flag is visible.
    WaitWithQtEvents(const std::atomic<bool>* flag, bool target);

    void Wait();

    // Makes a wait in progress on thread test its condition now instead of at the next
    // 500 ms tick. Safe to call from any thread; does nothing for a thread without events.
    static void WakeUp(QThread* thread);

    // The period of the safety net, 500 ms. Tests lengthen it to show that a WakeUp, not the
    // net, ended a wait. Waits that are already running keep the period they started with.
    static void SetTick(std::chrono::milliseconds tick);
    static std::chrono::milliseconds Tick();

protected slots:
    // Only its delivery matters: it ends the blocked event processing.
    void DummySlot();

private:
    std::function<bool()> m_keepWaiting;
};

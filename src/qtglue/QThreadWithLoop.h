#pragma once

#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

// A thread with its own event loop that runs functions one at a time from inside that loop,
// so that the work can use queued signals and its own WaitWithQtEvents. The loop starts with
// the first Run and ends when this object is destroyed, so one thread may serve many works:
// starting a thread with its event dispatcher costs more than a short work itself.
// Made, used and destroyed on one thread, the caller's; destroyed only between Runs.
class QThreadWithLoop : public QThread {
public:
    QThreadWithLoop();
    ~QThreadWithLoop() override;

    // Runs work on this thread and blocks the calling thread, which keeps processing its Qt
    // events, until the work has returned; then gives its result. Everything the work wrote is
    // visible to the caller. An event handled during the wait must not call Run again.
    int Run(std::function<int()> work);

private:
    // This thread: runs the posted work and releases the caller.
    void RunPosted();

    // Lives on this thread: work posted to it runs in this thread's loop.
    std::unique_ptr<QObject> m_context;
    std::function<int()> m_work; // written before the post, read by this thread
    int m_result = 0;            // written by this thread before m_done
    std::atomic<bool> m_done{false};
    std::atomic<QThread*> m_waiter{nullptr};
    std::atomic<bool> m_waking{false}; // while this thread wakes the caller
};

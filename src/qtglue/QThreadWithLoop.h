#pragma once

#include <QThread>

#include <atomic>
#include <functional>

// Runs one function on a new thread from inside that thread's own event loop, so that the
// work can use queued signals and its own WaitWithQtEvents, and hands back its int result.
// Use: construct with the work, start(), WaitWhileRunning(), read result(), destroy.
class QThreadWithLoop : public QThread {
public:
    explicit QThreadWithLoop(std::function<int()> work);

    // Blocks the calling thread, which keeps processing its Qt events, until this thread
    // has finished; wakes as soon as the work's run ends.
    void WaitWhileRunning();
    // The value the last run ended with: the work's result, or 1 when no work was set.
    // Valid once WaitWhileRunning has returned.
    int result() const { return m_result; }

protected:
    void run() override;

private:
    void ExitWithWorkResult();

    std::function<int()> m_work;
    int m_result = 0;
    std::atomic<bool> m_runEnded{false};
    std::atomic<QThread*> m_waiter{nullptr};
    std::atomic<bool> m_released{false}; // the worker's last access to this object is done
};

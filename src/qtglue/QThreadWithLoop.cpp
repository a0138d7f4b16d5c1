#include "qtglue/QThreadWithLoop.h"

#include "qtglue/Qtfier.h"
#include "qtglue/WaitWithQtEvents.h"

#include <QTimer>

#include <memory>

QThreadWithLoop::QThreadWithLoop(std::function<int()> work) : m_work(std::move(work)) {}

void QThreadWithLoop::WaitWhileRunning() {
    // The worker wakes this thread's event processing as its run ends, so the wait ends at
    // once instead of at the next 500 ms tick. Sequentially consistent on both sides: either
    // the worker sees who waits, or the waiter sees that the run has already ended.
    m_waiter.store(QThread::currentThread());
    WaitWithQtEvents waiter([this] { return !m_runEnded.load() && isRunning(); });
    waiter.Wait();
    // Joining lets the caller destroy us. The acquire after the join pairs with the worker's
    // last touch of this object, so the result and everything the work wrote are visible here
    // by the language's rules (a race detector cannot see the futex inside QThread's join).
    wait();
    (void)m_released.load(std::memory_order_acquire);
}

void QThreadWithLoop::run() {
    auto timer = std::make_unique<QTimer>();
    auto adapter = std::make_unique<Qtfier>([this] { ExitWithWorkResult(); });
    timer->setSingleShot(true);
    timer->setInterval(0);
    connect(timer.get(), &QTimer::timeout, adapter.get(), &Qtfier::Slot);
    timer->start();
    m_result = exec();
    m_runEnded.store(true);
    if (QThread* waiter = m_waiter.load())
        WaitWithQtEvents::WakeUp(waiter);
    m_released.store(true, std::memory_order_release);
}

void QThreadWithLoop::ExitWithWorkResult() {
    exit(m_work ? m_work() : 1);
}

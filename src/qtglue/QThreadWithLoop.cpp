#include "qtglue/QThreadWithLoop.h"

#include "qtglue/WaitWithQtEvents.h"

#include <QMetaObject>

QThreadWithLoop::QThreadWithLoop() : m_context(std::make_unique<QObject>()) {
    // Events posted to it before the loop runs wait for the loop.
    m_context->moveToThread(this);
}

QThreadWithLoop::~QThreadWithLoop() {
    quit();
    wait();
}

int QThreadWithLoop::Run(std::function<int()> work) {
    m_work = std::move(work);
    m_done.store(false);
    // The worker wakes this thread's event processing as the work ends, so the wait ends at
    // once instead of at the next 500 ms tick. Sequentially consistent on both sides: either
    // the worker sees who waits, or the waiter sees that the work has already ended.
    m_waiter.store(QThread::currentThread());
    if (!isRunning())
        start();
    QMetaObject::invokeMethod(
        m_context.get(), [this] { RunPosted(); }, Qt::QueuedConnection);
    WaitWithQtEvents(&m_done, true).Wait();
    // The worker may still be inside its wake-up call on this thread's event dispatcher; a
    // caller that returned now could end its thread and delete that dispatcher under it.
    while (m_waking.load())
        QThread::yieldCurrentThread();
    m_waiter.store(nullptr);
    return m_result;
}

void QThreadWithLoop::RunPosted() {
    std::function<int()> work = std::move(m_work);
    m_work = nullptr;
    m_result = work ? work() : 1;
    // The work's own state (its captures) goes before the caller may reuse or destroy them.
    work = nullptr;
    QThread* waiter = m_waiter.load();
    m_waking.store(true);
    m_done.store(true);
    if (waiter)
        WaitWithQtEvents::WakeUp(waiter);
    m_waking.store(false);
}

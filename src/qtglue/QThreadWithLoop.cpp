#include "qtglue/QThreadWithLoop.h"

#include "qtglue/Qtfier.h"
#include "qtglue/WaitWithQtEvents.h"

#include <QTimer>

#include <memory>

QThreadWithLoop::QThreadWithLoop(std::function<int()> work) : m_work(std::move(work)) {}

void QThreadWithLoop::WaitWhileRunning() {
    WaitWithQtEvents waiter([this] { return isRunning(); });
    // finished() is emitted on the worker; the queued delivery to the waiter posts an event to
    // this thread, which ends the blocked event processing right away. Connected before the
    // first test of the condition, so a thread that ends in between still wakes us.
    connect(
        this, &QThread::finished, &waiter, [] {}, Qt::QueuedConnection);
    waiter.Wait();
    // isRunning() turns false while the thread still unwinds; joining it makes the result
    // and everything else the work wrote safely visible here, and lets the caller destroy us.
    wait();
}

void QThreadWithLoop::run() {
    auto timer = std::make_unique<QTimer>();
    auto adapter = std::make_unique<Qtfier>([this] { ExitWithWorkResult(); });
    timer->setSingleShot(true);
    timer->setInterval(0);
    connect(timer.get(), &QTimer::timeout, adapter.get(), &Qtfier::Slot);
    timer->start();
    m_result = exec();
}

void QThreadWithLoop::ExitWithWorkResult() {
    exit(m_work ? m_work() : 1);
}

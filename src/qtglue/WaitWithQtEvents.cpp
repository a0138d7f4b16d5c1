#include "qtglue/WaitWithQtEvents.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <memory>

namespace {
std::atomic<int64_t> g_tickMs{500};
} // namespace

WaitWithQtEvents::WaitWithQtEvents(std::function<bool()> keepWaiting)
    : m_keepWaiting(std::move(keepWaiting)) {
    if (!m_keepWaiting)
        m_keepWaiting = [] { return false; };
}

WaitWithQtEvents::WaitWithQtEvents(const std::atomic<bool>* flag, bool target)
    : m_keepWaiting([flag, target] { return flag->load(std::memory_order_acquire) != target; }) {}

void WaitWithQtEvents::Wait() {
    // The timer is the safety net for a condition that changes without any event reaching
    // this thread; without it WaitForMoreEvents could sleep forever.
    auto timer = std::make_unique<QTimer>();
    connect(timer.get(), &QTimer::timeout, this, &WaitWithQtEvents::DummySlot);
    timer->setInterval(Tick());
    timer->start();
    while (m_keepWaiting())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    timer->stop();
}

void WaitWithQtEvents::WakeUp(QThread* thread) {
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread))
        dispatcher->wakeUp();
}

void WaitWithQtEvents::SetTick(std::chrono::milliseconds tick) {
    g_tickMs.store(tick.count());
}

std::chrono::milliseconds WaitWithQtEvents::Tick() {
    return std::chrono::milliseconds(g_tickMs.load());
}

void WaitWithQtEvents::DummySlot() {}

#include "net/QtDownloaderBase.h"

#include "net/ConnectionInfo.h"
#include "net/QtDownloaderSignalProxy.h"
#include "qtglue/QThreadWithLoop.h"
#include "qtglue/WaitWithQtEvents.h"

#include <QCoreApplication>
#include <QMetaType>

#include <memory>
#include <thread>

QtDownloaderBase::QtDownloaderBase() : m_signalProxy(new QtDownloaderSignalProxy(this)) {
    // Queued signals copy their arguments through the meta-type system, which must know the
    // string type under the name the signatures use.
    static const int registered = qRegisterMetaType<CAtlString>("CAtlString");
    (void)registered;

    // Queued even though both objects live on the calling thread: the signals are emitted on
    // the worker, and the answer must not run inside the slot that produced it.
    connect(this, &QtDownloaderBase::ProxyAuthCanceledSignal, m_signalProxy,
            &QtDownloaderSignalProxy::ProxyAuthCanceledSlot, Qt::QueuedConnection);
    connect(this, &QtDownloaderBase::ConnectionFailedSignal, m_signalProxy,
            &QtDownloaderSignalProxy::ConnectionFailedSlot, Qt::QueuedConnection);
    connect(this, &QtDownloaderBase::DataReadProgressSignal, m_signalProxy,
            &QtDownloaderSignalProxy::DataReadProgressSlot, Qt::QueuedConnection);
    connect(this, &QtDownloaderBase::ProxyAuthRequiredSignal, m_signalProxy,
            &QtDownloaderSignalProxy::ProxyAuthRequiredSlot, Qt::QueuedConnection);
    connect(m_signalProxy, &QtDownloaderSignalProxy::ProxyAuthRequestDoneSignal, this,
            &QtDownloaderBase::ProxyAuthRequestDoneSlot, Qt::QueuedConnection);
}

QtDownloaderBase::~QtDownloaderBase() = default;

int32_t QtDownloaderBase::RunDownload(const CAtlString& url, const CAtlString& file,
                                      ConnectionInfo* info) {
    m_connectionInfo = info;
    m_signalProxy->SetConnectionInfo(info);

    auto worker = std::make_unique<QThreadWithLoop>(
        [this, url, file] { return static_cast<int>(DoDownload(url, file)); });
    m_worker = worker.get();
    worker->start();
    worker->WaitWhileRunning();
    const int32_t result = static_cast<int32_t>(worker->result());
    m_worker = nullptr;

    // The worker's last reports may still be queued; deliver them now rather than lose them
    // with this object, so that the owner always learns why a download failed.
    QCoreApplication::sendPostedEvents(m_signalProxy, QEvent::MetaCall);
    return result;
}

int32_t QtDownloaderBase::RunDownloadHere(const CAtlString& url, const CAtlString& file,
                                          ConnectionInfo* info) {
    m_connectionInfo = info;
    m_signalProxy->SetConnectionInfo(info);
    const int32_t result = DoDownload(url, file);
    // Its reports were queued as a worker's are, and arrive in the same order.
    QCoreApplication::sendPostedEvents(m_signalProxy, QEvent::MetaCall);
    return result;
}

bool QtDownloaderBase::ReportProgress(int done, int total, bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && m_reportsSent >= kReportsAlwaysSent &&
        now - m_lastReport < std::chrono::milliseconds(10))
        return false;
    ++m_reportsSent;
    m_lastReport = now;
    emit DataReadProgressSignal(done, total);
    return true;
}

bool QtDownloaderBase::RequestProxyAuth(const CAtlString& host, int port, CAtlString& userName,
                                        CAtlString& password) {
    m_answerArrived.store(false, std::memory_order_relaxed);
    emit ProxyAuthRequiredSignal(host, port, userName, password);
    WaitWithQtEvents(&m_answerArrived, true).Wait();
    // The answering thread may still be inside its wake-up call on this thread's event
    // dispatcher; returning now could end the thread and delete that dispatcher under it.
    while (m_waking.load())
        std::this_thread::yield();
    userName = m_answeredUserName;
    password = m_answeredPassword;
    return m_answerOk.load(std::memory_order_relaxed);
}

void QtDownloaderBase::ProxyAuthRequestDoneSlot(bool ret, CAtlString userName,
                                                CAtlString password) {
    m_answerOk.store(ret, std::memory_order_relaxed);
    m_answeredUserName = userName;
    m_answeredPassword = password;
    m_waking.store(true);
    m_answerArrived.store(true, std::memory_order_release);
    if (m_worker)
        WaitWithQtEvents::WakeUp(m_worker);
    m_waking.store(false);
}

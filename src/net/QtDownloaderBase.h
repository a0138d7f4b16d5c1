#pragma once

#include "platform/AtlString.h"

#include <QObject>

#include <atomic>
#include <chrono>
#include <cstdint>

class ConnectionInfo;
class QThread;
class QtDownloaderSignalProxy;

// The Qt side of a download engine: runs DoDownload on a worker thread while the calling
// thread keeps processing its events, and carries the worker's reports back to the calling
// thread through queued signals. Create it on the thread that calls RunDownload, without
// parent, and keep it there: every slot here and in the signal proxy runs on that thread.
class QtDownloaderBase : public QObject {
    Q_OBJECT
public:
    QtDownloaderBase();
    ~QtDownloaderBase() override;

    // Calling thread. Blocks until the download ends and returns DoDownload's result code.
    // All reports of the worker have reached the ConnectionInfo hooks when it returns.
    int32_t RunDownload(const CAtlString& url, const CAtlString& file, ConnectionInfo* info);
    // The same on the calling thread, for a download that neither waits nor asks anything
    // (its answer is already here): a thread started and ended for it would cost more than
    // the download.
    int32_t RunDownloadHere(const CAtlString& url, const CAtlString& file, ConnectionInfo* info);

    // Implemented by the engine; runs on the worker thread.
    virtual int32_t DoDownload(const CAtlString& url, const CAtlString& file) = 0;

signals:
    void ConnectionFailedSignal(CAtlString error);
    void ProxyAuthCanceledSignal();
    void ProxyAuthRequiredSignal(CAtlString host, int port, CAtlString userName,
                                 CAtlString password);
    void DataReadProgressSignal(int done, int total);

public slots:
    // Calling thread: stores the answer to the open credentials request and releases the
    // waiting worker.
    virtual void ProxyAuthRequestDoneSlot(bool ret, CAtlString userName, CAtlString password);

protected:
    // Worker thread: asks the calling thread for proxy credentials and waits for the answer.
    // userName and password go in as the login the proxy refused (empty for none).
    bool RequestProxyAuth(const CAtlString& host, int port, CAtlString& userName,
                          CAtlString& password);

    // Worker thread: emits DataReadProgressSignal for the first chunks of a download and then
    // at most every 10 ms (a fast download reads a chunk per microsecond, and a queued report
    // per chunk would cost more than the reading); force sends it regardless. True when sent.
    bool ReportProgress(int done, int total, bool force);

    ConnectionInfo* m_connectionInfo = nullptr;

private:
    static constexpr int kReportsAlwaysSent = 16;

    QtDownloaderSignalProxy* m_signalProxy;
    QThread* m_worker = nullptr;
    // Written by the calling thread after the answer fields, read by the worker before them.
    int m_reportsSent = 0;                              // worker thread only
    std::chrono::steady_clock::time_point m_lastReport; // worker thread only
    std::atomic<bool> m_answerArrived{false};
    // Set while the calling thread wakes the worker's event dispatcher after an answer.
    std::atomic<bool> m_waking{false};
    CAtlString m_answeredUserName;
    CAtlString m_answeredPassword;
    // Atomic only so that it shares the flag's byte-level hand-over; ordered by the flag.
    std::atomic<bool> m_answerOk{false};
};

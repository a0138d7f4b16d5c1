#include "net/QtDownloaderBase.h"
#include "net/ConnectionInfo.h"
#include "support/QtPrinters.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>

namespace {
// An engine whose download is a script: it reports, asks for credentials once and ends with
// a code that tells the test what the worker received.
class ScriptedEngine : public QtDownloaderBase {
public:
    int32_t DoDownload(const CAtlString& url, const CAtlString& file) override {
        workerIsOtherThread = QThread::currentThread() != thread();
        emit DataReadProgressSignal(1, 2);
        const bool ok = RequestProxyAuth(url, 3128, received[0], received[1]);
        emit ConnectionFailedSignal(file);
        emit ProxyAuthCanceledSignal();
        return ok ? 7 : 9;
    }

    std::atomic<bool> workerIsOtherThread{false};
    CAtlString received[2]; // user name and password
};

TEST(QtDownloaderBase, CarriesCredentialAnswersToWorkerAndReportsBack) {
    for (const bool answer : {true, false}) {
        SCOPED_TRACE(answer);
        const QString user = answer ? "alice" : "";
        const QString password = answer ? "p@ss word" : "";
        ConnectionInfo info;
        QStringList events;
        info.onDataReadProgress = [&](int done, int total) {
            events << QStringLiteral("progress %1/%2").arg(done).arg(total);
        };
        info.onProxyAuthRequired = [&](const CAtlString& host, int port, CAtlString& userOut,
                                       CAtlString& passwordOut) {
            // The hooks run on the thread that started the download.
            events << QStringLiteral("asked %1:%2 on %3")
                          .arg(host)
                          .arg(port)
                          .arg(QThread::currentThread() == qApp->thread() ? "owner" : "worker");
            userOut = user;
            passwordOut = password;
            return answer;
        };
        info.onConnectionFailed = [&](const CAtlString& error) { events << "failed " + error; };
        info.onProxyAuthCanceled = [&] { events << QStringLiteral("canceled"); };

        ScriptedEngine engine;
        EXPECT_EQ(engine.RunDownload("proxy", "file", &info), answer ? 7 : 9);
        EXPECT_TRUE(engine.workerIsOtherThread);
        EXPECT_EQ(engine.received[0], user);
        EXPECT_EQ(engine.received[1], password);
        // Every report has arrived, in order, by the time RunDownload returns.
        EXPECT_EQ(events, (QStringList{"progress 1/2", "asked proxy:3128 on owner", "failed file",
                                       "canceled"}));
    }
    // Without a hook the request is declined.
    ConnectionInfo bare;
    EXPECT_EQ(ScriptedEngine().RunDownload("proxy", "file", &bare), 9);
}
} // namespace

#include "net/QtDownloaderBase.h"
#include "net/ConnectionInfo.h"

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
        CAtlString user;
        CAtlString pass;
        const bool ok = RequestProxyAuth(url, 3128, user, pass);
        receivedUser = user;
        receivedPassword = pass;
        emit ConnectionFailedSignal(file);
        emit ProxyAuthCanceledSignal();
        return ok ? 7 : 9;
    }

    std::atomic<bool> workerIsOtherThread{false};
    CAtlString receivedUser;
    CAtlString receivedPassword;
};

TEST(QtDownloaderBase, CarriesCredentialAnswersToWorkerAndReportsBack) {
    struct Case {
        bool answer;
        QString user;
        QString password;
    };
    for (const Case& c : {Case{true, "alice", "p@ss word"}, Case{false, "", ""}}) {
        SCOPED_TRACE(c.answer);
        ConnectionInfo info;
        QStringList events;
        info.onDataReadProgress = [&](int done, int total) {
            events << QStringLiteral("progress %1/%2").arg(done).arg(total);
        };
        info.onProxyAuthRequired = [&](const CAtlString& host, int port, CAtlString& user,
                                       CAtlString& pass) {
            // The hooks run on the thread that started the download.
            events << QStringLiteral("asked %1:%2 on %3")
                          .arg(host)
                          .arg(port)
                          .arg(QThread::currentThread() == qApp->thread() ? "owner" : "worker");
            user = c.user;
            pass = c.password;
            return c.answer;
        };
        info.onConnectionFailed = [&](const CAtlString& error) { events << "failed " + error; };
        info.onProxyAuthCanceled = [&] { events << QStringLiteral("canceled"); };

        ScriptedEngine engine;
        const int32_t result =
            engine.RunDownload(QStringLiteral("proxy"), QStringLiteral("file"), &info);
        EXPECT_EQ(result, c.answer ? 7 : 9);
        EXPECT_TRUE(engine.workerIsOtherThread);
        EXPECT_EQ(engine.receivedUser, c.user);
        EXPECT_EQ(engine.receivedPassword, c.password);
        // Every report has arrived, in order, by the time RunDownload returns.
        EXPECT_EQ(events, (QStringList{"progress 1/2", "asked proxy:3128 on owner", "failed file",
                                       "canceled"}));
    }
}

TEST(QtDownloaderBase, RequestWithoutHookIsDeclined) {
    ConnectionInfo info;
    ScriptedEngine engine;
    EXPECT_EQ(engine.RunDownload(QStringLiteral("proxy"), QStringLiteral("file"), &info), 9);
}
} // namespace

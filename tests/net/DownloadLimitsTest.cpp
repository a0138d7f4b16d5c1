#include "TestServers.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>

using namespace std::chrono_literals;

namespace {

constexpr int64_t kCap = 1024 * 1024;

// The most that the download files in the temporary folder held at any moment while body ran,
// sampled on the calling thread, whose events flow while a download waits.
int64_t PeakTemporarySize(const std::function<void()>& body) {
    int64_t peak = 0;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        int64_t size = 0;
        for (const QFileInfo& file : QDir::temp().entryInfoList({"FLVTemp*"}, QDir::Files))
            size += file.size();
        peak = std::max(peak, size);
    });
    sampler.start(2);
    body();
    return peak;
}

// Answers that no download may take whole: each ends with its reason, leaves nothing behind,
// and never holds more than the cap in the temporary folder.
class DownloadLimits : public DownloaderTest {
protected:
    void SetUp() override {
        DownloaderTest::SetUp();
        downloader.documentLimits = {kCap, 3s};
        downloader.installerLimits = {2 * kCap, 3s};
    }
    QString Reason(const char* text) const {
        return QString::fromLatin1(text).arg(QStringLiteral("127.0.0.1"));
    }
};

TEST_F(DownloadLimits, HostileAnswersEndAtTheirLimitWithTheirReason) {
    server.AddFile("cap.bin", kCap);
    // Compressed, it is a few kilobytes on the wire; it is its size once decoded that counts.
    server.AddFile("bomb.bin", 4 * kCap);
    // A byte a second never trips a stall limit of two seconds; only the deadline ends it.
    CurlHttpClient::SetStallTimeout(2s);
    const char* tooLarge = "The file from %1 is larger than the 1 MiB allowed.";
    // Name, URL, reason, and the most of the body that may be taken.
    const std::tuple<const char*, QString, QString, int64_t> cases[] = {
        {"exactly the cap", server.Url("/cap.bin"), "", kCap},
        // Refused before reading.
        {"1 GiB announced", server.Url("/__huge?length=1073741824"), Reason(tooLarge), 0},
        {"endless without a length", server.Url("/__huge"), Reason(tooLarge), kCap},
        {"gzip bomb", server.Url("/__gzip/bomb.bin"), Reason(tooLarge), kCap},
        {"a byte a second", server.Url("/__trickle?every=1"),
         Reason("The download from %1 did not finish in the time allowed."), 100},
    };
    for (const auto& [name, url, reason, most] : cases) {
        SCOPED_TRACE(name);
        reports = {};
        CAtlString path;
        const int64_t peak = PeakTemporarySize([&] { path = downloader.Download(url, 1, 0); });
        EXPECT_EQ(LastReason(downloader), reason);
        EXPECT_EQ(path.isEmpty(), !reason.isEmpty());
        EXPECT_LE(peak, kCap);
        const int64_t received = reports.progress.empty() ? 0 : reports.progress.back().first;
        EXPECT_LE(received, most);
        QFile::remove(FilePath(path).LocalPath());
        EXPECT_EQ(LeftoverDownloads(), QStringList());
    }
}

// The installer has a limit of its own, above the documents' one.
TEST_F(DownloadLimits, InstallerMayBeLargerThanADocument) {
    const QByteArray installer = server.AddFile("setup.run", kCap + kCap / 2);
    EXPECT_TRUE(downloader.Download(server.Url("/setup.run"), 1, 0).isEmpty());
    EXPECT_EQ(TakeDownloaded(downloader.DownloadInstaller(server.Url("/setup.run"))), installer);
}

// A server's own 401 is asked about once: the credentials go to proxies only, so the server
// refuses again, and the download then fails with the server's answer instead of asking anew.
TEST_F(DownloadLimits, ServerThatRefusesTheGivenLoginIsAskedAboutOnce) {
    auto handler = std::make_shared<ProxyHandlerBase>();
    handler->credentialsDialogAllowed = true;
    SetHandler(handler);
    // A second dialog is cancelled, so that a download that asks again ends all the same.
    int dialogs = 0;
    ModalAnswerer person([&](QWidget* dialog) {
        dialog->findChild<QLineEdit*>("proxyUserNameEdit")->setText(kProxyUser);
        dialog->findChild<QLineEdit*>("proxyPasswordEdit")->setText(kProxyPassword);
        dialog->findChild<QPushButton*>(++dialogs == 1 ? "okButton" : "cancelButton")->click();
    });
    EXPECT_TRUE(downloader.Download(server.Url("/__401"), 1, 0).isEmpty());
    EXPECT_EQ(person.Count(), 1);
    EXPECT_EQ(LastReason(downloader),
              QStringLiteral("The server answered with status 401 Unauthorized."));
    EXPECT_EQ(server.Requests().filter("/__401").size(), 2);
}

// Cancel, as closing the window during a check calls it, ends the download under way (here
// one that would otherwise wait for the 60 s stall limit) and only that one, also in a check
// that fetched it ahead.
TEST_F(DownloadLimits, CancelEndsTheDownloadUnderWay) {
    for (const bool ahead : {false, true}) {
        SCOPED_TRACE(ahead ? "FetchedAhead" : "OnItsOwn");
        const int before = server.Requests().filter("/__hang").size();
        if (ahead)
            downloader.Prefetch({server.Url("/__hang"), server.Url("/info.xml")});
        QTimer watcher;
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            if (server.Requests().filter("/__hang").size() > before)
                downloader.Cancel();
        });
        watcher.start(20);
        EXPECT_TRUE(downloader.Download(server.Url("/__hang"), 1, 0).isEmpty());
        watcher.stop();
        EXPECT_EQ(LastReason(downloader), QStringLiteral("The download was cancelled."));
        EXPECT_EQ(TakeDownloaded(downloader.Download(server.Url("/info.xml"), 1, 0)), content);
        downloader.EndPrefetch();
    }
}

} // namespace

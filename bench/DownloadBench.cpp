// Figures for the download path, printed one per line:
//   small URL  200 sequential Download calls of a small file, median ms per call, beside a
//              plain libcurl loop (a fresh handle per fetch, like a fresh engine per download)
//   big URL    one Download of a large file: throughput and the process's peak resident memory

#include "net/Downloader.h"
#include "platform/FilePath.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>

#include <curl/curl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {
double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

int Small(const QString& url, int rounds) {
    Downloader downloader;
    std::vector<double> ours;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer clock;
        clock.start();
        const CAtlString path = downloader.Download(url, 1, 0);
        ours.push_back(clock.nsecsElapsed() / 1e6);
        if (path.isEmpty()) {
            std::fprintf(stderr, "download failed\n");
            return 1;
        }
        FilePath(path).DeleteFile();
    }

    curl_global_init(CURL_GLOBAL_DEFAULT);
    const std::string address = url.toStdString();
    std::vector<double> plain;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer clock;
        clock.start();
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, address.c_str());
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Discard);
        const CURLcode result = curl_easy_perform(easy);
        curl_easy_cleanup(easy);
        plain.push_back(clock.nsecsElapsed() / 1e6);
        if (result != CURLE_OK) {
            std::fprintf(stderr, "plain fetch failed: %s\n", curl_easy_strerror(result));
            return 1;
        }
    }
    const double medianOurs = Median(ours);
    const double medianPlain = Median(plain);
    std::printf("small file, %d sequential Download calls: median %.3f ms per call\n", rounds,
                medianOurs);
    std::printf("small file, %d sequential plain libcurl fetches: median %.3f ms per fetch\n",
                rounds, medianPlain);
    std::printf("small file, goal Download <= 1.5 x plain + 1 ms = %.3f ms: %s\n",
                1.5 * medianPlain + 1, medianOurs <= 1.5 * medianPlain + 1 ? "met" : "missed");
    return 0;
}

int Big(const QString& url) {
    Downloader downloader;
    // A file this large is only ever the program's installer; the documents' cap would stop it.
    downloader.documentLimits = kInstallerLimits;
    QElapsedTimer clock;
    clock.start();
    const CAtlString path = downloader.Download(url, 1, 0);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (path.isEmpty()) {
        std::fprintf(stderr, "download failed\n");
        return 1;
    }
    // The program's own size query stops at the cap for the documents it reads, far below
    // this file, so the benchmark asks the file system directly.
    const double megabytes = QFileInfo(FilePath(path).LocalPath()).size() / (1024.0 * 1024.0);
    FilePath(path).DeleteFile();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("large file, Download: %.0f MiB in %.2f s = %.1f MiB/s\n", megabytes, seconds,
                megabytes / seconds);
    std::printf("large file, Download peak resident memory: %.1f MiB (goal <= 48 MiB)\n",
                usage.ru_maxrss / 1024.0);
    return 0;
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() >= 3 && arguments[1] == u"small")
        return Small(arguments[2], arguments.size() > 3 ? arguments[3].toInt() : 200);
    if (arguments.size() >= 3 && arguments[1] == u"big")
        return Big(arguments[2]);
    std::fprintf(stderr, "usage: %s small URL [ROUNDS] | big URL\n", argv[0]);
    return 2;
}

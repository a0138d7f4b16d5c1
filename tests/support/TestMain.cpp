// Shared entry point of the test programs. A QApplication exists for the whole run, as it does
// in the program, so widgets, queued connections and timers behave as they do there. No proxy
// setting of the machine leaks into tests that talk to loopback servers, and every test program
// gets a private temporary folder, so the files a download leaves behind can be counted.
//
// The ThreadSanitizer suppressions are in tests/support/tsan.supp, named here, in the one
// object file every test program links, because the sanitizer looks for its options by symbol
// at start-up.
//
// Qt and glib are not built with ThreadSanitizer, and Qt synchronises QThread's join and its
// cross-thread event queue with a futex-based QMutex that the sanitizer cannot see. The
// hand-overs it then misses show up as races inside Qt's own bookkeeping: the wait condition a
// finished QThread signals, the wake-up descriptor of a dispatcher being torn
// down at exit, the event list a worker appends a queued call to, and that call's arguments.
// (glib's event loop is kept out of these runs altogether: see the start of main below.)
// Each entry of tsan.supp names such a Qt internal. The one on QArrayData would also hide two
// threads of ours growing one shared Qt container at once; our code shares none (strings cross
// threads only as copies inside queued signals), which review must keep true. Our own cross-thread
// data (the answer of a credentials request, the result of a worker) is ordered with std::atomic
// release/acquire and stays fully checked.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

#if defined(__SANITIZE_THREAD__)
// The list is a file so that the real program, started by the tests, reads the same one
// (tests/support/ProgramRun.h hands it over in TSAN_OPTIONS).
extern "C" const char* __tsan_default_options() {
    return "suppressions=" ORVEX_TEST_SUPPORT_DIR "/tsan.supp";
}
#endif

int main(int argc, char** argv) {
#if defined(__SANITIZE_THREAD__)
    // Under ThreadSanitizer the tests run on Qt's own event dispatcher instead of glib's, whose
    // uninstrumented per-thread allocations would otherwise be reported.
    ::setenv("QT_NO_GLIB", "1", 1);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
          "no_proxy", "NO_PROXY", "ftp_proxy", "FTP_PROXY", "SSL_CERT_FILE", "SSL_CERT_DIR"})
        ::unsetenv(name);
    const QTemporaryDir temp;
    // No test may touch the machine's or the user's real hives: everything the program keeps
    // goes below a private root unless a test sets up a sandbox of its own. The program's
    // temporary folder there is the process's temporary folder too.
    if (!qEnvironmentVariableIsSet("ORVEX_ROOT"))
        qputenv("ORVEX_ROOT", QFile::encodeName(temp.path()));
    const QString tmp = temp.filePath(QStringLiteral("tmp"));
    // Tests that drop to another user in a child process must still reach their sandboxes.
    if (!temp.isValid() || !QDir().mkpath(tmp) ||
        ::chmod(QFile::encodeName(temp.path()).constData(), 0755) != 0 ||
        ::chmod(QFile::encodeName(tmp).constData(), 0755) != 0)
        return 1;
    ::setenv("TMPDIR", QFile::encodeName(tmp).constData(), 1);
    // Test discovery runs the binary without the test environment; widgets never need a screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

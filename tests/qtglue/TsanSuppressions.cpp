// ThreadSanitizer suppressions for the test programs, read by the sanitizer at start-up.
//
// Qt and glib are not built with ThreadSanitizer, and Qt synchronises QThread's join and its
// cross-thread event queue with a futex-based QMutex that the sanitizer cannot see. The
// hand-overs it then misses show up as races inside Qt's own bookkeeping: the wait condition a
// finished QThread signals, the wake-up descriptor of a dispatcher being torn
// down at exit, the event list a worker appends a queued call to, and that call's arguments.
// (glib's event loop is kept out of these runs altogether: see UseInstrumentableEventLoop below.)
// Each entry below names such a Qt internal. The one on QArrayData would also hide two threads of
// ours growing one shared Qt container at once; our code shares none (strings cross threads only as
// copies inside queued signals), which review must keep true. Our own
// cross-thread data (the answer of a credentials request, the result of a worker) is ordered
// with std::atomic release/acquire and stays fully checked.
#include <cstdlib>

#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "race:QWaitCondition::~QWaitCondition\n"
           "race:QArrayData::reallocateUnaligned\n"
           "race:QEventDispatcherUNIXPrivate::~QEventDispatcherUNIXPrivate\n"
           // Only the unpacking of a queued call's arguments (allocated by the emitting
           // thread), not the slot it then calls: race_top matches the racing frame alone.
           "race_top:QtPrivate::FunctorCall\n"
           "race_top:QArrayDataPointer<char16_t>::QArrayDataPointer\n"
           // Qt's own allocations and frees of posted events, made by whichever thread
           // posts or delivers them.
           "called_from_lib:libQt6Core.so.6\n";
}
#endif

// Under ThreadSanitizer the tests run on Qt's own event dispatcher instead of glib's, whose
// uninstrumented per-thread allocations would otherwise be reported. Call before the
// application object exists.
void UseInstrumentableEventLoop() {
#if defined(__SANITIZE_THREAD__)
    ::setenv("QT_NO_GLIB", "1", 1);
#endif
}

// Preloaded into a program under test: appends a line for every fsync and rename the program
// makes to the file named by ORVEX_CALL_LOG ("fsync<TAB>path" with the path the descriptor
// stands for, "rename<TAB>from<TAB>to"), once the real call has succeeded. Lets a test check
// the order of the calls that make a rewrite survive a power cut.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {
void Record(const std::string& line) {
    const char* log = std::getenv("ORVEX_CALL_LOG");
    const int fd = log ? ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600) : -1;
    if (fd < 0)
        return;
    // One write with O_APPEND, so lines of several threads never interleave. A failed write
    // leaves the line out, which the test then reports as a missing call.
    [[maybe_unused]] const ssize_t written = ::write(fd, (line + '\n').data(), line.size() + 1);
    ::close(fd);
}

template <typename Function> Function Real(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}
} // namespace

extern "C" int fsync(int fd) {
    static const auto real = Real<int (*)(int)>("fsync");
    const int result = real(fd);
    char path[4096];
    const ssize_t size =
        ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
    if (result == 0 && size > 0)
        Record("fsync\t" + std::string(path, static_cast<size_t>(size)));
    return result;
}

extern "C" int rename(const char* from, const char* to) {
    static const auto real = Real<int (*)(const char*, const char*)>("rename");
    const int result = real(from, to);
    if (result == 0)
        Record(std::string("rename\t") + from + '\t' + to);
    return result;
}

#include "platform/SystemLog.h"

#include "platform/ConsoleText.h"

#include <mutex>
#include <syslog.h>

namespace {
// The name the journal shows for every line, whatever the name the program was started by.
constexpr const char* kIdent = "orvex-product-update";

class CSyslog : public ISystemLog {
public:
    CSyslog() { ::openlog(kIdent, LOG_PID, LOG_USER); }

    void Write(Level level, const QString& line) override {
        // A reason may quote text from a server; a line end in it would forge a line.
        ::syslog(level == Level::Warning ? LOG_WARNING : LOG_NOTICE, "%s",
                 ConsoleText(line).constData());
    }
};

std::mutex g_mutex;
std::shared_ptr<ISystemLog> g_log;
} // namespace

std::shared_ptr<ISystemLog> GetSystemLog() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_log)
        g_log = std::make_shared<CSyslog>();
    return g_log;
}

void SetSystemLog(std::shared_ptr<ISystemLog> log) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_log = std::move(log);
}

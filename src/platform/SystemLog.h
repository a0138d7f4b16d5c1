#pragma once

#include <QString>

#include <memory>

// The system log, where an administrator finds what a run without a window (the silent run at
// login) refused or warned of. On Linux it is syslog(3), which the journal takes in, under the
// program's name. Tests hand in their own to read the lines written. Safe from any thread.
class ISystemLog {
public:
    enum class Level { Warning, Notice };

    virtual ~ISystemLog() = default;
    // Writes one line; control characters in it are written as "?".
    virtual void Write(Level level, const QString& line) = 0;
};

// The log every caller uses: the system's by default; null goes back to it.
std::shared_ptr<ISystemLog> GetSystemLog();
void SetSystemLog(std::shared_ptr<ISystemLog> log);

#pragma once

#include "platform/DurableFile.h"
#include "platform/Hive.h"

#include <QString>

#include <functional>
#include <map>
#include <mutex>
#include <sys/stat.h>

// The hives this process has read, each parsed once and read again only when its file
// changed, so that the many values a run reads cost one parse. A file counts as unchanged
// while its device, inode, size, modification and change times (to the nanosecond) stay
// the same. Writers replace a hive by renaming a new file over it; the descriptor of the
// file last read is kept open, so that its inode cannot be handed to a later file and
// make that one look unchanged. Safe to use from any thread.
class CHiveCache {
public:
    CHiveCache() = default;
    CHiveCache(const CHiveCache&) = delete;
    CHiveCache& operator=(const CHiveCache&) = delete;
    ~CHiveCache();

    // Calls use with the hive in file as it is now (an absent file is an empty hive) and
    // returns 0, or the errno value of reading it without calling use. use runs under the
    // cache's lock and must not use the cache itself.
    int Use(const CDurableFile& file, const std::function<void(const CHive&)>& use);

private:
    struct Entry {
        struct stat info {};
        int pin = -1;
        CHive hive;
    };
    static bool Unchanged(const struct stat& a, const struct stat& b);

    std::mutex m_mutex;
    std::map<QString, Entry> m_entries;
};

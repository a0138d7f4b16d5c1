#include "platform/HiveCache.h"

#include <QFile>

#include <cerrno>
#include <unistd.h>

CHiveCache::~CHiveCache() {
    for (const auto& [path, entry] : m_entries)
        ::close(entry.pin);
}

bool CHiveCache::Unchanged(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

int CHiveCache::Use(const CDurableFile& file, const std::function<void(const CHive&)>& use) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_entries.find(file.Path());
    struct stat now {};
    const int statError = ::stat(QFile::encodeName(file.Path()).constData(), &now) == 0 ? 0 : errno;
    const bool exists = statError == 0;
    if (found != m_entries.end() && exists && Unchanged(found->second.info, now)) {
        use(found->second.hive);
        return 0;
    }
    if (found != m_entries.end()) {
        ::close(found->second.pin);
        m_entries.erase(found);
    }
    if (statError == ENOENT) {
        // Nothing to keep: the next call looks again, which costs no more than a stat.
        use(CHive());
        return 0;
    }

    // What was read is described by the descriptor it was read from, not by the stat above,
    // which a writer may have overtaken since.
    Entry entry;
    QByteArray bytes;
    bool read = false;
    if (const int error = file.Read(bytes, &read, &entry.info, &entry.pin))
        return error;
    entry.hive.Parse(bytes);
    if (!read) {
        use(entry.hive);
        return 0;
    }
    const auto added = m_entries.emplace(file.Path(), std::move(entry)).first;
    use(added->second.hive);
    return 0;
}

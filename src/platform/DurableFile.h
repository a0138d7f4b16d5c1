#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <sys/stat.h>
#include <sys/types.h>

// A small settings file (hive or INI) that several processes may change at once. Every
// change is a read-modify-write under an exclusive lock on "<file>.lock", written to a
// temporary file beside it, flushed and renamed over the file, so concurrent writers lose
// nothing and a writer killed at any moment leaves the old or the new file, never a torn
// one. Results are errno values (0 = success).
class CDurableFile {
public:
    // Files above this size are refused: settings files are small, and a huge one would be a
    // mistake or an attack rather than data worth loading into memory.
    static constexpr qint64 kMaxSize = 64 * 1024 * 1024;

    // path is a local (Linux) path. newFileMode applies to a file this object creates; an
    // existing file keeps its mode. Missing folders are made with folderMode.
    explicit CDurableFile(QString path, mode_t newFileMode = 0644, mode_t folderMode = 0755);

    const QString& Path() const { return m_path; }

    // The whole file; an absent file is empty content with *exists false and result 0.
    // When the file was read, *status gets its status and *keepOpen the descriptor it was
    // read from, which the caller must close.
    int Read(QByteArray& content, bool* exists = nullptr, struct stat* status = nullptr,
             int* keepOpen = nullptr) const;

    // 0 when this process may change the file (EACCES, EROFS, ... otherwise). Nothing is
    // created. EPERM when someone other than root and this process's user could change the
    // file, a symbolic link on its way or a folder above it: a write there could be
    // redirected to any file this process may write, so none is made.
    int CheckWritable() const;

    // Calls edit with the current content under the lock. When edit returns true and the
    // content changed, the new content replaces the file. Returns 0 also when edit declined.
    // New content larger than kMaxSize, which nothing could read back, is never written
    // (EFBIG; the file stays as it was). When nothing was written because of the file's
    // surroundings (the lock, who may change the file) or its size, *why gets a sentence for
    // an administrator naming the file to look at.
    int Update(const std::function<bool(QByteArray& content, bool exists)>& edit) const {
        return Update(nullptr, edit);
    }
    int Update(QString* why,
               const std::function<bool(QByteArray& content, bool exists)>& edit) const;

    // How long Update waits for a lock another writer holds before it gives up. Process-wide;
    // tests shorten it.
    static constexpr std::chrono::milliseconds kDefaultLockTimeout{10000};
    static void SetLockTimeout(std::chrono::milliseconds timeout);

    // Why content of size bytes is not written to path: it names the file and the limit.
    static QString TooLargeReason(const QString& path, qint64 size);

private:
    QString ResolvedPath() const;
    int CheckAccess() const;
    int WriteReplacing(const QByteArray& localPath, const QByteArray& content) const;
    void RemoveStaleTemporaries(const QString& path) const;

    QString m_path;
    mode_t m_newFileMode;
    mode_t m_folderMode;
};

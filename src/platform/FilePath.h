#pragma once

#include "platform/AtlString.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

// A path kept in the canonical Windows form: "\" separators, no trailing separator, no
// device prefix before the drive letter. The file operations convert to the Linux form at
// the file-system boundary (see LocalPath). Cheap to copy; an empty path means "no path".
// The sandbox folder (ORVEX_ROOT, made absolute), or empty on a real system. With a sandbox
// every drive and shared folder of the program lives below it.
CAtlString SandboxRoot();

class FilePath {
public:
    // ReadAll refuses files larger than this: the documents this program reads whole
    // (product lists, version files, string tables) are small, and a huge one must not
    // take the memory of the run.
    static constexpr int64_t kMaxFileSize = 64 * 1024 * 1024;

    FilePath() = default;
    explicit FilePath(const CAtlString& text);

    const CAtlString& Text() const { return m_path; }
    // The Linux path this stands for: "\" becomes "/", and a drive "X:" becomes
    // $ORVEX_ROOT/drive_x when ORVEX_ROOT is set, "/" otherwise. A path without a drive that
    // starts with "\" is a Linux path already ("\usr\share" is /usr/share).
    CAtlString LocalPath() const;
    // Neither rooted ("\...") nor on a drive ("X:..."), as Windows decides it.
    bool IsRelative() const;

    bool IsEmpty() const { return m_path.isEmpty(); }
    bool Exists() const;
    CAtlString FileName() const;
    CAtlString BaseName() const;
    CAtlString Extension() const;
    FilePath Folder() const;
    FilePath Join(const CAtlString& name) const;

    bool RemoveLastComponent();
    void Append(const CAtlString& name);

    // Makes the folder and any missing parents, each with mode 0755 whatever the umask: the
    // folders the program makes (the common data folder) are read by every user. True when the
    // folder exists afterwards.
    bool CreateDirectories() const;
    bool DeleteFile() const;
    // The copy appears whole or not at all. mode gives its permission bits; -1 keeps the
    // source's.
    bool CopyTo(const FilePath& destination, bool failIfExists, int mode = -1) const;
    // Byte count, or -1 when the path is no readable regular file. A file of 2 GiB or more
    // also gives -1: its size has no 32-bit form, and a clamped one would be a wrong size.
    int32_t FileSize() const;
    // The whole file into a new buffer owned by the caller; null and 0 when empty, unreadable
    // or larger than kMaxFileSize.
    int32_t ReadAll(std::unique_ptr<char[]>& buffer) const;
    // fopen of the local path; the stream is not inherited by programs this one starts.
    FILE* OpenStream(const char* mode) const;
    // Appends the files (not folders) of this folder whose names match pattern ("*" and "?",
    // without regard to case), in the order the file system lists them. Not recursive.
    void ListFiles(const CAtlString& pattern, std::vector<FilePath>& out) const;

    // While one lives on a thread, ListFiles there reads each folder once and answers later
    // calls from that reading: a long product list looks for every product's version files in
    // the same two folders. Whoever makes one must not change those folders while it lives.
    // One made while another lives on the thread changes nothing.
    class ListingCache {
    public:
        ListingCache();
        ~ListingCache();
        ListingCache(const ListingCache&) = delete;
        ListingCache& operator=(const ListingCache&) = delete;

    private:
        bool m_owner;
    };

    bool operator==(const FilePath& other) const { return m_path == other.m_path; }

private:
    CAtlString m_path;
};

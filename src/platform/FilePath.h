#pragma once

#include "platform/AtlString.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

// A path kept in the canonical Windows form: "\" separators, no trailing separator, no
// device prefix before the drive letter. The file operations convert to the Linux form at
// the file-system boundary. Cheap to copy; an empty path means "no path".
class FilePath {
public:
    FilePath() = default;
    explicit FilePath(const CAtlString& text);

    const CAtlString& Text() const { return m_path; }

    bool IsEmpty() const { return m_path.isEmpty(); }
    bool Exists() const;
    CAtlString FileName() const;
    CAtlString BaseName() const;
    CAtlString Extension() const;
    FilePath Folder() const;
    FilePath Join(const CAtlString& name) const;

    bool RemoveLastComponent();
    void Append(const CAtlString& name);

    bool CreateDirectories() const;
    bool DeleteFile() const;
    bool CopyTo(const FilePath& destination, bool failIfExists) const;
    // Byte count, or -1 when the path is no readable regular file (or too large to count).
    int32_t FileSize() const;
    // The whole file into a new buffer owned by the caller; null and 0 when empty or unreadable.
    int32_t ReadAll(std::unique_ptr<char[]>& buffer) const;
    FILE* OpenStream(const char* mode) const;
    void ListFiles(const CAtlString& pattern, std::vector<FilePath>& out) const;

    bool operator==(const FilePath& other) const { return m_path == other.m_path; }

private:
    CAtlString m_path;
};

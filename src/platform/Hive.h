#pragma once

#include "platform/AtlString.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <cstdint>
#include <vector>

// The contents of one registry text file (".reg"): the header "Windows Registry Editor
// Version 5.00", sections "[HKEY_...\Key]" and values in the forms "Name"="text",
// dword:, hex:, hex(N):, with @ for the default value. Used both for the hive files the
// store keeps and for the files administrators import and export.
//
// Key and value names compare without regard to case and keep the case they were written
// with. A value keeps its type and exact bytes. Lines that cannot be read are kept verbatim
// in place, so rewriting a file never drops them.
class CHive {
public:
    struct Value {
        CAtlString name;
        uint32_t type = 0;
        QByteArray data;
    };
    enum class EntryKind { Value, DeleteValue, Verbatim };
    struct Entry {
        EntryKind kind = EntryKind::Verbatim;
        Value value;
        // The original line(s) of a verbatim entry.
        QString text;
        int line = 0;
    };
    struct Key {
        CAtlString name;
        // "[-KEY]" in an import file: the key and all below it go.
        bool deleteTree = false;
        std::vector<Entry> entries;
        int line = 0;
    };

    static const QString kHeader;

    // Accepts UTF-8 (with or without a byte-order mark) and UTF-16LE with a byte-order mark,
    // the form Windows exports. Never fails.
    void Parse(const QByteArray& bytes);
    // Always UTF-8 with the header line first.
    QByteArray Serialize() const;

    // False when decoding lost bytes (text that is neither UTF-8 nor UTF-16), so that
    // writing the file back would change lines nobody asked to change.
    bool IsLossless() const { return m_lossless; }
    bool HasHeader() const { return m_hasHeader; }
    // Line numbers (from 1) of lines that are neither blank, comments, sections nor values.
    QList<int> UnreadLines() const;

    // Key names are full: root (long or short form) and path, e.g. "HKCU\Software\X".
    bool KeyExists(const CAtlString& key) const;
    const Value* FindValue(const CAtlString& key, const CAtlString& name) const;
    void CreateKey(const CAtlString& key);
    // Creates the key when needed; an existing value keeps the case of its name.
    void SetValue(const CAtlString& key, const Value& value);
    bool DeleteValue(const CAtlString& key, const CAtlString& name);
    // Removes the key and every key below it; false when there was none.
    bool DeleteKeyTree(const CAtlString& key);
    // The names of the keys directly below key, each once, in file order.
    QStringList SubKeyNames(const CAtlString& key) const;
    // The sections of key and every key below it, in file order.
    std::vector<const Key*> KeysBelow(const CAtlString& key) const;
    const std::vector<Key>& Keys() const { return m_keys; }

    // The key name with its root in the long form ("HKEY_LOCAL_MACHINE\..."), or empty when
    // the root is none of the known ones.
    static CAtlString CanonicalKeyName(const CAtlString& key);
    // One value as a line of a .reg file, without line end.
    static QString FormatValue(const Value& value);
    // Parses one value line (continuations already joined); false when it is not one.
    static bool ParseValueLine(const QString& line, Entry& out);

private:
    Key* FindKey(const CAtlString& key);
    const Key* FindKey(const CAtlString& key) const;

    bool m_lossless = true;
    bool m_hasHeader = false;
    // Lines before the first section other than the header and blank lines.
    std::vector<Entry> m_preamble;
    std::vector<Key> m_keys;
};

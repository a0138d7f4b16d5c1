#pragma once

#include "platform/AtlString.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QVarLengthArray>

#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

// The contents of one registry text file (".reg"): the header "Windows Registry Editor
// Version 5.00" (or the older "REGEDIT4"), sections "[HKEY_...\Key]" and values in the forms
// "Name"="text", dword:, hex:, hex(N):, with @ for the default value. Used both for the hive
// files the store keeps and for the files administrators import and export.
//
// Lines are read the way Windows' import reads them, one at a time: a line it would skip is
// kept verbatim in place with the reason (so rewriting a file never drops it, and an import
// can tell the administrator), and the lines around it count as usual.
//
// Key and value names compare without regard to case and keep the case they were written
// with. A value keeps its type and exact bytes.
//
// Every reader sees the file as Windows' import would leave the registry: sections are applied
// in order, so a value given twice (in one section or in two sections of the same key) has its
// last data, and "NAME"=- or a later [-KEY] removes what came before. The keys are indexed once
// per parse, so each lookup costs the length of the name, not the size of the file.
class CHive {
public:
    struct Value {
        CAtlString name;
        uint32_t type = 0;
        QByteArray data;
    };
    // Removed: a line an edit dropped; it stays in place so that positions do not move, and
    // is never written.
    enum class EntryKind { Value, DeleteValue, Verbatim, Removed };
    struct Entry {
        EntryKind kind = EntryKind::Verbatim;
        Value value;
        // The original line(s) of a verbatim entry.
        QString text;
        // Why a verbatim entry that is no comment was not read.
        QString why;
        int line = 0;
    };
    struct Key {
        // As written, without the brackets and the "-" of a deletion; separators at the end
        // are part of it (CanonicalKeyName drops them).
        CAtlString name;
        // The section line as read, written back as it was; empty for a key an edit added.
        QString text;
        // "[-KEY]" in an import file: the key and all below it go.
        bool deleteTree = false;
        // Dropped by an edit; never written.
        bool removed = false;
        std::vector<Entry> entries;
        int line = 0;
    };
    // The first line of the file. Unsupported is a line that starts with "REGEDIT" but is none
    // of the others: Windows accepts such a file and imports nothing from it. Win31 ("REGEDIT"
    // alone) is followed by lines "HKEY_CLASSES_ROOT\Key = default value".
    enum class Format { None, Win31, Regedit4, Version5, Unsupported };
    struct Skipped {
        int line = 0;
        QString why;
    };

    static const QString kHeader;

    // Accepts UTF-8 (with or without a byte-order mark), UTF-16LE with a byte-order mark,
    // the form Windows exports, or without one, and other 8-bit text as the Windows code page
    // 1252. Never fails. Without the index (for a file that is only applied section by
    // section, such as an import) the lookups below find nothing; Keys(), SkippedLines() and
    // Serialize() work all the same.
    enum class Index { Build, Skip };
    void Parse(const QByteArray& bytes, Index index = Index::Build);
    // The store's own form: UTF-8 with "\n" line ends and the file's own header line first
    // ("Windows Registry Editor Version 5.00" for a file that had none).
    QByteArray Serialize() const;

    // False when writing the file back would change lines nobody asked to change: text that
    // is neither UTF-8 nor UTF-16, that holds a nul character, or that has the header of a
    // form older than "REGEDIT4".
    bool IsLossless() const { return m_lossless; }
    Format FileFormat() const { return m_format; }
    bool HasHeader() const { return m_format != Format::None; }
    // Lines that are neither blank, comments, sections nor values that could be read, with
    // the reason; in file order.
    QList<Skipped> SkippedLines() const;

    // Key names are full: root (long or short form) and path, e.g. "HKCU\Software\X".
    bool KeyExists(const CAtlString& key) const;
    // The value as the file finally sets it, or null. Valid until the next change.
    const Value* FindValue(const CAtlString& key, const CAtlString& name) const;
    // Every value of the key, in the order they were first set; valid until the next change.
    std::vector<const Value*> Values(const CAtlString& key) const;
    // Does nothing for a key under no known root.
    void CreateKey(const CAtlString& key);
    // Creates the key when needed. An existing value keeps its place and the name readers
    // showed, and is afterwards the only line for that name in the key.
    void SetValue(const CAtlString& key, const Value& value);
    bool DeleteValue(const CAtlString& key, const CAtlString& name);
    // Removes the key and every key below it; false when there was none, and for a root,
    // which (as in Windows) cannot be deleted.
    bool DeleteKeyTree(const CAtlString& key);
    // The names of the keys directly below key, in the order Windows lists them (compared in
    // upper case).
    QStringList SubKeyNames(const CAtlString& key) const;
    // The full names of key and of every key below it, each key before its subkeys and
    // subkeys in the order of SubKeyNames; empty when key does not exist. key itself is named
    // as given (with the root's long name), the keys below it as they were written.
    QStringList KeyTree(const CAtlString& key) const;
    // key and every key below it with the values each reads as, in the order of KeyTree and
    // Values, exactly as Windows' "reg export" writes them: UTF-16LE with a byte-order mark,
    // "\r\n" line ends, hexadecimal data wrapped before column 80, a blank line at the end; a
    // REG_SZ without any bytes is "" as Windows writes it.
    QByteArray Export(const CAtlString& key) const;
    // The sections in file order (for applying an import file in order); those an edit
    // dropped are marked removed.
    const std::vector<Key>& Keys() const { return m_keys; }

    // The key name with its root in the long form ("HKEY_LOCAL_MACHINE\..."), without the
    // separators at its end; empty when the root is none of the known ones or a name in the path is
    // empty ("HKCU\a\\b").
    static CAtlString CanonicalKeyName(const CAtlString& key);
    // One value as a line of the store's files, without line end. eightBitStrings:
    // REG_EXPAND_SZ and REG_MULTI_SZ as 8-bit text, as a "REGEDIT4" file holds them.
    static QString FormatValue(const Value& value, bool eightBitStrings = false);

private:
    struct EntryRef {
        int section = -1;
        int entry = -1;
        bool operator==(const EntryRef&) const = default;
    };
    // One value name of a key: every line for it in the key's sections, and the first and
    // the last line that set it since it was last deleted (none when it is deleted). Readers
    // see the last line in the place of the first.
    struct Slot {
        QVarLengthArray<EntryRef, 1> lines;
        EntryRef first;
        EntryRef last;
        bool Present() const { return last.section >= 0; }
    };
    // A value name (case-folded) of one node.
    struct ValueKey {
        int node = -1;
        QString name;
        bool operator==(const ValueKey&) const = default;
    };
    struct ValueKeyHash {
        size_t operator()(const ValueKey& key) const { return qHash(key.name, key.node); }
    };
    // One key of the tree: its own name (last component) as first written, and the sections
    // that make it up. Removed nodes stay in m_nodes, unlinked, so that ids are never reused
    // and values of removed nodes are never reached again.
    struct Node {
        QString name;
        int parent = -1;
        std::map<QString, int, std::less<>> children; // by case-folded name
        std::vector<int> sections;
    };

    void BuildIndex();
    // The node of the key (a canonical name), created with its ancestors when create is set;
    // -1 when there is none.
    int Walk(const QString& canonical, bool create);
    int FindNode(const CAtlString& key) const;
    // The node of the key, given a section of its own at the end of the file when it has none;
    // -1 for a key under no known root.
    int KeyWithSection(const CAtlString& key);
    std::vector<const Value*> ValuesOf(int id) const;
    // The children of the node in the order Windows enumerates them.
    std::vector<int> SortedChildren(int id) const;
    // The node ids and full names of KeyTree(key).
    std::vector<std::pair<int, QString>> Tree(const CAtlString& key) const;
    // Applies one line of section (index) to the node's values.
    void IndexEntry(int node, int section, int entry);
    // Unlinks the node and everything below it; drop also removes their sections from the
    // file. Ancestors left without sections or subkeys go as well.
    void RemoveTree(int id, bool drop);
    Entry& At(const EntryRef& ref) { return m_keys[ref.section].entries[ref.entry]; }
    const Entry& Line(const EntryRef& ref) const { return m_keys[ref.section].entries[ref.entry]; }
    bool WritesEightBitStrings() const;

    bool m_lossless = true;
    Format m_format = Format::None;
    // Lines before the first section other than the header and blank lines.
    std::vector<Entry> m_preamble;
    std::vector<Key> m_keys;
    std::vector<Node> m_nodes;
    std::map<QString, int, std::less<>> m_roots; // by case-folded long root name
    std::unordered_map<ValueKey, Slot, ValueKeyHash> m_values;
};

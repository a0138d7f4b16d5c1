#pragma once

#include "platform/AtlString.h"

#include <QByteArray>
#include <QStringList>

#include <optional>
#include <vector>

// The text of an INI file with the rules Windows applies to it: section and key names
// compare without regard to case, values are trimmed and lose one pair of enclosing quotes,
// and a change touches only its own line, so every other section, key, comment and the
// order stay as they were. The file's encoding (UTF-8, UTF-16LE with or without byte-order
// mark, or an 8-bit code page) is kept, and so is every byte of the lines a change does not touch:
// each line's own line end, a last line without one, an odd byte after the last UTF-16
// character.
class CIniFile {
public:
    void Parse(const QByteArray& bytes);
    // False when a character cannot be written in the file's 8-bit encoding, or when the
    // bytes would be read in another encoding than the file's (out is then unchanged).
    bool Serialize(QByteArray& out) const;

    // The value, or nothing when the section or key is absent.
    std::optional<CAtlString> Get(const CAtlString& section, const CAtlString& key) const;
    // False (and nothing changed) for a name or value that cannot stand on one INI line.
    bool Set(const CAtlString& section, const CAtlString& key, const CAtlString& value);
    void DeleteKey(const CAtlString& section, const CAtlString& key);
    void DeleteSection(const CAtlString& section);

private:
    enum class Encoding {
        Utf8,
        Utf8WithMark,
        Utf16,
        Utf16WithoutMark,
        EightBit,
        EightBitAfterMark
    };
    // The lines of the section's body: [first, end). False when there is no such section.
    bool FindSection(const CAtlString& section, qsizetype& first, qsizetype& end) const;
    qsizetype FindKey(qsizetype first, qsizetype end, const CAtlString& key) const;

    struct Line {
        QString text;
        // "\r\n", "\n", or empty for a last line without a line end.
        QString end;
    };
    void Insert(qsizetype at, const QString& text);

    std::vector<Line> m_lines;
    Encoding m_encoding = Encoding::Utf8;
    // The line end of new lines: CRLF when the file has any.
    QString m_newline;
    // A byte of a UTF-16 file that makes no whole character.
    QByteArray m_trailing;
};

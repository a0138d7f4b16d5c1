#include "platform/Hive.h"
#include "platform/Utf16.h"

#include "platform/RegistryTypes.h"

#include <QStringDecoder>

namespace {
struct RootName {
    const char16_t* shortName;
    const char16_t* longName;
};
constexpr RootName kRoots[] = {
    {u"HKLM", u"HKEY_LOCAL_MACHINE"},  {u"HKCU", u"HKEY_CURRENT_USER"},
    {u"HKCR", u"HKEY_CLASSES_ROOT"},   {u"HKU", u"HKEY_USERS"},
    {u"HKCC", u"HKEY_CURRENT_CONFIG"},
};

bool SameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Whether key lies below parent (both canonical).
bool IsBelow(const QString& key, const QString& parent) {
    return key.size() > parent.size() + 1 && key[parent.size()] == u'\\' &&
           SameName(key.left(parent.size()), parent);
}

QString Escape(const QString& text) {
    QString out;
    out.reserve(text.size() + 2);
    for (QChar c : text) {
        if (c == u'\\' || c == u'"')
            out += u'\\';
        out += c;
    }
    return out;
}

// Reads a quoted string starting at text[pos] == '"'; pos ends after the closing quote.
bool ReadQuoted(const QString& text, qsizetype& pos, QString& out) {
    if (pos >= text.size() || text[pos] != u'"')
        return false;
    out.clear();
    for (++pos; pos < text.size(); ++pos) {
        const QChar c = text[pos];
        if (c == u'"') {
            ++pos;
            return true;
        }
        // Only \\ and \" are escapes; any other backslash is an ordinary character, as in
        // the files Windows writes.
        if (c == u'\\' && pos + 1 < text.size() &&
            (text[pos + 1] == u'\\' || text[pos + 1] == u'"')) {
            out += text[++pos];
            continue;
        }
        out += c;
    }
    return false;
}

void SkipSpaces(const QString& text, qsizetype& pos) {
    while (pos < text.size() && (text[pos] == u' ' || text[pos] == u'\t'))
        ++pos;
}

// The text of REG_SZ data when it is exactly one nul-terminated string that fits on one
// line between quotes; anything else is written in hex so that no byte is lost.
bool PlainText(const QByteArray& data, QString& text) {
    if (data.size() < 2 || data.size() % 2 != 0 || data.at(data.size() - 1) != 0 ||
        data.at(data.size() - 2) != 0)
        return false;
    text.clear();
    for (qsizetype i = 0; i + 2 < data.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(static_cast<uint8_t>(data[i]) |
                                                 (static_cast<uint8_t>(data[i + 1]) << 8));
        if (c == 0 || c == u'\n' || c == u'\r')
            return false;
        text += QChar(c);
    }
    return true;
}

QString HexList(const QByteArray& data) {
    QString out;
    out.reserve(data.size() * 3);
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (i > 0)
            out += u',';
        out += QString::asprintf("%02x", static_cast<uint8_t>(data[i]));
    }
    return out;
}

bool ParseHexList(QString text, QByteArray& out) {
    // Continuation marks and line breaks of a long value carry no data.
    text.remove(u'\\');
    out.clear();
    const QStringList parts = text.split(u',');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString part = parts[i].trimmed();
        if (part.isEmpty()) {
            // Nothing at all ("hex:") is an empty value; a trailing comma is tolerated.
            if (i == parts.size() - 1)
                continue;
            return false;
        }
        bool ok = false;
        const uint byte = part.toUInt(&ok, 16);
        if (!ok || part.size() > 2 || byte > 0xff)
            return false;
        out += static_cast<char>(byte);
    }
    return true;
}

bool IsHeader(const QString& line) {
    return line == CHive::kHeader || line == QLatin1String("REGEDIT4");
}
} // namespace

const QString CHive::kHeader = QStringLiteral("Windows Registry Editor Version 5.00");

CAtlString CHive::CanonicalKeyName(const CAtlString& key) {
    const qsizetype separator = key.indexOf(u'\\');
    const QString root = separator < 0 ? key : key.left(separator);
    for (const RootName& known : kRoots) {
        if (SameName(root, QString::fromUtf16(known.shortName)) ||
            SameName(root, QString::fromUtf16(known.longName))) {
            return QString::fromUtf16(known.longName) +
                   (separator < 0 ? QString() : key.mid(separator));
        }
    }
    return {};
}

bool CHive::ParseValueLine(const QString& line, Entry& out) {
    qsizetype pos = 0;
    SkipSpaces(line, pos);
    Value value;
    if (pos < line.size() && line[pos] == u'@') {
        ++pos;
    } else if (!ReadQuoted(line, pos, value.name)) {
        return false;
    }
    SkipSpaces(line, pos);
    if (pos >= line.size() || line[pos] != u'=')
        return false;
    ++pos;
    SkipSpaces(line, pos);
    const QString data = line.mid(pos).trimmed();
    pos = 0;

    if (data == QLatin1String("-")) {
        out.kind = EntryKind::DeleteValue;
        out.value = value;
        return true;
    }
    if (data.startsWith(u'"')) {
        QString text;
        if (!ReadQuoted(data, pos, text) || pos != data.size())
            return false;
        value.type = REG_SZ;
        value.data = Utf16LeWithNul(text);
    } else if (data.startsWith(QLatin1String("dword:"), Qt::CaseInsensitive)) {
        const QString digits = data.mid(6);
        bool ok = false;
        const uint32_t number = digits.toUInt(&ok, 16);
        if (!ok || digits.isEmpty() || digits.size() > 8 || digits.startsWith(u'+') ||
            digits.startsWith(u'-'))
            return false;
        value.type = REG_DWORD;
        value.data.resize(4);
        for (int i = 0; i < 4; ++i)
            value.data[i] = static_cast<char>((number >> (8 * i)) & 0xff);
    } else if (data.startsWith(QLatin1String("hex:"), Qt::CaseInsensitive)) {
        value.type = REG_BINARY;
        if (!ParseHexList(data.mid(4), value.data))
            return false;
    } else if (data.startsWith(QLatin1String("hex("), Qt::CaseInsensitive)) {
        const qsizetype close = data.indexOf(QLatin1String("):"));
        if (close < 5)
            return false;
        bool ok = false;
        value.type = data.mid(4, close - 4).toUInt(&ok, 16);
        if (!ok || !ParseHexList(data.mid(close + 2), value.data))
            return false;
    } else {
        return false;
    }
    out.kind = EntryKind::Value;
    out.value = value;
    return true;
}

QString CHive::FormatValue(const Value& value) {
    QString line = value.name.isEmpty() ? QStringLiteral("@") : u'"' + Escape(value.name) + u'"';
    line += u'=';
    QString text;
    if (value.type == REG_SZ && PlainText(value.data, text)) {
        line += u'"' + Escape(text) + u'"';
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t number = 0;
        for (int i = 3; i >= 0; --i)
            number = (number << 8) | static_cast<uint8_t>(value.data[i]);
        line += QString::asprintf("dword:%08x", number);
    } else if (value.type == REG_BINARY) {
        line += QStringLiteral("hex:") + HexList(value.data);
    } else {
        line += QString::asprintf("hex(%x):", value.type) + HexList(value.data);
    }
    return line;
}

namespace {
// QString holds a lone surrogate without complaint, but no UTF-8 file can: a hive read from
// UTF-16 with one would be rewritten with U+FFFD in its place.
bool HasLoneSurrogate(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            return true;
    }
    return false;
}
} // namespace

void CHive::Parse(const QByteArray& bytes) {
    m_lossless = true;
    m_hasHeader = false;
    m_preamble.clear();
    m_keys.clear();

    QString text;
    if (bytes.startsWith("\xff\xfe")) {
        const QByteArray body = bytes.mid(2);
        m_lossless = body.size() % 2 == 0;
        QStringDecoder decoder(QStringDecoder::Utf16LE);
        text = decoder.decode(body);
        m_lossless = m_lossless && !decoder.hasError() && !HasLoneSurrogate(text);
    } else {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        text = decoder.decode(bytes.startsWith("\xef\xbb\xbf") ? bytes.mid(3) : bytes);
        m_lossless = !decoder.hasError();
    }

    const QStringList lines = text.split(u'\n');
    Key* current = nullptr;
    bool seenContent = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        if (line.endsWith(u'\r'))
            line.chop(1);
        const int lineNumber = static_cast<int>(i + 1);
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty())
            continue;
        if (!seenContent) {
            seenContent = true;
            if (IsHeader(trimmed)) {
                m_hasHeader = true;
                continue;
            }
        }
        if (trimmed.startsWith(u'[') && trimmed.endsWith(u']')) {
            Key key;
            key.name = trimmed.mid(1, trimmed.size() - 2);
            if (key.name.startsWith(u'-')) {
                key.deleteTree = true;
                key.name.remove(0, 1);
            }
            key.line = lineNumber;
            m_keys.push_back(key);
            current = &m_keys.back();
            continue;
        }
        // A long hex value goes on over several lines, each but the last ending in "\".
        QString joined = line;
        QString original = line;
        while (joined.trimmed().endsWith(u'\\') && i + 1 < lines.size()) {
            QString next = lines[++i];
            if (next.endsWith(u'\r'))
                next.chop(1);
            joined = joined.trimmed();
            joined.chop(1);
            joined += next;
            original += u'\n' + next;
        }
        Entry entry;
        entry.line = lineNumber;
        if (current == nullptr || trimmed.startsWith(u';') || !ParseValueLine(joined, entry)) {
            entry.kind = EntryKind::Verbatim;
            entry.text = original;
        }
        if (current == nullptr)
            m_preamble.push_back(entry);
        else
            current->entries.push_back(entry);
    }
}

QByteArray CHive::Serialize() const {
    QString out = kHeader + u'\n';
    if (!m_preamble.empty()) {
        out += u'\n';
        for (const Entry& entry : m_preamble)
            out += entry.text + u'\n';
    }
    for (const Key& key : m_keys) {
        out += u'\n';
        out += u'[' + QString(key.deleteTree ? QStringLiteral("-") : QString()) + key.name +
               QStringLiteral("]\n");
        for (const Entry& entry : key.entries) {
            switch (entry.kind) {
            case EntryKind::Value:
                out += FormatValue(entry.value);
                break;
            case EntryKind::DeleteValue:
                out += (entry.value.name.isEmpty() ? QStringLiteral("@")
                                                   : u'"' + Escape(entry.value.name) + u'"') +
                       QStringLiteral("=-");
                break;
            case EntryKind::Verbatim:
                out += entry.text;
                break;
            }
            out += u'\n';
        }
    }
    return out.toUtf8();
}

QList<int> CHive::UnreadLines() const {
    QList<int> lines;
    auto collect = [&lines](const std::vector<Entry>& entries) {
        for (const Entry& entry : entries) {
            if (entry.kind == EntryKind::Verbatim && !entry.text.trimmed().startsWith(u';'))
                lines += entry.line;
        }
    };
    collect(m_preamble);
    for (const Key& key : m_keys)
        collect(key.entries);
    return lines;
}

CHive::Key* CHive::FindKey(const CAtlString& key) {
    const QString wanted = CanonicalKeyName(key);
    if (wanted.isEmpty())
        return nullptr;
    for (Key& candidate : m_keys) {
        if (!candidate.deleteTree && SameName(CanonicalKeyName(candidate.name), wanted))
            return &candidate;
    }
    return nullptr;
}

const CHive::Key* CHive::FindKey(const CAtlString& key) const {
    return const_cast<CHive*>(this)->FindKey(key);
}

bool CHive::KeyExists(const CAtlString& key) const {
    const QString wanted = CanonicalKeyName(key);
    if (wanted.isEmpty())
        return false;
    if (!wanted.contains(u'\\'))
        return true;
    // A key exists also when only keys below it have sections of their own.
    for (const Key& candidate : m_keys) {
        const QString name = CanonicalKeyName(candidate.name);
        if (!candidate.deleteTree && (SameName(name, wanted) || IsBelow(name, wanted)))
            return true;
    }
    return false;
}

const CHive::Value* CHive::FindValue(const CAtlString& key, const CAtlString& name) const {
    const Key* found = FindKey(key);
    if (found == nullptr)
        return nullptr;
    for (const Entry& entry : found->entries) {
        if (entry.kind == EntryKind::Value && SameName(entry.value.name, name))
            return &entry.value;
    }
    return nullptr;
}

void CHive::CreateKey(const CAtlString& key) {
    if (FindKey(key) != nullptr)
        return;
    Key created;
    created.name = key;
    m_keys.push_back(created);
}

void CHive::SetValue(const CAtlString& key, const Value& value) {
    CreateKey(key);
    Key* target = FindKey(key);
    for (Entry& entry : target->entries) {
        if (entry.kind == EntryKind::Value && SameName(entry.value.name, value.name)) {
            entry.value.type = value.type;
            entry.value.data = value.data;
            return;
        }
    }
    Entry entry;
    entry.kind = EntryKind::Value;
    entry.value = value;
    target->entries.push_back(entry);
}

bool CHive::DeleteValue(const CAtlString& key, const CAtlString& name) {
    Key* target = FindKey(key);
    if (target == nullptr)
        return false;
    for (auto it = target->entries.begin(); it != target->entries.end(); ++it) {
        if (it->kind == EntryKind::Value && SameName(it->value.name, name)) {
            target->entries.erase(it);
            return true;
        }
    }
    return false;
}

bool CHive::DeleteKeyTree(const CAtlString& key) {
    const QString wanted = CanonicalKeyName(key);
    if (wanted.isEmpty())
        return false;
    const auto before = m_keys.size();
    std::erase_if(m_keys, [&wanted](const Key& candidate) {
        const QString name = CanonicalKeyName(candidate.name);
        return SameName(name, wanted) || IsBelow(name, wanted);
    });
    return m_keys.size() != before;
}

QStringList CHive::SubKeyNames(const CAtlString& key) const {
    const QString parent = CanonicalKeyName(key);
    QStringList names;
    if (parent.isEmpty())
        return names;
    for (const Key& candidate : m_keys) {
        const QString name = CanonicalKeyName(candidate.name);
        if (candidate.deleteTree || !IsBelow(name, parent))
            continue;
        const QString child = name.mid(parent.size() + 1).section(u'\\', 0, 0);
        if (!names.contains(child, Qt::CaseInsensitive))
            names += child;
    }
    return names;
}

std::vector<const CHive::Key*> CHive::KeysBelow(const CAtlString& key) const {
    const QString wanted = CanonicalKeyName(key);
    std::vector<const Key*> keys;
    if (wanted.isEmpty())
        return keys;
    for (const Key& candidate : m_keys) {
        const QString name = CanonicalKeyName(candidate.name);
        if (!candidate.deleteTree && (SameName(name, wanted) || IsBelow(name, wanted)))
            keys.push_back(&candidate);
    }
    return keys;
}

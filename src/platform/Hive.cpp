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

const QString kRegedit4 = QStringLiteral("REGEDIT4");

bool NeedsFold(QStringView name) {
    for (QChar c : name) {
        if (c.unicode() >= 0x80 || (c >= u'A' && c <= u'Z'))
            return true;
    }
    return false;
}

// Names compare in their case-folded form. Most are ASCII, folded here without the Unicode
// tables, and without a copy when they are folded already.
QString Fold(const QString& name) {
    if (!NeedsFold(name))
        return name;
    for (QChar c : name) {
        if (c.unicode() >= 0x80)
            return name.toCaseFolded();
    }
    QString folded = name;
    for (QChar& c : folded) {
        if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() + (u'a' - u'A'));
    }
    return folded;
}

// One component as it is when it needs no folding, else its folded copy in buffer.
QStringView FoldedView(QStringView part, QString& buffer) {
    if (!NeedsFold(part))
        return part;
    buffer = Fold(part.toString());
    return buffer;
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

QString QuotedName(const QString& name) {
    return name.isEmpty() ? QStringLiteral("@") : u'"' + Escape(name) + u'"';
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

// Splits a value line into its name and the data after "="; false when it is none.
bool SplitValueLine(const QString& line, QString& name, QString& data) {
    qsizetype pos = 0;
    SkipSpaces(line, pos);
    name.clear();
    if (pos < line.size() && line[pos] == u'@') {
        ++pos;
    } else if (!ReadQuoted(line, pos, name)) {
        return false;
    }
    SkipSpaces(line, pos);
    if (pos >= line.size() || line[pos] != u'=')
        return false;
    ++pos;
    SkipSpaces(line, pos);
    data = line.mid(pos).trimmed();
    return true;
}

bool IsHexData(const QString& data) {
    return data.startsWith(QLatin1String("hex:"), Qt::CaseInsensitive) ||
           data.startsWith(QLatin1String("hex("), Qt::CaseInsensitive);
}

// Only hexadecimal data goes on over several lines: a value line with hex data that ends in
// "\" after its last comma (or right after "hex:"). Any other line ending in "\", such as the
// comment "; installed to C:\Tools\", is a line of its own; joining it would hide the section
// after it.
bool ContinuesHexData(QStringView line) {
    QStringView trimmed = line.trimmed();
    if (!trimmed.endsWith(u'\\'))
        return false;
    trimmed = trimmed.chopped(1).trimmed();
    if (!trimmed.endsWith(u',') && !trimmed.endsWith(u':'))
        return false;
    QString name;
    QString data;
    return SplitValueLine(trimmed.toString(), name, data) && IsHexData(data);
}

// A line that can go on a hex value: bytes, commas between them and at most a final "\".
bool IsHexContinuation(QStringView line) {
    const QStringView trimmed = line.trimmed();
    if (trimmed.isEmpty() || HexDigit(trimmed.front()) < 0)
        return false;
    for (qsizetype i = 0; i < trimmed.size(); ++i) {
        const QChar c = trimmed[i];
        if (HexDigit(c) < 0 && c != u',' && c != u' ' && c != u'\t' &&
            !(c == u'\\' && i == trimmed.size() - 1))
            return false;
    }
    return true;
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
    static constexpr char kDigits[] = "0123456789abcdef";
    QString out;
    out.reserve(data.size() * 3);
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (i > 0)
            out += u',';
        const auto byte = static_cast<uint8_t>(data[i]);
        out += QLatin1Char(kDigits[byte >> 4]);
        out += QLatin1Char(kDigits[byte & 0xf]);
    }
    return out;
}

bool ParseHexList(const QString& text, QByteArray& out) {
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
        if (part.size() > 2)
            return false;
        int byte = 0;
        for (QChar c : part) {
            const int digit = HexDigit(c);
            if (digit < 0)
                return false;
            byte = byte * 16 + digit;
        }
        out += static_cast<char>(byte);
    }
    return true;
}

bool IsStringList(uint32_t type) {
    return type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

QString Utf16Text(const QByteArray& data) {
    return FromUtf16Le(data);
}

QByteArray Utf16Bytes(const QString& text) {
    return Utf16LeWithNul(text).chopped(2);
}

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

// An 8-bit string of a "REGEDIT4" file: UTF-8 when it is valid UTF-8 (as this program writes
// it), otherwise the Windows code page, of which Latin-1 keeps every byte.
QString FromEightBit(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString::fromLatin1(bytes) : text;
}

// Whether UTF-16 string data survives the trip through 8-bit text unchanged.
bool FitsEightBit(const QByteArray& data) {
    return data.size() % 2 == 0 && !HasLoneSurrogate(Utf16Text(data));
}

// A line without the carriage returns before its "\n": the file is written with "\n" alone,
// and a return left at the end of a kept line would be taken for a line end when read again.
QStringView WithoutLineEnd(QStringView line) {
    while (line.endsWith(u'\r'))
        line.chop(1);
    return line;
}

// Windows takes lines starting with ";" or "#" for comments.
bool IsComment(QStringView trimmed) {
    return trimmed.startsWith(u';') || trimmed.startsWith(u'#');
}

bool IsHeader(QStringView line) {
    return line == CHive::kHeader || line == kRegedit4;
}
} // namespace

const QString CHive::kHeader = QStringLiteral("Windows Registry Editor Version 5.00");

CAtlString CHive::CanonicalKeyName(const CAtlString& key) {
    const qsizetype separator = key.indexOf(u'\\');
    const QStringView root = separator < 0 ? QStringView(key) : QStringView(key).left(separator);
    for (const RootName& known : kRoots) {
        const QStringView longName(known.longName);
        if (root == longName)
            return key;
        if (root.compare(QStringView(known.shortName), Qt::CaseInsensitive) == 0 ||
            root.compare(longName, Qt::CaseInsensitive) == 0) {
            QString canonical = longName.toString();
            if (separator >= 0)
                canonical += QStringView(key).mid(separator);
            return canonical;
        }
    }
    return {};
}

bool CHive::ParseValueLine(const QString& line, Entry& out, bool eightBitStrings) {
    Value value;
    QString data;
    if (!SplitValueLine(line, value.name, data))
        return false;

    if (data == QLatin1String("-")) {
        out.kind = EntryKind::DeleteValue;
        out.value = value;
        return true;
    }
    if (data.startsWith(u'"')) {
        QString text;
        qsizetype pos = 0;
        if (!ReadQuoted(data, pos, text) || pos != data.size())
            return false;
        value.type = REG_SZ;
        value.data = Utf16LeWithNul(text);
    } else if (data.startsWith(QLatin1String("dword:"), Qt::CaseInsensitive)) {
        // Windows takes spaces after the colon, and nothing but hex digits after them.
        const QString digits = data.mid(6).trimmed();
        if (digits.isEmpty() || digits.size() > 8)
            return false;
        uint32_t number = 0;
        for (QChar c : digits) {
            const int digit = HexDigit(c);
            if (digit < 0)
                return false;
            number = number * 16 + static_cast<uint32_t>(digit);
        }
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
        if (eightBitStrings && IsStringList(value.type))
            value.data = Utf16Bytes(FromEightBit(value.data));
    } else {
        return false;
    }
    out.kind = EntryKind::Value;
    out.value = value;
    return true;
}

QString CHive::FormatValue(const Value& value, bool eightBitStrings) {
    QString line = QuotedName(value.name) + u'=';
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
    } else if (eightBitStrings && IsStringList(value.type)) {
        line += QString::asprintf("hex(%x):", value.type) + HexList(Utf16Text(value.data).toUtf8());
    } else {
        line += QString::asprintf("hex(%x):", value.type) + HexList(value.data);
    }
    return line;
}

void CHive::Parse(const QByteArray& bytes, Index index) {
    m_lossless = true;
    m_header.clear();
    m_preamble.clear();
    m_keys.clear();

    QString text;
    const bool marked = bytes.startsWith("\xff\xfe");
    if (marked || LooksLikeUtf16LeWithoutMark(bytes)) {
        const QByteArray body = marked ? bytes.mid(2) : bytes;
        QStringDecoder decoder(QStringDecoder::Utf16LE);
        text = decoder.decode(body);
        m_lossless = body.size() % 2 == 0 && !decoder.hasError() && !HasLoneSurrogate(text);
    } else {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        text = decoder.decode(bytes.startsWith("\xef\xbb\xbf") ? bytes.mid(3) : bytes);
        m_lossless = !decoder.hasError();
    }
    // A nul is no text: in a file read as UTF-8 it is the trace of UTF-16 that was not
    // recognised, and writing it back would give a file half in one encoding, half in the
    // other.
    if (text.contains(QChar(0)))
        m_lossless = false;

    const QList<QStringView> lines = QStringView(text).split(u'\n');
    Key* current = nullptr;
    bool seenContent = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QStringView line = WithoutLineEnd(lines[i]);
        const int lineNumber = static_cast<int>(i + 1);
        const QStringView trimmed = line.trimmed();
        if (trimmed.isEmpty())
            continue;
        if (!seenContent) {
            seenContent = true;
            if (IsHeader(trimmed)) {
                m_header = trimmed.toString();
                continue;
            }
        }
        if (trimmed.startsWith(u'[') && trimmed.endsWith(u']')) {
            Key key;
            QStringView name = trimmed.mid(1, trimmed.size() - 2);
            if (name.startsWith(u'-')) {
                key.deleteTree = true;
                name = name.mid(1);
            }
            key.name = name.toString();
            key.line = lineNumber;
            m_keys.push_back(std::move(key));
            current = &m_keys.back();
            continue;
        }
        Entry entry;
        entry.line = lineNumber;
        QString joined = line.toString();
        QString original = joined;
        if (ContinuesHexData(line)) {
            while (joined.trimmed().endsWith(u'\\')) {
                joined = joined.trimmed();
                joined.chop(1);
                // Windows goes on over blank lines to the next line of bytes.
                qsizetype next = i + 1;
                while (next < lines.size() && lines[next].trimmed().isEmpty())
                    ++next;
                if (next >= lines.size() || !IsHexContinuation(WithoutLineEnd(lines[next])))
                    break;
                for (++i; i <= next; ++i)
                    original += u'\n' + WithoutLineEnd(lines[i]).toString();
                --i;
                joined += WithoutLineEnd(lines[next]);
            }
        }
        if (current == nullptr || IsComment(trimmed) ||
            !ParseValueLine(joined, entry, m_header == kRegedit4)) {
            entry.kind = EntryKind::Verbatim;
            entry.text = std::move(original);
        }
        if (current == nullptr)
            m_preamble.push_back(std::move(entry));
        else
            current->entries.push_back(std::move(entry));
    }
    m_nodes.clear();
    m_roots.clear();
    m_values.clear();
    if (index == Index::Build)
        BuildIndex();
}

bool CHive::WritesEightBitStrings() const {
    if (m_header != kRegedit4)
        return false;
    // A string list that 8-bit text cannot hold (odd length, half a surrogate pair) turns the
    // file into version 5, where every value can be written as it is.
    for (const Key& key : m_keys) {
        if (key.removed)
            continue;
        for (const Entry& entry : key.entries) {
            if (entry.kind == EntryKind::Value && IsStringList(entry.value.type) &&
                !FitsEightBit(entry.value.data))
                return false;
        }
    }
    return true;
}

QByteArray CHive::Serialize() const {
    const bool eightBit = WritesEightBitStrings();
    QString out = (eightBit ? kRegedit4 : kHeader) + u'\n';
    if (!m_preamble.empty()) {
        out += u'\n';
        for (const Entry& entry : m_preamble)
            out += entry.text + u'\n';
    }
    for (const Key& key : m_keys) {
        if (key.removed)
            continue;
        out += u'\n';
        out += u'[' + QString(key.deleteTree ? QStringLiteral("-") : QString()) + key.name +
               QStringLiteral("]\n");
        for (const Entry& entry : key.entries) {
            switch (entry.kind) {
            case EntryKind::Value:
                out += FormatValue(entry.value, eightBit) + u'\n';
                break;
            case EntryKind::DeleteValue:
                out += QuotedName(entry.value.name) + QStringLiteral("=-\n");
                break;
            case EntryKind::Verbatim:
                out += entry.text + u'\n';
                break;
            case EntryKind::Removed:
                break;
            }
        }
    }
    return out.toUtf8();
}

QList<int> CHive::UnreadLines() const {
    QList<int> lines;
    auto collect = [&lines](const std::vector<Entry>& entries) {
        for (const Entry& entry : entries) {
            if (entry.kind == EntryKind::Verbatim && !IsComment(QStringView(entry.text).trimmed()))
                lines += entry.line;
        }
    };
    collect(m_preamble);
    for (const Key& key : m_keys) {
        if (!key.removed)
            collect(key.entries);
    }
    return lines;
}

void CHive::BuildIndex() {
    for (int section = 0; section < static_cast<int>(m_keys.size()); ++section) {
        const Key& key = m_keys[section];
        const QString canonical = CanonicalKeyName(key.name);
        if (canonical.isEmpty())
            continue;
        if (key.deleteTree) {
            const int id = Walk(canonical, false);
            if (id >= 0)
                RemoveTree(id, false);
            continue;
        }
        const int id = Walk(canonical, true);
        m_nodes[id].sections.push_back(section);
        for (int entry = 0; entry < static_cast<int>(key.entries.size()); ++entry)
            IndexEntry(id, section, entry);
    }
}

void CHive::IndexEntry(int node, int section, int entry) {
    const Entry& line = m_keys[section].entries[entry];
    if (line.kind != EntryKind::Value && line.kind != EntryKind::DeleteValue)
        return;
    Slot& slot = m_values[{node, Fold(line.value.name)}];
    slot.lines.append({section, entry});
    if (line.kind == EntryKind::DeleteValue) {
        slot.first = slot.last = {};
        return;
    }
    if (!slot.Present())
        slot.first = {section, entry};
    slot.last = {section, entry};
}

int CHive::Walk(const QString& canonical, bool create) {
    QString buffer;
    qsizetype start = 0;
    int id = -1;
    while (start <= canonical.size()) {
        qsizetype end = canonical.indexOf(u'\\', start);
        if (end < 0)
            end = canonical.size();
        const QStringView part = QStringView(canonical).mid(start, end - start);
        const QStringView folded = FoldedView(part, buffer);
        auto& level = id < 0 ? m_roots : m_nodes[id].children;
        const auto found = level.find(folded);
        if (found != level.end()) {
            id = found->second;
        } else if (!create) {
            return -1;
        } else {
            Node node;
            node.name = part.toString();
            node.parent = id;
            m_nodes.push_back(std::move(node));
            const int created = static_cast<int>(m_nodes.size() - 1);
            // level may have moved with m_nodes.
            (id < 0 ? m_roots : m_nodes[id].children).emplace(folded.toString(), created);
            id = created;
        }
        start = end + 1;
    }
    return id;
}

int CHive::FindNode(const CAtlString& key) const {
    const QString canonical = CanonicalKeyName(key);
    return canonical.isEmpty() ? -1 : const_cast<CHive*>(this)->Walk(canonical, false);
}

void CHive::RemoveTree(int id, bool drop) {
    int parent = m_nodes[id].parent;
    const QString folded = Fold(m_nodes[id].name);
    std::vector<int> pending{id};
    while (!pending.empty()) {
        Node& node = m_nodes[pending.back()];
        pending.pop_back();
        if (drop) {
            for (int section : node.sections)
                m_keys[section].removed = true;
        }
        for (const auto& [name, child] : node.children)
            pending.push_back(child);
        node = Node();
    }
    // Unlink, and let ancestors that only existed for this key go with it.
    QString name = folded;
    while (true) {
        if (parent < 0) {
            m_roots.erase(name);
            return;
        }
        Node& above = m_nodes[parent];
        above.children.erase(name);
        if (!above.children.empty() || !above.sections.empty())
            return;
        name = Fold(above.name);
        const int next = above.parent;
        above = Node();
        parent = next;
    }
}

bool CHive::KeyExists(const CAtlString& key) const {
    const QString canonical = CanonicalKeyName(key);
    if (canonical.isEmpty())
        return false;
    return !canonical.contains(u'\\') || FindNode(canonical) >= 0;
}

const CHive::Value* CHive::FindValue(const CAtlString& key, const CAtlString& name) const {
    const int id = FindNode(key);
    if (id < 0)
        return nullptr;
    const auto slot = m_values.find({id, Fold(name)});
    return slot == m_values.end() || !slot->second.Present() ? nullptr
                                                             : &Line(slot->second.last).value;
}

std::vector<const CHive::Value*> CHive::Values(const CAtlString& key) const {
    const int id = FindNode(key);
    return id < 0 ? std::vector<const Value*>() : ValuesOf(id);
}

std::vector<const CHive::Value*> CHive::ValuesOf(int id) const {
    std::vector<const Value*> values;
    for (int section : m_nodes[id].sections) {
        const std::vector<Entry>& entries = m_keys[section].entries;
        for (int entry = 0; entry < static_cast<int>(entries.size()); ++entry) {
            if (entries[entry].kind != EntryKind::Value)
                continue;
            const auto slot = m_values.find({id, Fold(entries[entry].value.name)});
            if (slot != m_values.end() && slot->second.Present() &&
                slot->second.first == EntryRef{section, entry})
                values.push_back(&Line(slot->second.last).value);
        }
    }
    return values;
}

int CHive::KeyWithSection(const CAtlString& key) {
    const QString canonical = CanonicalKeyName(key);
    if (canonical.isEmpty())
        return -1;
    const int id = Walk(canonical, true);
    if (m_nodes[id].sections.empty()) {
        Key created;
        created.name = key;
        m_keys.push_back(std::move(created));
        m_nodes[id].sections.push_back(static_cast<int>(m_keys.size() - 1));
    }
    return id;
}

void CHive::CreateKey(const CAtlString& key) {
    KeyWithSection(key);
}

void CHive::SetValue(const CAtlString& key, const Value& value) {
    const int id = KeyWithSection(key);
    if (id < 0)
        return;
    Slot& slot = m_values[{id, Fold(value.name)}];
    // One line for the name afterwards: the one that set it first keeps its place (the order
    // Windows lists values in); a value that is absent goes after everything that deleted it.
    const bool present = slot.Present();
    for (const EntryRef& ref : slot.lines) {
        if (!present || !(ref == slot.first))
            At(ref).kind = EntryKind::Removed;
    }
    if (present) {
        // Under the name readers saw, which is that of the last line.
        Entry& entry = At(slot.first);
        entry.value.name = At(slot.last).value.name;
        entry.value.type = value.type;
        entry.value.data = value.data;
    } else {
        const int section = m_nodes[id].sections.back();
        Entry entry;
        entry.kind = EntryKind::Value;
        entry.value = value;
        m_keys[section].entries.push_back(std::move(entry));
        slot.first = {section, static_cast<int>(m_keys[section].entries.size() - 1)};
    }
    slot.last = slot.first;
    slot.lines = {slot.first};
}

bool CHive::DeleteValue(const CAtlString& key, const CAtlString& name) {
    const int id = FindNode(key);
    if (id < 0)
        return false;
    const auto slot = m_values.find({id, Fold(name)});
    if (slot == m_values.end() || !slot->second.Present())
        return false;
    for (const EntryRef& ref : slot->second.lines)
        At(ref).kind = EntryKind::Removed;
    m_values.erase(slot);
    return true;
}

bool CHive::DeleteKeyTree(const CAtlString& key) {
    const int id = FindNode(key);
    if (id < 0)
        return false;
    RemoveTree(id, true);
    return true;
}

QStringList CHive::SubKeyNames(const CAtlString& key) const {
    QStringList names;
    const int id = FindNode(key);
    if (id < 0)
        return names;
    for (const auto& [folded, child] : m_nodes[id].children)
        names += m_nodes[child].name;
    return names;
}

std::vector<std::pair<int, QString>> CHive::Tree(const CAtlString& key) const {
    std::vector<std::pair<int, QString>> tree;
    const int top = FindNode(key);
    if (top < 0)
        return tree;
    // The full name of the top key as written, rebuilt from its ancestors.
    QStringList parts;
    for (int id = top; id >= 0; id = m_nodes[id].parent)
        parts.prepend(m_nodes[id].name);
    // Depth first without recursion: a hostile file may nest keys thousands deep.
    std::vector<std::pair<int, QString>> pending{{top, parts.join(u'\\')}};
    while (!pending.empty()) {
        auto [id, name] = std::move(pending.back());
        pending.pop_back();
        const Node& node = m_nodes[id];
        for (auto child = node.children.rbegin(); child != node.children.rend(); ++child)
            pending.emplace_back(child->second, name + u'\\' + m_nodes[child->second].name);
        tree.emplace_back(id, std::move(name));
    }
    return tree;
}

QStringList CHive::KeyTree(const CAtlString& key) const {
    QStringList names;
    for (auto& [id, name] : Tree(key))
        names += std::move(name);
    return names;
}

QByteArray CHive::Export(const CAtlString& key) const {
    QString out = kHeader + u'\n';
    const std::vector<std::pair<int, QString>> tree = Tree(key);
    if (tree.empty())
        out += QStringLiteral("\n[%1]\n").arg(CanonicalKeyName(key));
    for (const auto& [id, name] : tree) {
        out += QStringLiteral("\n[") + name + QStringLiteral("]\n");
        for (const Value* value : ValuesOf(id))
            out += FormatValue(*value) + u'\n';
    }
    return out.toUtf8();
}

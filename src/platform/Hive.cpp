#include "platform/Hive.h"
#include "platform/Utf16.h"

#include "platform/RegistryTypes.h"

#include <QStringDecoder>

#include <algorithm>

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

void SkipSpaces(QStringView text, qsizetype& pos) {
    while (pos < text.size() && (text[pos] == u' ' || text[pos] == u'\t'))
        ++pos;
}

// Whether only blanks and perhaps a ";" comment follow pos: what Windows allows after data.
bool EndsHere(QStringView text, qsizetype pos) {
    SkipSpaces(text, pos);
    return pos >= text.size() || text[pos] == u';';
}

// Reads a quoted name starting at text[pos] == '"'; pos ends after the closing quote. In a
// name only \\ and \" are escapes; any other backslash is an ordinary character.
bool ReadQuotedName(QStringView text, qsizetype& pos, QString& out) {
    out.clear();
    for (++pos; pos < text.size(); ++pos) {
        const QChar c = text[pos];
        if (c == u'"') {
            ++pos;
            return true;
        }
        if (c == u'\\' && pos + 1 < text.size() &&
            (text[pos + 1] == u'\\' || text[pos + 1] == u'"')) {
            out += text[++pos];
            continue;
        }
        out += c;
    }
    return false;
}

// String data between quotes, starting at text[pos] == '"'. Windows reads \\, \", \n and \r,
// and ends the string at \0 (what follows up to the closing quote is dropped); any other
// backslash is an ordinary character.
bool ReadStringData(QStringView text, qsizetype& pos, QString& out) {
    out.clear();
    bool ended = false;
    for (++pos; pos < text.size(); ++pos) {
        QChar c = text[pos];
        if (c == u'"') {
            ++pos;
            return true;
        }
        if (c == u'\\' && pos + 1 < text.size()) {
            const QChar next = text[pos + 1];
            if (next == u'\\' || next == u'"' || next == u'n' || next == u'r' || next == u'0') {
                ++pos;
                c = next == u'n' ? QChar(u'\n') : next == u'r' ? QChar(u'\r') : next;
                if (next == u'0')
                    ended = true;
            }
        }
        if (!ended)
            out += c;
    }
    return false;
}

// Appends the bytes of a comma-separated hex list ("01,ff,2"). Windows takes one or two (or
// more, with leading zeros) digits per byte, allows blanks before a byte, requires the comma
// right after it, ends the data at a ";" comment, and goes on to the next line when a "\"
// stands where a byte would (after the last comma, or right after "hex:").
bool AppendHexBytes(QStringView text, QByteArray& out, bool& continues) {
    continues = false;
    qsizetype pos = 0;
    while (true) {
        SkipSpaces(text, pos);
        if (pos >= text.size() || text[pos] == u';')
            return true;
        if (text[pos] == u'\\') {
            continues = true;
            return true;
        }
        int byte = 0;
        const qsizetype start = pos;
        for (; pos < text.size() && HexDigit(text[pos]) >= 0; ++pos) {
            byte = byte * 16 + HexDigit(text[pos]);
            if (byte > 0xff)
                return false;
        }
        if (pos == start)
            return false;
        out += static_cast<char>(byte);
        if (pos < text.size() && text[pos] == u',') {
            ++pos;
            continue;
        }
        return EndsHere(text, pos);
    }
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

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendHexByte(QString& out, uint8_t byte) {
    out += QLatin1Char(kHexDigits[byte >> 4]);
    out += QLatin1Char(kHexDigits[byte & 0xf]);
}

QString HexList(const QByteArray& data) {
    QString out;
    out.reserve(data.size() * 3);
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (i > 0)
            out += u',';
        AppendHexByte(out, static_cast<uint8_t>(data[i]));
    }
    return out;
}

// The hex data of a line that starts with prefix ("Name"=hex:), wrapped as Windows' export
// wraps it: after the comma that brings the line to 77 characters or more, a "\" and a new
// line indented by two blanks, so that no line is longer than 80 characters.
QString WrappedHexList(QString prefix, const QByteArray& data) {
    QString& out = prefix;
    qsizetype column = out.size();
    out.reserve(out.size() + data.size() * 3 + data.size() / 8);
    for (qsizetype i = 0; i < data.size(); ++i) {
        AppendHexByte(out, static_cast<uint8_t>(data[i]));
        if (i == data.size() - 1)
            break;
        out += u',';
        column += 3;
        if (column >= 77) {
            out += QLatin1String("\\\r\n  ");
            column = 2;
        }
    }
    return out;
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

// The Windows code page 1252, which the 8-bit files Windows writes use: Latin-1 but for
// 0x80 to 0x9f.
QString FromWindows1252(QByteArrayView bytes) {
    static constexpr char16_t kHigh[32] = {
        0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008d, 0x017d, 0x008f, 0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
        0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178};
    QString text(bytes.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<uint8_t>(bytes[i]);
        text[i] = QChar(byte >= 0x80 && byte < 0xa0 ? kHigh[byte - 0x80] : char16_t(byte));
    }
    return text;
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
// it), otherwise the Windows code page.
QString FromEightBit(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder.decode(bytes);
    return decoder.hasError() ? FromWindows1252(bytes) : text;
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

// The first line, compared as Windows does: blanks before it are allowed, anything else
// must match exactly.
CHive::Format HeaderFormat(QStringView line) {
    qsizetype pos = 0;
    SkipSpaces(line, pos);
    line = line.mid(pos);
    if (line == CHive::kHeader)
        return CHive::Format::Version5;
    if (line == kRegedit4)
        return CHive::Format::Regedit4;
    if (line == u"REGEDIT")
        return CHive::Format::Win31;
    if (line.startsWith(u"REGEDIT"))
        return CHive::Format::Unsupported;
    return CHive::Format::None;
}

// Reads one value line. For hexadecimal data that goes on to the next line, continues is set
// and the bytes so far are in out. Returns why the line cannot be read, or nothing.
QString ParseValue(QStringView line, CHive::Entry& out, bool& continues) {
    continues = false;
    CHive::Value& value = out.value;
    qsizetype pos = 0;
    SkipSpaces(line, pos);
    if (pos < line.size() && line[pos] == u'@')
        ++pos;
    else if (!ReadQuotedName(line, pos, value.name))
        return QStringLiteral("the value name has no closing quote");
    SkipSpaces(line, pos);
    if (pos >= line.size() || line[pos] != u'=')
        return QStringLiteral("no \"=\" after the value name");
    ++pos;
    SkipSpaces(line, pos);
    const QStringView data = line.mid(pos);
    out.kind = CHive::EntryKind::Value;
    if (data.startsWith(u'-')) {
        out.kind = CHive::EntryKind::DeleteValue;
        return {};
    }
    if (data.startsWith(u'"')) {
        qsizetype end = 0;
        QString text;
        if (!ReadStringData(data, end, text))
            return QStringLiteral("the string has no closing quote");
        if (!EndsHere(data, end))
            return QStringLiteral("text after the closing quote");
        value.type = REG_SZ;
        value.data = Utf16LeWithNul(text);
        return {};
    }
    // The type names are compared as Windows does, in lower case only.
    if (data.startsWith(u"dword:")) {
        qsizetype end = 6;
        SkipSpaces(data, end);
        const qsizetype start = end;
        uint32_t number = 0;
        for (; end < data.size() && HexDigit(data[end]) >= 0; ++end)
            number = number * 16 + static_cast<uint32_t>(HexDigit(data[end]));
        if (end == start || end - start > 8 || !EndsHere(data, end))
            return QStringLiteral("a dword needs 1 to 8 hexadecimal digits");
        value.type = REG_DWORD;
        value.data.resize(4);
        for (int i = 0; i < 4; ++i)
            value.data[i] = static_cast<char>((number >> (8 * i)) & 0xff);
        return {};
    }
    QStringView bytes;
    if (data.startsWith(u"hex:")) {
        value.type = REG_BINARY;
        bytes = data.mid(4);
    } else if (data.startsWith(u"hex(")) {
        const qsizetype close = data.indexOf(u"):");
        bool ok = close > 4 && close <= 12;
        if (ok)
            value.type = data.mid(4, close - 4).toUInt(&ok, 16);
        if (!ok)
            return QStringLiteral("the type in hex(...) is no hexadecimal number");
        bytes = data.mid(close + 2);
    } else {
        return QStringLiteral("unknown data type");
    }
    if (!AppendHexBytes(bytes, value.data, continues))
        return QStringLiteral("invalid hexadecimal data");
    return {};
}
} // namespace

const QString CHive::kHeader = QStringLiteral("Windows Registry Editor Version 5.00");

CAtlString CHive::CanonicalKeyName(const CAtlString& key) {
    // Windows drops the separators at the end ("[HKEY_CURRENT_USER\Software\K\\]" is K); an
    // empty name anywhere else makes the key unreachable, so the key is refused.
    QStringView path(key);
    while (path.endsWith(u'\\'))
        path.chop(1);
    if (path.contains(u"\\\\") || path.isEmpty())
        return {};
    const qsizetype separator = path.indexOf(u'\\');
    const QStringView root = separator < 0 ? path : path.left(separator);
    for (const RootName& known : kRoots) {
        const QStringView longName(known.longName);
        if (root == longName)
            return path.size() == key.size() ? key : path.toString();
        if (root.compare(QStringView(known.shortName), Qt::CaseInsensitive) == 0 ||
            root.compare(longName, Qt::CaseInsensitive) == 0) {
            QString canonical = longName.toString();
            if (separator >= 0)
                canonical += path.mid(separator);
            return canonical;
        }
    }
    return {};
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
    m_format = Format::None;
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
        const QByteArrayView body =
            bytes.startsWith("\xef\xbb\xbf") ? QByteArrayView(bytes).sliced(3) : bytes;
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        text = decoder.decode(body);
        // Not UTF-8: 8-bit text as Windows writes it. Readable, but not written back, as
        // the rewrite would be UTF-8.
        if (decoder.hasError()) {
            m_lossless = false;
            text = FromWindows1252(body);
        }
    }
    // A nul is no text: in a file read as UTF-8 it is the trace of UTF-16 that was not
    // recognised, and writing it back would give a file half in one encoding, half in the
    // other.
    if (text.contains(QChar(0)))
        m_lossless = false;

    const QList<QStringView> lines = QStringView(text).split(u'\n');
    Key* current = nullptr;
    bool seenContent = false;
    // The line the hexadecimal data of line swallowedBy went on into without finding a byte.
    qsizetype swallowed = -1;
    int swallowedBy = 0;
    auto add = [&](Entry&& entry) {
        (current == nullptr ? m_preamble : current->entries).push_back(std::move(entry));
    };
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QStringView line = WithoutLineEnd(lines[i]);
        const int lineNumber = static_cast<int>(i + 1);
        const QStringView trimmed = line.trimmed();
        if (trimmed.isEmpty())
            continue;
        if (!seenContent) {
            seenContent = true;
            m_format = HeaderFormat(line);
            // A rewrite would put the current header first, under which the lines of the
            // older forms mean something else: a "[KEY]" section that "REGEDIT" ignores
            // would start to count. Such files are read, never written back.
            if (m_format == Format::Win31 || m_format == Format::Unsupported)
                m_lossless = false;
            if (m_format != Format::None)
                continue;
        }
        Entry entry;
        entry.line = lineNumber;
        entry.text = line.toString();
        if (i == swallowed) {
            entry.why =
                QStringLiteral("taken up by the hexadecimal data of line %1").arg(swallowedBy);
            add(std::move(entry));
            continue;
        }
        if (IsComment(trimmed)) {
            add(std::move(entry));
            continue;
        }
        if (m_format == Format::Win31) {
            // "HKEY_CLASSES_ROOT\Key = value": the key ends at the first blank; then blanks,
            // an optional "=" and blanks again, which Windows ignores; the rest, to the line
            // end, is the key's default value.
            qsizetype start = 0;
            SkipSpaces(line, start);
            const QStringView rest = line.mid(start);
            if (!rest.startsWith(u"HKEY_CLASSES_ROOT")) {
                entry.why = QStringLiteral("not a HKEY_CLASSES_ROOT line");
                add(std::move(entry));
                continue;
            }
            qsizetype end = 0;
            while (end < rest.size() && !rest[end].isSpace())
                ++end;
            qsizetype pos = end;
            SkipSpaces(rest, pos);
            if (pos < rest.size() && rest[pos] == u'=')
                ++pos;
            SkipSpaces(rest, pos);
            Key key;
            key.name = rest.left(end).toString();
            key.line = lineNumber;
            entry.kind = EntryKind::Value;
            entry.value = {QString(), REG_SZ, Utf16LeWithNul(rest.mid(pos).toString())};
            entry.text.clear();
            key.entries.push_back(std::move(entry));
            m_keys.push_back(std::move(key));
            current = nullptr;
            continue;
        }
        if (trimmed.startsWith(u'[')) {
            // The name runs to the last "]"; Windows ignores what follows it, and refuses a
            // name that starts with a blank.
            const qsizetype close = trimmed.lastIndexOf(u']');
            Key key;
            key.line = lineNumber;
            key.text = trimmed.toString();
            if (close < 0 || trimmed.size() < 2 || trimmed[1] == u' ' || trimmed[1] == u'\t') {
                // A section without a name: the line is kept as a verbatim entry, and the
                // values that follow belong to no key until the next section.
                entry.why = QStringLiteral("a key line needs a name and a closing \"]\"");
                key.text.clear();
                key.entries.push_back(std::move(entry));
                m_keys.push_back(std::move(key));
                current = &m_keys.back();
                continue;
            }
            QStringView name = trimmed.mid(1, close - 1);
            if (name.startsWith(u'-')) {
                key.deleteTree = true;
                name = name.mid(1);
            }
            key.name = name.toString();
            m_keys.push_back(std::move(key));
            current = &m_keys.back();
            continue;
        }
        if (!trimmed.startsWith(u'"') && !trimmed.startsWith(u'@')) {
            entry.why = QStringLiteral("neither a key, a value nor a comment");
            add(std::move(entry));
            continue;
        }
        // Windows reads no value before the first key; nor its data, which therefore never
        // goes on into the lines after it (and cannot take up a section a write adds there).
        if (current == nullptr) {
            entry.why = QStringLiteral("a value before the first key");
            add(std::move(entry));
            continue;
        }
        bool continues = false;
        entry.why = ParseValue(line, entry, continues);
        // Hexadecimal data alone goes on over lines: past blank and ";" lines, which stay with
        // the value, Windows reads the next line as more of the data whatever it holds. When it
        // does not start with a byte, the value is dropped and the line is taken up all the
        // same: not read as a line of its own, be it a value, a section or a "#" comment. The
        // end of the file ends the data.
        while (entry.why.isEmpty() && continues) {
            qsizetype next = i + 1;
            while (next < lines.size()) {
                const QStringView ahead = lines[next].trimmed();
                if (!ahead.isEmpty() && !ahead.startsWith(u';'))
                    break;
                ++next;
            }
            if (next >= lines.size())
                break;
            for (++i; i < next; ++i)
                entry.text += u'\n' + WithoutLineEnd(lines[i]).toString();
            if (HexDigit(lines[next].trimmed()[0]) < 0) {
                entry.why = QStringLiteral("the hexadecimal data goes on into line %1, which holds "
                                           "no bytes")
                                .arg(next + 1);
                // The line is the next entry, unread, so that it is told as a line of its own.
                --i;
                swallowed = next;
                swallowedBy = lineNumber;
                break;
            }
            entry.text += u'\n' + WithoutLineEnd(lines[next]).toString();
            if (!AppendHexBytes(WithoutLineEnd(lines[next]), entry.value.data, continues))
                entry.why = QStringLiteral("invalid hexadecimal data on line %1").arg(next + 1);
        }
        if (!entry.why.isEmpty()) {
            entry.kind = EntryKind::Verbatim;
            entry.value = {};
        } else {
            entry.text.clear();
            if (m_format == Format::Regedit4 && IsStringList(entry.value.type))
                entry.value.data = Utf16Bytes(FromEightBit(entry.value.data));
        }
        add(std::move(entry));
    }
    m_nodes.clear();
    m_roots.clear();
    m_values.clear();
    if (index == Index::Build)
        BuildIndex();
}

bool CHive::WritesEightBitStrings() const {
    if (m_format != Format::Regedit4)
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
        // A section line that named no key is kept among the entries.
        if (!key.text.isEmpty())
            out += key.text + u'\n';
        else if (!key.name.isEmpty())
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

QList<CHive::Skipped> CHive::SkippedLines() const {
    QList<Skipped> lines;
    auto collect = [&lines](const std::vector<Entry>& entries) {
        for (const Entry& entry : entries) {
            if (entry.kind == EntryKind::Verbatim && !entry.why.isEmpty())
                lines.append({entry.line, entry.why});
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
            // A root is never deleted, as in Windows.
            const int id = canonical.contains(u'\\') ? Walk(canonical, false) : -1;
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
    if (id < 0 || m_nodes[id].parent < 0)
        return false;
    RemoveTree(id, true);
    return true;
}

std::vector<int> CHive::SortedChildren(int id) const {
    std::vector<int> children;
    children.reserve(m_nodes[id].children.size());
    // Windows compares key names in upper case; the index holds them in lower case. The two
    // orders differ only where a name holds one of the characters between the cases ("_"
    // sorts after the letters in upper case, before them in lower case) or beyond ASCII.
    bool sameOrder = true;
    for (const auto& [folded, child] : m_nodes[id].children) {
        children.push_back(child);
        for (QChar c : folded)
            sameOrder = sameOrder && c.unicode() < 0x80 && (c < u'[' || c > u'`');
    }
    if (sameOrder)
        return children;
    std::vector<std::pair<QString, int>> keyed;
    keyed.reserve(children.size());
    for (int child : children)
        keyed.emplace_back(m_nodes[child].name.toUpper(), child);
    std::sort(keyed.begin(), keyed.end());
    for (size_t i = 0; i < keyed.size(); ++i)
        children[i] = keyed[i].second;
    return children;
}

QStringList CHive::SubKeyNames(const CAtlString& key) const {
    QStringList names;
    const int id = FindNode(key);
    if (id < 0)
        return names;
    for (int child : SortedChildren(id))
        names += m_nodes[child].name;
    return names;
}

std::vector<std::pair<int, QString>> CHive::Tree(const CAtlString& key) const {
    std::vector<std::pair<int, QString>> tree;
    const int top = FindNode(key);
    if (top < 0)
        return tree;
    // Depth first without recursion: a hostile file may nest keys thousands deep.
    std::vector<std::pair<int, QString>> pending{{top, CanonicalKeyName(key)}};
    while (!pending.empty()) {
        auto [id, name] = std::move(pending.back());
        pending.pop_back();
        const std::vector<int> children = SortedChildren(id);
        for (auto child = children.rbegin(); child != children.rend(); ++child)
            pending.emplace_back(*child, name + u'\\' + m_nodes[*child].name);
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
    QString out = kHeader + QLatin1String("\r\n");
    for (const auto& [id, name] : Tree(key)) {
        out += QLatin1String("\r\n[") + name + QLatin1String("]\r\n");
        for (const Value* value : ValuesOf(id)) {
            const QString prefix = QuotedName(value->name) + u'=';
            QString text;
            // Windows writes a string without any bytes as "", as it does the empty string.
            if (value->type == REG_SZ && (value->data.isEmpty() || PlainText(value->data, text)))
                out += prefix + u'"' + Escape(text) + u'"';
            else if (value->type == REG_DWORD && value->data.size() == 4)
                out += FormatValue(*value);
            else
                out += WrappedHexList(prefix + (value->type == REG_BINARY
                                                    ? QStringLiteral("hex:")
                                                    : QString::asprintf("hex(%x):", value->type)),
                                      value->data);
            out += QLatin1String("\r\n");
        }
    }
    out += QLatin1String("\r\n");
    QByteArray bytes("\xff\xfe", 2);
    bytes.reserve(2 + out.size() * 2);
    for (QChar c : std::as_const(out)) {
        bytes += static_cast<char>(c.unicode() & 0xff);
        bytes += static_cast<char>(c.unicode() >> 8);
    }
    return bytes;
}

#include "platform/IniFile.h"
#include "platform/Utf16.h"

#include <QStringDecoder>

#include <algorithm>

namespace {
bool SectionName(const QString& line, QString& name) {
    const QString trimmed = line.trimmed();
    if (!trimmed.startsWith(u'['))
        return false;
    const qsizetype close = trimmed.indexOf(u']');
    name = (close < 0 ? trimmed.mid(1) : trimmed.mid(1, close - 1)).trimmed();
    return true;
}

bool KeyName(const QString& line, QString& name) {
    const qsizetype equals = line.indexOf(u'=');
    if (equals < 0 || line.trimmed().startsWith(u';'))
        return false;
    name = line.left(equals).trimmed();
    return true;
}

bool HasLineBreak(const QString& text) {
    return text.contains(u'\n') || text.contains(u'\r') || text.contains(QChar(0));
}
} // namespace

void CIniFile::Parse(const QByteArray& bytes) {
    QString text;
    m_trailing.clear();
    const bool utf16Mark = bytes.startsWith("\xff\xfe");
    if (utf16Mark || LooksLikeUtf16LeWithoutMark(bytes)) {
        // Without its mark UTF-16 would pass for UTF-8 with nul bytes, and a changed line
        // written in UTF-8 would leave a file in two encodings.
        m_encoding = utf16Mark ? Encoding::Utf16 : Encoding::Utf16WithoutMark;
        const QByteArray body = utf16Mark ? bytes.mid(2) : bytes;
        // Code unit by code unit, lone surrogates included, so that lines nobody changes go
        // back byte for byte.
        const qsizetype whole = body.size() / 2 * 2;
        text = FromUtf16Le(body.left(whole));
        m_trailing = body.mid(whole);
    } else {
        const bool mark = bytes.startsWith("\xef\xbb\xbf");
        // A second mark after the first is text of the file, not a mark to drop.
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                         QStringDecoder::Flag::ConvertInitialBom);
        text = decoder.decode(mark ? bytes.mid(3) : bytes);
        m_encoding = mark ? Encoding::Utf8WithMark : Encoding::Utf8;
        if (decoder.hasError()) {
            // Not UTF-8: an INI file in the system's 8-bit code page. Latin-1 maps each byte
            // to one character and back, so lines this program does not change stay as
            // they were, whatever the code page.
            // A UTF-8 mark before such text still is no part of the first line, or the first
            // section would not be found until a change made the file valid UTF-8.
            m_encoding = mark ? Encoding::EightBitAfterMark : Encoding::EightBit;
            text = QString::fromLatin1(mark ? bytes.mid(3) : bytes);
        }
    }
    m_lines.clear();
    const QStringList pieces = text.split(u'\n');
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        Line line{pieces[i], QStringLiteral("\n")};
        if (i == pieces.size() - 1) {
            if (line.text.isEmpty())
                break;
            line.end.clear();
        }
        if (line.text.endsWith(u'\r')) {
            line.text.chop(1);
            line.end.prepend(u'\r');
        }
        m_lines.push_back(line);
    }
    m_newline =
        text.contains(QLatin1String("\r\n")) ? QStringLiteral("\r\n") : QStringLiteral("\n");
}

bool CIniFile::Serialize(QByteArray& out) const {
    QString text;
    for (const Line& line : m_lines)
        text += line.text + line.end;
    QByteArray bytes;
    switch (m_encoding) {
    case Encoding::Utf8:
        bytes = text.toUtf8();
        break;
    case Encoding::Utf8WithMark:
        bytes = "\xef\xbb\xbf" + text.toUtf8();
        break;
    case Encoding::Utf16:
    case Encoding::Utf16WithoutMark:
        bytes = (m_encoding == Encoding::Utf16 ? QByteArray("\xff\xfe", 2) : QByteArray()) +
                Utf16LeWithNul(text).chopped(2) + m_trailing;
        break;
    case Encoding::EightBit:
    case Encoding::EightBitAfterMark:
        for (QChar c : text) {
            if (c.unicode() > 0xff)
                return false;
        }
        bytes = (m_encoding == Encoding::EightBitAfterMark ? QByteArray("\xef\xbb\xbf")
                                                           : QByteArray()) +
                text.toLatin1();
        break;
    }
    // The encoding is not stored but told from the bytes at every read, and a change can tip
    // that: an 8-bit file whose only byte that is no UTF-8 was changed reads as UTF-8 from
    // then on, and every other text beyond ASCII in it means something else. Such a change
    // cannot be written without changing lines nobody asked to change, so it is refused.
    CIniFile again;
    again.Parse(bytes);
    if (again.m_trailing != m_trailing || again.m_lines.size() != m_lines.size() ||
        !std::equal(
            m_lines.begin(), m_lines.end(), again.m_lines.begin(),
            [](const Line& a, const Line& b) { return a.text == b.text && a.end == b.end; }))
        return false;
    out = std::move(bytes);
    return true;
}

void CIniFile::Insert(qsizetype at, const QString& text) {
    Line line{text, m_newline};
    // A new last line takes over the missing line end of the old one. A bare carriage return
    // there ends no line: without its line feed the new line would join the old one.
    if (at == static_cast<qsizetype>(m_lines.size()) && at > 0 &&
        !m_lines[at - 1].end.endsWith(u'\n')) {
        m_lines[at - 1].end = m_lines[at - 1].end.isEmpty() ? m_newline : QStringLiteral("\r\n");
        line.end.clear();
    }
    m_lines.insert(m_lines.begin() + at, line);
}

bool CIniFile::FindSection(const CAtlString& section, qsizetype& first, qsizetype& end) const {
    for (qsizetype i = 0; i < static_cast<qsizetype>(m_lines.size()); ++i) {
        QString name;
        if (!SectionName(m_lines[i].text, name) || name.compare(section, Qt::CaseInsensitive) != 0)
            continue;
        first = i + 1;
        end = first;
        QString next;
        while (end < static_cast<qsizetype>(m_lines.size()) &&
               !SectionName(m_lines[end].text, next))
            ++end;
        return true;
    }
    return false;
}

qsizetype CIniFile::FindKey(qsizetype first, qsizetype end, const CAtlString& key) const {
    for (qsizetype i = first; i < end; ++i) {
        QString name;
        if (KeyName(m_lines[i].text, name) && name.compare(key, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

std::optional<CAtlString> CIniFile::Get(const CAtlString& section, const CAtlString& key) const {
    qsizetype first = 0;
    qsizetype end = 0;
    if (!FindSection(section, first, end))
        return std::nullopt;
    const qsizetype index = FindKey(first, end, key.trimmed());
    if (index < 0)
        return std::nullopt;
    const QString& line = m_lines[index].text;
    QString value = line.mid(line.indexOf(u'=') + 1).trimmed();
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front())
        value = value.mid(1, value.size() - 2);
    return value;
}

bool CIniFile::Set(const CAtlString& section, const CAtlString& key, const CAtlString& value) {
    const QString keyName = key.trimmed();
    // Such names would be read back as something else, or split the file's structure.
    if (HasLineBreak(section) || section.contains(u']') || HasLineBreak(key) || keyName.isEmpty() ||
        key.contains(u'=') || keyName.startsWith(u'[') || keyName.startsWith(u';') ||
        HasLineBreak(value))
        return false;
    qsizetype first = 0;
    qsizetype end = 0;
    if (!FindSection(section, first, end)) {
        if (!m_lines.empty() && !m_lines.back().text.trimmed().isEmpty())
            Insert(m_lines.size(), QString());
        Insert(m_lines.size(), u'[' + section + u']');
        Insert(m_lines.size(), keyName + u'=' + value);
        return true;
    }
    const qsizetype index = FindKey(first, end, keyName);
    if (index >= 0) {
        QString existing;
        KeyName(m_lines[index].text, existing);
        m_lines[index].text = existing + u'=' + value;
        return true;
    }
    // After the section's last line with content, so that the blank line that separates it
    // from the next section stays where it was.
    qsizetype insertAt = end;
    while (insertAt > first && m_lines[insertAt - 1].text.trimmed().isEmpty())
        --insertAt;
    Insert(insertAt, keyName + u'=' + value);
    return true;
}

void CIniFile::DeleteKey(const CAtlString& section, const CAtlString& key) {
    qsizetype first = 0;
    qsizetype end = 0;
    if (!FindSection(section, first, end))
        return;
    const qsizetype index = FindKey(first, end, key.trimmed());
    if (index >= 0)
        m_lines.erase(m_lines.begin() + index);
}

void CIniFile::DeleteSection(const CAtlString& section) {
    qsizetype first = 0;
    qsizetype end = 0;
    if (FindSection(section, first, end))
        m_lines.erase(m_lines.begin() + first - 1, m_lines.begin() + end);
}

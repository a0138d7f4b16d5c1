#include "qtglue/StringsFile.h"

#include "platform/Utf16.h"

namespace {
bool IsSeparator(char16_t c) {
    return c == u'=' || c == u';' || c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' ||
           c == u'\0';
}

char16_t Escaped(char16_t c) {
    switch (c) {
    case u'n':
        return u'\n';
    case u't':
        return u'\t';
    case u'r':
        return u'\r';
    default:
        // The quote and the backslash stand for themselves, and so does every character
        // without an escape of its own.
        return c;
    }
}
} // namespace

qsizetype NextToken(const char16_t* text, qsizetype start, qsizetype count, CAtlString& out) {
    out.clear();
    if (start >= count)
        return kEndOfText;
    bool quoted = false;
    bool escaped = false;
    bool blockComment = false;
    bool lineComment = false;
    auto store = [&out](char16_t c) {
        // Characters beyond the limit are read and dropped, so the token still ends where
        // the file says.
        if (out.size() < kMaxTokenLength)
            out += QChar(c);
    };
    for (qsizetype i = start; i < count; ++i) {
        const char16_t c = text[i];
        if (blockComment) {
            if (c == u'*' && i + 1 < count && text[i + 1] == u'/') {
                blockComment = false;
                ++i;
            }
            continue;
        }
        if (lineComment) {
            if (c == u'\n')
                lineComment = false;
            continue;
        }
        if (escaped) {
            escaped = false;
            if (c != u'u') {
                store(Escaped(c));
                continue;
            }
            if (i + 4 >= count)
                return kEndOfText;
            char16_t unit = 0;
            for (qsizetype k = 1; k <= 4; ++k) {
                const int digit = HexDigit(text[i + k]);
                if (digit >= 0)
                    unit = static_cast<char16_t>(unit * 16 + digit);
            }
            i += 4;
            store(unit);
            continue;
        }
        if (!quoted && c == u'/' && i + 1 < count && (text[i + 1] == u'*' || text[i + 1] == u'/')) {
            (text[i + 1] == u'*' ? blockComment : lineComment) = true;
            ++i;
            continue;
        }
        if (c == u'"') {
            quoted = !quoted;
            continue;
        }
        if (quoted && c == u'\\') {
            escaped = true;
            continue;
        }
        if (!quoted && IsSeparator(c)) {
            if (!out.isEmpty())
                return i + 1;
            continue;
        }
        store(c);
    }
    return kEndOfText;
}

void ReadStringsPairs(const QByteArray& bytes,
                      const std::function<void(const CAtlString&, const CAtlString&)>& store) {
    QByteArray data = bytes;
    if (data.size() % 2 == 0 && data.startsWith("\xFE\xFF")) {
        for (qsizetype i = 0; i + 1 < data.size(); i += 2)
            std::swap(data[i], data[i + 1]);
    }
    const QString text = FromUtf16Le(data);
    const char16_t* units = reinterpret_cast<const char16_t*>(text.utf16());
    const qsizetype count = text.size();

    CAtlString key;
    CAtlString value;
    // Editors save these files with or without a mark; only a mark is not text.
    const qsizetype first = count > 0 && units[0] == u'\uFEFF' ? 1 : 0;
    qsizetype pos = NextToken(units, first, count, key);
    while (pos != kEndOfText) {
        const qsizetype next = NextToken(units, pos, count, value);
        store(key, value);
        if (next == kEndOfText)
            break;
        pos = NextToken(units, next, count, key);
    }
}

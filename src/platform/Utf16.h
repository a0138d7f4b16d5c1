#pragma once

#include <QByteArray>
#include <QString>

// Registry string data is UTF-16 little-endian whatever the host's byte order, so that
// hives move between machines unchanged.

// The text as UTF-16LE bytes followed by a nul character (two zero bytes).
inline QByteArray Utf16LeWithNul(const QString& text) {
    QByteArray bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (QChar c : text) {
        bytes += static_cast<char>(c.unicode() & 0xff);
        bytes += static_cast<char>(c.unicode() >> 8);
    }
    bytes.append(2, '\0');
    return bytes;
}

// Every whole UTF-16LE code unit of bytes, nul characters included; an odd last byte is
// dropped.
inline QString FromUtf16Le(const QByteArray& bytes) {
    QString text;
    text.reserve(bytes.size() / 2);
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        text += QChar(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                            (static_cast<uint8_t>(bytes[i + 1]) << 8)));
    return text;
}

// UTF-16LE saved without a byte-order mark. A registry or INI file begins with an ASCII line
// (a header, a section or a comment), so in UTF-16LE every second byte of that line is zero,
// which no UTF-8 text has.
inline bool LooksLikeUtf16LeWithoutMark(const QByteArray& bytes) {
    qsizetype checked = 0;
    for (qsizetype i = 0; i + 1 < bytes.size() && i < 512; i += 2) {
        if (bytes[i] == 0 || bytes[i + 1] != 0)
            return false;
        ++checked;
        if (bytes[i] == '\n')
            break;
    }
    return checked > 0;
}

// The value of a hexadecimal digit (either case), or -1.
inline int HexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

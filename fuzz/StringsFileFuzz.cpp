// ".strings" files are translations installed beside the program, so any bytes must read
// without harm. Whatever is read must also survive being written out again: every stored
// text, quoted with only its quotes and backslashes escaped, reads back as the same table,
// with or without a byte-order mark.
#include "FuzzCheck.h"
#include "qtglue/StringsFile.h"

#include <QHash>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

QHash<QString, QString> Read(const QByteArray& bytes) {
    QHash<QString, QString> table;
    ReadStringsPairs(bytes, [&table](const QString& key, const QString& value) {
        Check(!key.isEmpty() && key.size() <= kMaxTokenLength && value.size() <= kMaxTokenLength);
        table.insert(key, value);
    });
    return table;
}

QString Quoted(QString text) {
    text.replace(u'\\', QStringLiteral("\\\\"));
    text.replace(u'"', QStringLiteral("\\\""));
    return u'"' + text + u'"';
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QHash<QString, QString> table = Read(bytes);

    // An empty translation cannot be written except as the very last value, and reads the
    // same as no entry, so only the others are written.
    QString text(1, QChar(0xFEFF));
    QHash<QString, QString> written;
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        if (it.value().isEmpty())
            continue;
        text += Quoted(it.key()) + u'=' + Quoted(it.value()) + QStringLiteral(";\r\n");
        written.insert(it.key(), it.value());
    }
    QByteArray again;
    for (QChar c : text) {
        again += static_cast<char>(c.unicode() & 0xff);
        again += static_cast<char>(c.unicode() >> 8);
    }
    Check(Read(again) == written);
    // Saved without the byte-order mark, the same text reads the same.
    Check(Read(again.mid(2)) == written);
    return 0;
}

// INI files are the administrator's redirect of the settings: any bytes must read without
// harm, a file nobody changes must be written back byte for byte, and a change must read back
// while every other key keeps its value.
#include "FuzzCheck.h"
#include "platform/IniFile.h"
#include "platform/Utf16.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>

namespace {
using Names = std::pair<CAtlString, CAtlString>;

// The section and key names the lines of the file give, with the values they read as. The
// lines are split without regard to the 8-bit encoding, whose names in ASCII read alike in
// all of them.
std::map<Names, std::optional<CAtlString>> Values(const QByteArray& bytes, const CIniFile& file) {
    const bool mark = bytes.startsWith("\xff\xfe");
    const QString text = mark || LooksLikeUtf16LeWithoutMark(bytes)
                             ? FromUtf16Le(mark ? bytes.mid(2) : bytes)
                             : QString::fromLatin1(bytes);
    std::map<Names, std::optional<CAtlString>> values;
    CAtlString section;
    for (const QString& line : text.split(u'\n')) {
        const QString trimmed = line.trimmed();
        const qsizetype equals = trimmed.indexOf(u'=');
        if (trimmed.startsWith(u'['))
            section = trimmed.mid(1, trimmed.indexOf(u']') - 1).trimmed();
        else if (equals > 0 && !trimmed.startsWith(u';'))
            values[{section, trimmed.left(equals).trimmed()}] =
                file.Get(section, trimmed.left(equals).trimmed());
    }
    return values;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    CIniFile file;
    file.Parse(bytes);
    QByteArray out;
    Check(file.Serialize(out) && out == bytes);

    const CAtlString section = QStringLiteral("Settings"), key = QStringLiteral("Language");
    const auto before = Values(bytes, file);
    // ASCII can be written in every encoding the reader keeps.
    Check(file.Set(section, key, QStringLiteral("de")));
    Check(file.Get(section, key) == CAtlString(QStringLiteral("de")));
    // A write the file's encoding cannot take is refused as a whole.
    if (!file.Serialize(out))
        return 0;
    CIniFile again;
    again.Parse(out);
    Check(again.Get(section, key) == CAtlString(QStringLiteral("de")));
    for (const auto& [names, value] : before) {
        if (names.first.compare(section, Qt::CaseInsensitive) != 0 ||
            names.second.compare(key, Qt::CaseInsensitive) != 0)
            Check(again.Get(names.first, names.second) == value);
    }
    return 0;
}

// INI files are the administrator's redirect of the settings: any bytes must read without
// harm, a file nobody changes must be written back byte for byte, and a change must read back
// while every other key keeps its value.
#include "FuzzCheck.h"
#include "platform/IniFile.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    CIniFile file;
    file.Parse(bytes);
    QByteArray out;
    Check(file.Serialize(out) && out == bytes);

    const CAtlString section = QStringLiteral("Settings"), key = QStringLiteral("Language");
    const auto other = file.Get(QStringLiteral("Proxy"), QStringLiteral("Host"));
    // ASCII can be written in every encoding the reader keeps.
    Check(file.Set(section, key, QStringLiteral("de")));
    Check(file.Get(section, key) == CAtlString(QStringLiteral("de")));
    if (!file.Serialize(out))
        return 0;
    CIniFile again;
    again.Parse(out);
    Check(again.Get(section, key) == CAtlString(QStringLiteral("de")));
    Check(again.Get(QStringLiteral("Proxy"), QStringLiteral("Host")) == other);
    return 0;
}

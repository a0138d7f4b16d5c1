#include "platform/HiveSettings.h"

#include "platform/Settings.h"
#include "platform/SettingsStore.h"

#include <vector>

namespace {
uint64_t LittleEndian(const std::vector<uint8_t>& data, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = bytes; i-- > 0;)
        value = (value << 8) | data[i];
    return value;
}
} // namespace

CHiveSettings::CHiveSettings(SettingsScope scope, const CAtlString& keyPath)
    : m_scope(scope), m_keyPath(keyPath) {}

CHiveSettings::CHiveSettings(SettingsScope scope, const CAtlString& organisation,
                             const CAtlString& application)
    : CHiveSettings(scope, QStringLiteral("Software\\") + organisation + u'\\' + application) {}

void CHiveSettings::BeginGroup(const CAtlString& group) {
    m_groups.append(group);
}

void CHiveSettings::EndGroup() {
    if (!m_groups.isEmpty())
        m_groups.removeLast();
}

QVariant CHiveSettings::Value(const CAtlString& key) const {
    HKEY root{};
    if (!ScopeRoot(m_scope, root))
        return {};
    QStringList parts = m_groups;
    parts.append(key);
    QString path = m_keyPath + u'\\' + parts.join(u'\\');
    path.replace(u'/', u'\\');
    const qsizetype last = path.lastIndexOf(u'\\');
    const QString valueName = path.mid(last + 1);
    path.truncate(last);

    const std::shared_ptr<ISettingsStore> store = GetSettingsStore();
    HKEY handle{};
    if (store->RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return {};
    uint32_t type = REG_NONE;
    uint32_t size = 0;
    int32_t error = store->RegQueryValueExW(handle, valueName, &type, nullptr, &size);
    std::vector<uint8_t> data(size);
    if (error == ERROR_SUCCESS && size > 0)
        error = store->RegQueryValueExW(handle, valueName, &type, data.data(), &size);
    store->RegCloseKey(handle);
    if (error != ERROR_SUCCESS)
        return {};
    data.resize(size);

    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        QString text;
        for (size_t i = 0; i + 1 < data.size(); i += 2) {
            const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
            if (c == 0)
                break;
            text += QChar(c);
        }
        return text;
    }
    case REG_DWORD:
        if (data.size() == 4)
            return static_cast<int>(static_cast<uint32_t>(LittleEndian(data, 4)));
        break;
    case REG_QWORD:
        if (data.size() == 8)
            return static_cast<qlonglong>(LittleEndian(data, 8));
        break;
    default:
        break;
    }
    return QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(size));
}

#include "platform/Registry.h"
#include "platform/Utf16.h"

#include "platform/SettingsStore.h"

#include <cstring>
#include <vector>

namespace {
// Closes an opened key on every way out of a function.
class OpenedKey {
public:
    explicit OpenedKey(std::shared_ptr<ISettingsStore> store) : m_store(std::move(store)) {}
    OpenedKey(const OpenedKey&) = delete;
    OpenedKey& operator=(const OpenedKey&) = delete;
    ~OpenedKey() {
        if (m_open)
            m_store->RegCloseKey(m_key);
    }
    int32_t Open(HKEY root, const CAtlString& subKey, uint32_t access) {
        const int32_t error = m_store->RegOpenKeyExW(root, subKey, 0, access, &m_key);
        m_open = error == ERROR_SUCCESS;
        return error;
    }
    int32_t Create(HKEY root, const CAtlString& subKey, uint32_t access) {
        uint32_t disposition = 0;
        const int32_t error =
            m_store->RegCreateKeyExW(root, subKey, 0, access, &m_key, &disposition);
        m_open = error == ERROR_SUCCESS;
        return error;
    }
    HKEY Key() const { return m_key; }
    ISettingsStore& Store() { return *m_store; }

private:
    std::shared_ptr<ISettingsStore> m_store;
    HKEY m_key = 0;
    bool m_open = false;
};

void SetError(int32_t* error, int32_t value) {
    if (error != nullptr)
        *error = value;
}

// Four bytes as an integer. Values of another size are not read as one: a shorter value
// would leave bytes undefined, and a longer one does not fit.
int32_t QueryDword(OpenedKey& key, const CAtlString& valueName, uint32_t& value) {
    uint8_t bytes[4] = {};
    uint32_t size = sizeof bytes;
    const int32_t error = key.Store().RegQueryValueExW(key.Key(), valueName, nullptr, bytes, &size);
    if (error != ERROR_SUCCESS)
        return error;
    if (size != sizeof bytes)
        return ERROR_INVALID_DATA;
    value = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
            (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    return ERROR_SUCCESS;
}

// The text up to the first nul of at most size bytes of UTF-16 data.
CAtlString TextOf(const uint8_t* data, uint32_t size) {
    const uint32_t count = size / 2;
    CAtlString text;
    text.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const char16_t c = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (c == 0)
            break;
        text += QChar(c);
    }
    return text;
}

int32_t WriteValue(HKEY root, const CAtlString& subKey, const CAtlString& valueName, uint32_t type,
                   const QByteArray& data) {
    OpenedKey key(GetSettingsStore());
    if (const int32_t error = key.Create(root, subKey, KEY_SET_VALUE))
        return error;
    return key.Store().RegSetValueExW(key.Key(), valueName, type,
                                      reinterpret_cast<const uint8_t*>(data.constData()),
                                      static_cast<uint32_t>(data.size()));
}
} // namespace

CAtlString RegReadString(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                         const CAtlString& defaultValue, int32_t* error) {
    OpenedKey key(GetSettingsStore());
    if (const int32_t code = key.Open(root, subKey, KEY_QUERY_VALUE)) {
        SetError(error, code);
        return defaultValue;
    }
    uint32_t size = 0;
    key.Store().RegQueryValueExW(key.Key(), valueName, nullptr, nullptr, &size);
    if (size == 0) {
        SetError(error, ERROR_FILE_NOT_FOUND);
        return defaultValue;
    }
    // Two spare nul characters: a value stored without its terminator still ends in one,
    // so the text never runs past the data.
    std::vector<uint8_t> buffer(static_cast<size_t>(size) + 4, 0);
    uint32_t got = size;
    const int32_t code =
        key.Store().RegQueryValueExW(key.Key(), valueName, nullptr, buffer.data(), &got);
    SetError(error, code);
    // A value that changed between the two queries is not half-read.
    if (code != ERROR_SUCCESS)
        return defaultValue;
    return TextOf(buffer.data(), got + (got % 2));
}

uint32_t RegReadDword(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                      uint32_t defaultValue, int32_t* error) {
    OpenedKey key(GetSettingsStore());
    if (const int32_t code = key.Open(root, subKey, KEY_QUERY_VALUE)) {
        SetError(error, code);
        return defaultValue;
    }
    uint32_t value = 0;
    const int32_t code = QueryDword(key, valueName, value);
    SetError(error, code);
    return code == ERROR_SUCCESS ? value : defaultValue;
}

int32_t RegWriteString(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                       const CAtlString& value) {
    return WriteValue(root, subKey, valueName, REG_SZ, Utf16LeWithNul(value));
}

int32_t RegWriteDword(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                      uint32_t value) {
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xff);
    return WriteValue(root, subKey, valueName, REG_DWORD, bytes);
}

uint32_t RegQueryDword(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                       uint32_t defaultValue) {
    OpenedKey key(GetSettingsStore());
    if (key.Open(root, subKey, KEY_READ) != ERROR_SUCCESS)
        return defaultValue;
    uint32_t value = 0;
    return QueryDword(key, valueName, value) == ERROR_SUCCESS ? value : defaultValue;
}

bool RegQueryString(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                    CAtlString& out) {
    OpenedKey key(GetSettingsStore());
    if (key.Open(root, subKey, KEY_READ) != ERROR_SUCCESS)
        return false;
    constexpr uint32_t kCharacters = 1024;
    std::vector<uint8_t> buffer(kCharacters * 2, 0);
    uint32_t size = kCharacters * 2;
    uint32_t type = REG_NONE;
    if (key.Store().RegQueryValueExW(key.Key(), valueName, &type, buffer.data(), &size) !=
        ERROR_SUCCESS)
        return false;
    // Only text that is what it claims to be: a string type, whole characters, and the
    // terminating nul inside the data.
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size < 2 || size % 2 != 0 ||
        buffer[size - 1] != 0 || buffer[size - 2] != 0)
        return false;
    out = TextOf(buffer.data(), size);
    return true;
}

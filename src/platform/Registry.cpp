#include "platform/Registry.h"

#include <QHash>
#include <QVariant>

// Stand-in store held in memory for the life of the process; the persistent hive store
// replaces it.
namespace {
QHash<QString, QVariant>& Store() {
    static QHash<QString, QVariant> store;
    return store;
}
QString Key(HKEY root, const CAtlString& subKey, const CAtlString& valueName) {
    return QString::number(root) + u'\\' + subKey.toLower() + u'\\' + valueName.toLower();
}
} // namespace

CAtlString RegReadString(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                         const CAtlString& defaultValue, int32_t* error) {
    auto it = Store().constFind(Key(root, subKey, valueName));
    if (it == Store().constEnd()) {
        if (error)
            *error = 2;
        return defaultValue;
    }
    if (error)
        *error = 0;
    return it->toString();
}

uint32_t RegReadDword(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                      uint32_t defaultValue, int32_t* error) {
    auto it = Store().constFind(Key(root, subKey, valueName));
    if (it == Store().constEnd()) {
        if (error)
            *error = 2;
        return defaultValue;
    }
    if (error)
        *error = 0;
    return it->toUInt();
}

int32_t RegWriteString(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                       const CAtlString& value) {
    Store().insert(Key(root, subKey, valueName), value);
    return 0;
}

int32_t RegWriteDword(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                      uint32_t value) {
    Store().insert(Key(root, subKey, valueName), value);
    return 0;
}

uint32_t RegQueryDword(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                       uint32_t defaultValue) {
    return RegReadDword(root, subKey, valueName, defaultValue);
}

bool RegQueryString(HKEY root, const CAtlString& subKey, const CAtlString& valueName,
                    CAtlString& out) {
    int32_t error = 0;
    CAtlString value = RegReadString(root, subKey, valueName, {}, &error);
    if (error != 0)
        return false;
    out = value;
    return true;
}

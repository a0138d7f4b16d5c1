// Any bytes as a hive file. When the store would write the file back, setting any one value
// must leave a file in which that value reads back and every key and value that could be read
// before reads exactly as before; and writing that file again must change nothing.
#include "platform/Hive.h"
#include "platform/RegistryTypes.h"
#include "platform/Utf16.h"

#include <QHash>

#include <algorithm>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace {
const char* const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT",
                              "HKEY_USERS", "HKEY_CURRENT_CONFIG"};

struct Seen {
    QString name;
    std::vector<CHive::Value> values;
};
// Every key that reads as existing, by case-folded full name, with its values in order.
using Snapshot = std::map<QString, Seen>;

Snapshot Read(const CHive& hive) {
    Snapshot snapshot;
    for (const char* root : kRoots) {
        for (const QString& key : hive.KeyTree(QLatin1String(root))) {
            Seen& seen = snapshot[key.toCaseFolded()];
            seen.name = key;
            for (const CHive::Value* value : hive.Values(key))
                seen.values.push_back(*value);
        }
    }
    return snapshot;
}

bool Same(const CHive::Value& a, const CHive::Value& b) {
    return a.name == b.name && a.type == b.type && a.data == b.data;
}

[[noreturn]] void Fail(const char* what, const QString& key, const QByteArray& written) {
    std::fprintf(stderr, "%s: %s\n--- written file ---\n%s\n", what, qPrintable(key),
                 written.constData());
    std::abort();
}

// Sets value in key of the hive that bytes hold, and checks the file written then.
void CheckWrite(const QByteArray& bytes, const Snapshot& before, const QString& key,
                const CHive::Value& value) {
    CHive hive;
    hive.Parse(bytes);
    hive.SetValue(key, value);
    const QByteArray written = hive.Serialize();
    CHive reread;
    reread.Parse(written);
    if (!reread.IsLossless())
        Fail("the written file cannot be written again", key, written);
    const CHive::Value* back = reread.FindValue(key, value.name);
    if (back == nullptr || back->type != value.type || back->data != value.data ||
        back->name.toCaseFolded() != value.name.toCaseFolded())
        Fail("the value written does not read back", key, written);

    Snapshot after = Read(reread);
    for (const auto& [folded, seen] : before) {
        const auto now = after.find(folded);
        if (now == after.end())
            Fail("a key was lost", seen.name, written);
        std::vector<CHive::Value> rest;
        for (const CHive::Value& other : now->second.values) {
            if (folded != key.toCaseFolded() ||
                other.name.toCaseFolded() != value.name.toCaseFolded())
                rest.push_back(other);
        }
        std::vector<CHive::Value> expected;
        for (const CHive::Value& other : seen.values) {
            if (folded != key.toCaseFolded() ||
                other.name.toCaseFolded() != value.name.toCaseFolded())
                expected.push_back(other);
        }
        if (rest.size() != expected.size() ||
            !std::equal(rest.begin(), rest.end(), expected.begin(), Same))
            Fail("the values of a key changed", seen.name, written);
        after.erase(now);
    }
    // Nothing new but the key written and the keys above it.
    for (const auto& [folded, seen] : after) {
        const QString target = key.toCaseFolded();
        if (folded != target && !target.startsWith(folded + u'\\'))
            Fail("a key appeared", seen.name, written);
        if (folded != target && !seen.values.empty())
            Fail("values appeared", seen.name, written);
    }
    if (reread.Serialize() != written)
        Fail("writing the file again changes it", key, written);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    CHive hive;
    hive.Parse(bytes);
    if (!hive.IsLossless())
        return 0;
    const Snapshot before = Read(hive);

    // The type of the value written is chosen by the input. String lists with an odd byte
    // count cannot be written as the 8-bit text of REGEDIT4.
    const size_t choice = qHash(bytes);
    CHive::Value value{QStringLiteral("Fuzzed"), REG_SZ, Utf16LeWithNul(QStringLiteral("new"))};
    switch ((choice >> 12) % 3) {
    case 1:
        value.type = REG_EXPAND_SZ;
        value.data = QByteArray("%\0X\0%", 5);
        break;
    case 2:
        value.type = REG_BINARY;
        value.data = QByteArray("\x00\xff\\\n", 4);
        break;
    default:
        break;
    }
    // Every kind of write, since a file must survive any: a new key; and in each of the
    // file's keys (the first few from a place the input chooses) a new value, a value the key
    // has (in another letter case) and a new key below.
    CheckWrite(bytes, before,
               QStringLiteral("HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Fuzz"), value);
    if (before.empty())
        return 0;
    auto pick = before.begin();
    std::advance(pick, static_cast<long>((choice >> 2) % before.size()));
    for (size_t n = 0; n < std::min<size_t>(before.size(), 8); ++n) {
        const Seen& seen = pick->second;
        CheckWrite(bytes, before, seen.name, value);
        if (!seen.values.empty()) {
            CHive::Value existing = value;
            existing.name = seen.values[(choice >> 8) % seen.values.size()].name.toUpper();
            CheckWrite(bytes, before, seen.name, existing);
        }
        CheckWrite(bytes, before, seen.name + QStringLiteral("\\Below"), value);
        if (++pick == before.end())
            pick = before.begin();
    }
    return 0;
}

#include "regtool/RegTool.h"
#include "platform/Utf16.h"

#include "platform/DurableFile.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <cctype>
#include <map>

namespace {
const QString kDone = QStringLiteral("The operation completed successfully.");
const QString kNotFound =
    QStringLiteral("ERROR: The system was unable to find the specified registry key or value.");
const QString kSyntax = QStringLiteral("ERROR: Invalid syntax.");
const QString kHint = QStringLiteral("Type \"orvex-reg --help\" for usage.");

struct TypeName {
    const char* name;
    uint32_t type;
};
constexpr TypeName kTypes[] = {
    {"REG_SZ", REG_SZ},       {"REG_EXPAND_SZ", REG_EXPAND_SZ}, {"REG_BINARY", REG_BINARY},
    {"REG_DWORD", REG_DWORD}, {"REG_MULTI_SZ", REG_MULTI_SZ},   {"REG_QWORD", REG_QWORD},
    {"REG_NONE", REG_NONE},
};

QString TypeText(uint32_t type) {
    for (const TypeName& known : kTypes) {
        if (known.type == type)
            return QLatin1String(known.name);
    }
    return QStringLiteral("REG_0x%1").arg(type, 0, 16);
}

// A key given on the command line, split into its root and its path.
struct KeyName {
    HKEY root = 0;
    QString path;
    QString full;
};

bool ParseKey(const QString& text, KeyName& key) {
    QString normalised = text;
    normalised.replace(u'/', u'\\');
    while (normalised.endsWith(u'\\'))
        normalised.chop(1);
    const QString full = CHive::CanonicalKeyName(normalised);
    const QString root = full.section(u'\\', 0, 0);
    for (HKEY candidate : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT}) {
        if (CFileSettingsStore::RootName(candidate) == root) {
            key.root = candidate;
            key.full = full;
            key.path = full.contains(u'\\') ? full.section(u'\\', 1) : QString();
            // Empty key names ("HKLM\a\\b") cannot be stored.
            return !key.path.contains(QLatin1String("\\\\")) && !key.path.contains(u'\n');
        }
    }
    return false;
}

QByteArray LittleEndian(uint64_t number, int bytes) {
    QByteArray data(bytes, '\0');
    for (int i = 0; i < bytes; ++i)
        data[i] = static_cast<char>((number >> (8 * i)) & 0xff);
    return data;
}

uint64_t FromLittleEndian(const QByteArray& data) {
    uint64_t number = 0;
    for (qsizetype i = std::min<qsizetype>(data.size(), 8) - 1; i >= 0; --i)
        number = (number << 8) | static_cast<uint8_t>(data[i]);
    return number;
}

// The value's data as "reg query" shows it.
QString DataText(const CHive::Value& value) {
    switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        QString text = FromUtf16Le(value.data);
        const qsizetype nul = text.indexOf(QChar(0));
        return nul < 0 ? text : text.left(nul);
    }
    case REG_DWORD:
    case REG_QWORD:
        if (value.data.size() == (value.type == REG_DWORD ? 4 : 8))
            return QStringLiteral("0x") + QString::number(FromLittleEndian(value.data), 16);
        break;
    case REG_MULTI_SZ: {
        QStringList items = FromUtf16Le(value.data).split(QChar(0));
        while (!items.isEmpty() && items.last().isEmpty())
            items.removeLast();
        return items.join(QStringLiteral("\\0"));
    }
    default:
        break;
    }
    return QString::fromLatin1(value.data.toHex().toUpper());
}

void PrintValue(QTextStream& out, const CHive::Value& value) {
    out << "    " << (value.name.isEmpty() ? QStringLiteral("(Default)") : value.name) << "    "
        << TypeText(value.type) << "    " << DataText(value) << '\n';
}

void PrintKey(QTextStream& out, const CHive& hive, const QString& name) {
    out << name << '\n';
    for (const CHive::Value* value : hive.Values(name))
        PrintValue(out, *value);
}

bool Confirm(QTextStream& out, QTextStream& in, const QString& question) {
    out << question << " (Yes/No)? ";
    out.flush();
    const QString answer = in.readLine();
    return answer.trimmed().startsWith(u'y', Qt::CaseInsensitive);
}

// What went wrong, naming the hive file where the file is the trouble.
QString ErrorText(int32_t code, const QString& hive) {
    switch (code) {
    case ERROR_ACCESS_DENIED:
        return QStringLiteral("ERROR: Access is denied.");
    case ERROR_FILE_NOT_FOUND:
        return kNotFound;
    case ERROR_REGISTRY_CORRUPT:
        return QStringLiteral("ERROR: The registry file %1 is neither UTF-8 nor UTF-16 text (or "
                              "holds a nul character), so it cannot be rewritten without loss; it "
                              "was left as it is.")
            .arg(hive);
    case ERROR_FILE_TOO_LARGE:
        return QStringLiteral("ERROR: The registry file %1 is larger than %2 MiB, more than any "
                              "settings file needs; it was left as it is.")
            .arg(hive)
            .arg(CDurableFile::kMaxSize / (1024 * 1024));
    case ERROR_DIRECTORY_NOT_SUPPORTED:
        return QStringLiteral("ERROR: The registry file %1 is a folder, not a file.").arg(hive);
    case ERROR_BAD_FILE_TYPE:
        return QStringLiteral("ERROR: The registry file %1 is not a regular file (a pipe or a "
                              "device, say).")
            .arg(hive);
    default:
        return QStringLiteral(
                   "ERROR: The registry file %1 could not be read or written (error %2).")
            .arg(hive)
            .arg(code);
    }
}

// The closing line of a command that changes a hive: the error (in the store's own words
// when it gave some), or the success line.
int Finish(int32_t error, const QString& hive, QTextStream& out, QTextStream& err,
           const QString& why = {}) {
    if (error != ERROR_SUCCESS) {
        err << (why.isEmpty() ? ErrorText(error, hive) : QStringLiteral("ERROR: ") + why) << '\n';
        return 1;
    }
    out << kDone << '\n';
    return 0;
}
} // namespace

struct CRegTool::Options {
    QString verb;
    QStringList positional;
    KeyName key;
    bool hasValueName = false;
    QString valueName;
    bool allValues = false;
    bool recursive = false;
    QString type = QStringLiteral("REG_SZ");
    bool hasData = false;
    QString data;
    QString separator = QStringLiteral("\\0");
    bool force = false;
};

CRegTool::CRegTool(std::shared_ptr<CFileSettingsStore> store) : m_store(std::move(store)) {}

QString CRegTool::Usage() {
    return QStringLiteral(
        "Usage: orvex-reg OPERATION [arguments]\n"
        "\n"
        "  orvex-reg query KEY [/v NAME | /ve] [/s]\n"
        "  orvex-reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
        "  orvex-reg delete KEY [/v NAME | /ve | /va] [/f]\n"
        "  orvex-reg import FILE.reg\n"
        "  orvex-reg export KEY FILE.reg [/y]\n"
        "\n"
        "KEY      the root and the key path, e.g. HKLM\\SOFTWARE\\ORVEX Technologies\\ACC.\n"
        "         Roots: HKLM, HKCU, HKCR or HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER,\n"
        "         HKEY_CLASSES_ROOT. Quote keys with spaces.\n"
        "/v NAME  the value; /ve the key's default value; /va all values of the key.\n"
        "/t TYPE  REG_SZ (default), REG_DWORD, REG_EXPAND_SZ, REG_BINARY, REG_MULTI_SZ,\n"
        "         REG_QWORD.\n"
        "/d DATA  numbers in decimal or with 0x in hex; REG_BINARY as hex digits;\n"
        "         REG_MULTI_SZ items separated by \\0 or the separator given with /s.\n"
        "/s       with query: show every key below KEY as well.\n"
        "/f, /y   overwrite or delete without asking.\n"
        "\n"
        "HKLM and HKCR live in the machine hive, HKCU in the user hive: with ORVEX_ROOT set\n"
        "$ORVEX_ROOT/machine.reg and $ORVEX_ROOT/user.reg, otherwise /etc/orvex/machine.reg\n"
        "and ${XDG_CONFIG_HOME:-$HOME/.config}/orvex/user.reg. Changing the machine hive\n"
        "needs the rights to write /etc/orvex.\n");
}

int CRegTool::Run(const QStringList& arguments, QTextStream& out, QTextStream& err,
                  QTextStream& in) {
    if (arguments.isEmpty()) {
        err << kSyntax << '\n' << kHint << '\n';
        return 1;
    }
    const QString first = arguments.first().toLower();
    if (first == QLatin1String("--help") || first == QLatin1String("-h") ||
        first == QLatin1String("/?") || first == QLatin1String("-?")) {
        out << Usage();
        return 0;
    }

    Options options;
    options.verb = first;
    const bool takesValueSwitches = first == QLatin1String("add") ||
                                    first == QLatin1String("query") ||
                                    first == QLatin1String("delete");
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const bool isSwitch =
            argument.size() >= 2 && (argument[0] == u'/' || argument[0] == u'-') &&
            argument[1].isLetter() && (argument.size() == 2 || argument.size() == 3);
        if (!isSwitch) {
            options.positional += argument;
            continue;
        }
        const QString name = argument.mid(1).toLower();
        auto takeValue = [&](QString& target) {
            if (i + 1 >= arguments.size())
                return false;
            target = arguments[++i];
            return true;
        };
        bool ok = true;
        if (name == QLatin1String("v") && takesValueSwitches) {
            options.hasValueName = ok = takeValue(options.valueName);
        } else if (name == QLatin1String("ve") && takesValueSwitches) {
            options.hasValueName = true;
            options.valueName.clear();
        } else if (name == QLatin1String("va") && first == QLatin1String("delete")) {
            options.allValues = true;
        } else if (name == QLatin1String("t") && first == QLatin1String("add")) {
            ok = takeValue(options.type);
            options.type = options.type.toUpper();
        } else if (name == QLatin1String("d") && first == QLatin1String("add")) {
            options.hasData = ok = takeValue(options.data);
        } else if (name == QLatin1String("s") && first == QLatin1String("add")) {
            ok = takeValue(options.separator) && options.separator.size() == 1;
        } else if (name == QLatin1String("s") && first == QLatin1String("query")) {
            options.recursive = true;
        } else if ((name == QLatin1String("f") &&
                    (first == QLatin1String("add") || first == QLatin1String("delete"))) ||
                   (name == QLatin1String("y") && first == QLatin1String("export"))) {
            options.force = true;
        } else {
            ok = false;
        }
        if (!ok) {
            err << kSyntax << " (" << argument << ")\n" << kHint << '\n';
            return 1;
        }
    }

    const int expected = first == QLatin1String("export") ? 2 : 1;
    if (options.positional.size() != expected) {
        err << kSyntax << '\n' << kHint << '\n';
        return 1;
    }
    if (first != QLatin1String("import") && !ParseKey(options.positional[0], options.key)) {
        err << "ERROR: Invalid key name: " << options.positional[0]
            << "\n       Start it with HKLM, HKCU or HKCR (or their long names).\n";
        return 1;
    }

    if (first == QLatin1String("query"))
        return Query(options, out, err);
    if (first == QLatin1String("add"))
        return Add(options, out, err, in);
    if (first == QLatin1String("delete"))
        return Delete(options, out, err, in);
    if (first == QLatin1String("import"))
        return Import(options, out, err);
    if (first == QLatin1String("export"))
        return Export(options, out, err, in);
    err << "ERROR: Unknown operation: " << arguments.first() << '\n' << kHint << '\n';
    return 1;
}

bool CRegTool::ReadKeyHive(const Options& options, CHive& hive, QTextStream& err) {
    if (const int32_t error = m_store->ReadHive(options.key.root, hive)) {
        err << ErrorText(error, m_store->HivePath(options.key.root)) << '\n';
        return false;
    }
    if (!hive.KeyExists(options.key.full)) {
        err << kNotFound << '\n';
        return false;
    }
    return true;
}

int CRegTool::Query(const Options& options, QTextStream& out, QTextStream& err) {
    CHive hive;
    if (!ReadKeyHive(options, hive, err))
        return 1;
    const QString& full = options.key.full;
    if (options.hasValueName) {
        const CHive::Value* value = hive.FindValue(full, options.valueName);
        if (value == nullptr) {
            err << kNotFound << '\n';
            return 1;
        }
        out << '\n' << full << '\n';
        PrintValue(out, *value);
        out << '\n';
        return 0;
    }
    out << '\n';
    PrintKey(out, hive, full);
    out << '\n';
    if (options.recursive) {
        const QStringList below = hive.KeyTree(full);
        for (qsizetype i = 1; i < below.size(); ++i) {
            PrintKey(out, hive, below[i]);
            out << '\n';
        }
    } else {
        for (const QString& child : hive.SubKeyNames(full))
            out << full << '\\' << child << '\n';
    }
    return 0;
}

int CRegTool::Add(const Options& options, QTextStream& out, QTextStream& err, QTextStream& in) {
    CHive::Value value;
    value.name = options.valueName;
    uint32_t type = REG_NONE;
    bool knownType = false;
    for (const TypeName& known : kTypes) {
        if (options.type == QLatin1String(known.name) && known.type != REG_NONE) {
            type = known.type;
            knownType = true;
        }
    }
    if (!knownType) {
        err << "ERROR: Unknown value type: " << options.type << '\n' << kHint << '\n';
        return 1;
    }
    value.type = type;
    const QString& data = options.data;
    bool ok = true;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        value.data = Utf16LeWithNul(data);
        break;
    case REG_DWORD:
    case REG_QWORD: {
        const QString digits = data.trimmed();
        // Negative numbers are refused rather than stored as a large positive one.
        const uint64_t number = digits.startsWith(u'-') ? (ok = false, 0)
                                : digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                                    ? digits.mid(2).toULongLong(&ok, 16)
                                    : digits.toULongLong(&ok, 10);
        if (type == REG_DWORD && number > 0xffffffffu)
            ok = false;
        value.data = LittleEndian(number, type == REG_DWORD ? 4 : 8);
        break;
    }
    case REG_BINARY:
        value.data = QByteArray::fromHex(data.toLatin1());
        ok =
            data.size() % 2 == 0 &&
            std::all_of(data.begin(), data.end(), [](QChar c) { return isxdigit(c.toLatin1()); }) &&
            value.data.size() * 2 == data.size();
        break;
    case REG_MULTI_SZ: {
        const QStringList items = data.isEmpty() ? QStringList() : data.split(options.separator);
        for (const QString& item : items) {
            if (item.isEmpty()) {
                // An empty item would end the list early for every reader.
                ok = false;
                break;
            }
            value.data += Utf16LeWithNul(item);
        }
        value.data += QByteArray(2, '\0');
        break;
    }
    default:
        break;
    }
    if (!ok) {
        err << "ERROR: Invalid data for " << options.type << ": \"" << data << "\"\n";
        return 1;
    }
    if (options.hasValueName && (value.name.contains(u'\n') || value.name.contains(u'\r'))) {
        err << "ERROR: A value name cannot contain a line break.\n";
        return 1;
    }

    const QString& full = options.key.full;
    if (options.hasValueName && !options.force) {
        CHive hive;
        if (m_store->ReadHive(options.key.root, hive) == ERROR_SUCCESS &&
            hive.FindValue(full, value.name) != nullptr &&
            !Confirm(out, in,
                     QStringLiteral("Value %1 exists, overwrite")
                         .arg(value.name.isEmpty() ? QStringLiteral("(Default)") : value.name))) {
            err << "The operation was cancelled.\n";
            return 1;
        }
    }
    QString why;
    const int32_t error = m_store->EditHive(options.key.root, &why, [&](CHive& hive) {
        hive.CreateKey(full);
        if (options.hasValueName)
            hive.SetValue(full, value);
        return ERROR_SUCCESS;
    });
    return Finish(error, m_store->HivePath(options.key.root), out, err, why);
}

int CRegTool::Delete(const Options& options, QTextStream& out, QTextStream& err, QTextStream& in) {
    const QString& full = options.key.full;
    if (options.key.path.isEmpty() && !options.hasValueName && !options.allValues) {
        err << "ERROR: A root key cannot be deleted.\n";
        return 1;
    }
    CHive current;
    if (const int32_t error = m_store->ReadHive(options.key.root, current)) {
        err << ErrorText(error, m_store->HivePath(options.key.root)) << '\n';
        return 1;
    }
    if (!current.KeyExists(full) ||
        (options.hasValueName && current.FindValue(full, options.valueName) == nullptr)) {
        err << kNotFound << '\n';
        return 1;
    }
    if (!options.force) {
        const QString question =
            options.hasValueName
                ? QStringLiteral("Delete the registry value %1")
                      .arg(options.valueName.isEmpty() ? QStringLiteral("(Default)")
                                                       : options.valueName)
            : options.allValues
                ? QStringLiteral("Delete all values under the registry key %1").arg(full)
                : QStringLiteral("Permanently delete the registry key %1").arg(full);
        if (!Confirm(out, in, question)) {
            err << "The operation was cancelled.\n";
            return 1;
        }
    }
    QString why;
    const int32_t error = m_store->EditHive(options.key.root, &why, [&](CHive& hive) {
        if (options.hasValueName)
            return hive.DeleteValue(full, options.valueName) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
        if (options.allValues) {
            std::vector<QString> names;
            for (const CHive::Value* value : hive.Values(full))
                names.push_back(value->name);
            for (const QString& name : names)
                hive.DeleteValue(full, name);
            return ERROR_SUCCESS;
        }
        return hive.DeleteKeyTree(full) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
    return Finish(error, m_store->HivePath(options.key.root), out, err, why);
}

int CRegTool::Import(const Options& options, QTextStream& out, QTextStream& err) {
    const QString& fileName = options.positional[0];
    QByteArray bytes;
    bool exists = false;
    if (CDurableFile(fileName).Read(bytes, &exists) != 0 || !exists) {
        err << "ERROR: Cannot read the file " << fileName << ".\n";
        return 1;
    }
    CHive import;
    import.Parse(bytes, CHive::Index::Skip);
    if (!import.HasHeader()) {
        err << "ERROR: " << fileName << " is no registry file: its first line must be \""
            << CHive::kHeader << "\".\n";
        return 1;
    }
    if (!import.IsLossless()) {
        err << "ERROR: " << fileName << " is neither UTF-8 nor UTF-16 text.\n";
        return 1;
    }
    // Everything is checked before anything is changed: a half-applied import is worse
    // than none.
    const QList<int> unread = import.UnreadLines();
    if (!unread.isEmpty()) {
        err << "ERROR: Line " << unread.first() << " of " << fileName << " cannot be read.\n";
        return 1;
    }
    std::map<HKEY, std::vector<const CHive::Key*>> byHive;
    for (const CHive::Key& key : import.Keys()) {
        KeyName name;
        if (!ParseKey(key.name, name)) {
            err << "ERROR: Line " << key.line << " of " << fileName
                << " names a key outside HKLM, HKCU and HKCR: " << key.name << '\n';
            return 1;
        }
        // HKCR shares the machine hive with HKLM.
        byHive[name.root == HKEY_CURRENT_USER ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE].push_back(
            &key);
    }
    for (const auto& [root, keys] : byHive) {
        // Captured through a name of its own: clang before 16 cannot capture a binding.
        QString why;
        const int32_t error = m_store->EditHive(root, &why, [&keys = keys](CHive& hive) {
            for (const CHive::Key* key : keys) {
                const QString full = CHive::CanonicalKeyName(key->name);
                if (key->deleteTree) {
                    hive.DeleteKeyTree(full);
                    continue;
                }
                hive.CreateKey(full);
                for (const CHive::Entry& entry : key->entries) {
                    if (entry.kind == CHive::EntryKind::Value)
                        hive.SetValue(full, entry.value);
                    else if (entry.kind == CHive::EntryKind::DeleteValue)
                        hive.DeleteValue(full, entry.value.name);
                }
            }
            return ERROR_SUCCESS;
        });
        if (error != ERROR_SUCCESS)
            return Finish(error, m_store->HivePath(root), out, err, why);
    }
    return Finish(ERROR_SUCCESS, {}, out, err);
}

int CRegTool::Export(const Options& options, QTextStream& out, QTextStream& err, QTextStream& in) {
    CHive hive;
    if (!ReadKeyHive(options, hive, err))
        return 1;
    const QString& full = options.key.full;
    const QString& fileName = options.positional[1];
    if (!options.force && QFile::exists(fileName) &&
        !Confirm(out, in, QStringLiteral("File %1 already exists. Overwrite").arg(fileName))) {
        err << "The operation was cancelled.\n";
        return 1;
    }
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(hive.Export(full)) < 0 || !file.commit()) {
        err << "ERROR: Cannot write " << fileName << ": " << file.errorString() << '\n';
        return 1;
    }
    out << kDone << '\n';
    return 0;
}

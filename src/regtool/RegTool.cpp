#include "regtool/RegTool.h"
#include "platform/Utf16.h"

#include "platform/DurableFile.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

namespace {
const QString kDone = QStringLiteral("The operation completed successfully.");
const QString kNotFound =
    QStringLiteral("ERROR: The system was unable to find the specified registry key or value.");
const QString kSyntax = QStringLiteral("ERROR: Invalid syntax.");

struct TypeName {
    const char* name;
    uint32_t type;
};
constexpr uint32_t kDwordBigEndian = 5;
// Every name add takes; query shows the first name of a type.
constexpr TypeName kTypes[] = {
    {"REG_SZ", REG_SZ},
    {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY},
    {"REG_DWORD", REG_DWORD},
    {"REG_DWORD_LITTLE_ENDIAN", REG_DWORD},
    {"REG_DWORD_BIG_ENDIAN", kDwordBigEndian},
    {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_QWORD", REG_QWORD},
    {"REG_NONE", REG_NONE},
};

QString TypeText(uint32_t type) {
    for (const TypeName& known : kTypes) {
        if (known.type == type)
            return QLatin1String(known.name);
    }
    return QStringLiteral("REG_0x%1").arg(type, 0, 16);
}

bool IsHelp(const QString& argument) {
    const QString lower = argument.toLower();
    return lower == QLatin1String("/?") || lower == QLatin1String("-?") ||
           lower == QLatin1String("/h") || lower == QLatin1String("-h") ||
           lower == QLatin1String("--help");
}

QString Hint(const QString& verb) {
    return verb.isEmpty() ? QStringLiteral("Type \"orvex-reg /?\" for usage.")
                          : QStringLiteral("Type \"orvex-reg %1 /?\" for usage.").arg(verb);
}

// A key given on the command line or in a section of an imported file, split into its root
// and its path.
struct KeyName {
    HKEY root = 0;
    QString path;
    QString full;
};

// Windows refuses key names longer than this.
constexpr qsizetype kMaxKeyNameLength = 255;

// longRootOnly: as in a .reg file, where Windows knows the roots by their long names only.
bool ParseKey(const QString& text, KeyName& key, bool longRootOnly = false) {
    const QString full = CHive::CanonicalKeyName(text);
    const QString root = full.section(u'\\', 0, 0);
    if (longRootOnly && text.section(u'\\', 0, 0).compare(root, Qt::CaseInsensitive) != 0)
        return false;
    for (HKEY candidate : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT}) {
        if (CFileSettingsStore::RootName(candidate) == root) {
            key.root = candidate;
            key.full = full;
            key.path = full.contains(u'\\') ? full.section(u'\\', 1) : QString();
            const QStringList names = key.path.split(u'\\');
            return std::all_of(names.begin(), names.end(), [](const QString& name) {
                return name.size() <= kMaxKeyNameLength && !name.contains(u'\n') &&
                       !name.contains(u'\r') && !name.contains(QChar(0));
            });
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
    // Windows' tool shows a REG_DWORD_BIG_ENDIAN as it stores it: as a REG_DWORD.
    case REG_DWORD:
    case kDwordBigEndian:
    case REG_QWORD:
        if (value.data.size() == (value.type == REG_QWORD ? 8 : 4))
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

// The key's name and values, then a blank line; nothing for a key without values unless
// always (the keys below the first of a recursive query).
void PrintKey(QTextStream& out, const CHive& hive, const QString& name, bool always) {
    const std::vector<const CHive::Value*> values = hive.Values(name);
    if (values.empty() && !always)
        return;
    out << name << '\n';
    for (const CHive::Value* value : values)
        PrintValue(out, *value);
    out << '\n';
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

// Windows finds the header of a file to import only where the file starts: without a byte-order
// mark (8-bit or UTF-16 text) in its very first bytes, after a mark behind blanks at most. A
// blank first line refuses the file either way.
bool HeaderOpensFile(const QByteArray& bytes) {
    const bool utf16Mark = bytes.startsWith("\xff\xfe");
    const bool utf8Mark = bytes.startsWith("\xef\xbb\xbf");
    const qsizetype step = utf16Mark || LooksLikeUtf16LeWithoutMark(bytes) ? 2 : 1;
    qsizetype pos = utf16Mark ? 2 : utf8Mark ? 3 : 0;
    auto isAt = [&](const char* characters) {
        return pos < bytes.size() && bytes[pos] != 0 && std::strchr(characters, bytes[pos]);
    };
    if (utf16Mark || utf8Mark) {
        while (isAt(" \t"))
            pos += step;
    }
    return pos < bytes.size() && !isAt(" \t\r\n");
}

// Applies an import's sections of one hive in file order; what cannot be applied goes to
// unapplied with the reason.
void ApplyImport(CHive& hive, const std::vector<const CHive::Key*>& keys,
                 std::vector<CHive::Skipped>& unapplied) {
    for (const CHive::Key* key : keys) {
        const QString full = CHive::CanonicalKeyName(key->name);
        if (key->deleteTree) {
            if (!hive.DeleteKeyTree(full))
                unapplied.push_back({key->line, QStringLiteral("no such key")});
            continue;
        }
        hive.CreateKey(full);
        for (const CHive::Entry& entry : key->entries) {
            if (entry.value.name.contains(QChar(0)) || entry.value.name.contains(u'\r'))
                unapplied.push_back(
                    {entry.line, QStringLiteral("a control character in the name")});
            else if (entry.kind == CHive::EntryKind::Value)
                hive.SetValue(full, entry.value);
            else if (entry.kind == CHive::EntryKind::DeleteValue &&
                     !hive.DeleteValue(full, entry.value.name))
                unapplied.push_back({entry.line, QStringLiteral("no such value")});
        }
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
    KeyName key;
    QString file;
    // /v NAME or /ve (valueName empty).
    bool hasValueName = false;
    QString valueName;
    bool allValues = false;
    bool recursive = false;
    QString type = QStringLiteral("REG_SZ");
    bool hasData = false;
    QString data;
    bool hasSeparator = false;
    QString separator;
    bool force = false;
};

CRegTool::CRegTool(std::shared_ptr<CFileSettingsStore> store) : m_store(std::move(store)) {}

QString CRegTool::Usage(const QString& verb) {
    if (verb == QLatin1String("query"))
        return QStringLiteral(
            "orvex-reg query KEY [/v NAME | /ve] [/s]\n"
            "\n"
            "Shows the values of KEY and the keys directly below it.\n"
            "  /v NAME  only the value NAME; /ve only the key's default value.\n"
            "  /s       every key below KEY as well; with /v or /ve, the keys below that\n"
            "           hold the value.\n");
    if (verb == QLatin1String("add"))
        return QStringLiteral(
            "orvex-reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
            "\n"
            "Creates KEY and sets a value in it: NAME, or without /v the key's default value\n"
            "(empty text when no /d is given).\n"
            "  /t TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD,\n"
            "           REG_DWORD_LITTLE_ENDIAN, REG_DWORD_BIG_ENDIAN, REG_QWORD, REG_NONE.\n"
            "  /d DATA  numbers in decimal or with 0x in hex (a decimal REG_QWORD also\n"
            "           negative; the REG_DWORD types need /d);\n"
            "           REG_BINARY as hex digits; REG_MULTI_SZ items separated by \\0, or by\n"
            "           the one character given with /s.\n"
            "  /f       overwrite an existing value without asking.\n");
    if (verb == QLatin1String("delete"))
        return QStringLiteral("orvex-reg delete KEY [/v NAME | /ve | /va] [/f]\n"
                              "\n"
                              "Deletes KEY with every key below it, or only the value NAME (/v),\n"
                              "the default value (/ve) or all values of KEY (/va).\n"
                              "  /f       delete without asking.\n");
    if (verb == QLatin1String("import"))
        return QStringLiteral(
            "orvex-reg import FILE.reg\n"
            "\n"
            "Applies a registry file (\"Windows Registry Editor Version 5.00\" or \"REGEDIT4\",\n"
            "UTF-16 or 8-bit) line by line as Windows does. Each line Windows would skip is\n"
            "skipped and named on standard error (\"line N: why\"); the rest is applied.\n");
    if (verb == QLatin1String("export"))
        return QStringLiteral(
            "orvex-reg export KEY FILE.reg [/y]\n"
            "\n"
            "Writes KEY and every key below it to FILE.reg as Windows writes it (UTF-16 with a\n"
            "byte-order mark, CRLF line ends).\n"
            "  /y       overwrite an existing file without asking.\n");
    return QStringLiteral(
        "Usage: orvex-reg OPERATION [arguments]\n"
        "\n"
        "  orvex-reg query KEY [/v NAME | /ve] [/s]\n"
        "  orvex-reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
        "  orvex-reg delete KEY [/v NAME | /ve | /va] [/f]\n"
        "  orvex-reg import FILE.reg\n"
        "  orvex-reg export KEY FILE.reg [/y]\n"
        "\n"
        "\"orvex-reg OPERATION /?\" tells more about one operation.\n"
        "\n"
        "KEY      the root and the key path, e.g. HKLM\\SOFTWARE\\ORVEX Technologies\\ACC.\n"
        "         Roots: HKLM, HKCU, HKCR or HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER,\n"
        "         HKEY_CLASSES_ROOT. Quote keys with spaces; \"/\" is part of a key's name.\n"
        "Switches may also start with \"-\"; each may be given once.\n"
        "\n"
        "HKLM and HKCR live in the machine hive, HKCU in the user hive: with ORVEX_ROOT set\n"
        "$ORVEX_ROOT/machine.reg and $ORVEX_ROOT/user.reg, otherwise /etc/orvex/machine.reg\n"
        "and ${XDG_CONFIG_HOME:-$HOME/.config}/orvex/user.reg. Changing the machine hive\n"
        "needs the rights to write /etc/orvex.\n");
}

int CRegTool::Run(const QStringList& arguments, QTextStream& out, QTextStream& err,
                  QTextStream& in) {
    const QString verb = arguments.isEmpty() ? QString() : arguments.first().toLower();
    if (!verb.isEmpty() && IsHelp(verb)) {
        out << Usage();
        return 0;
    }
    const bool known = verb == QLatin1String("query") || verb == QLatin1String("add") ||
                       verb == QLatin1String("delete") || verb == QLatin1String("import") ||
                       verb == QLatin1String("export");
    if (!known) {
        err << kSyntax << '\n' << Hint({}) << '\n';
        return 1;
    }
    if (arguments.size() == 2 && IsHelp(arguments[1])) {
        out << Usage(verb);
        return 0;
    }
    auto syntax = [&](const QString& detail = {}) {
        err << kSyntax << (detail.isEmpty() ? QString() : u' ' + detail) << '\n'
            << Hint(verb) << '\n';
        return 1;
    };

    Options options;
    options.verb = verb;
    // The key (or the file to import) comes first, then the file to export to; switches
    // follow them, each once. Windows refuses anything else, such as a /y before the file.
    const qsizetype positional = verb == QLatin1String("export") ? 2 : 1;
    if (arguments.size() <= positional)
        return syntax();
    // A file may well start with "/" here, but not be a switch of the verb.
    for (qsizetype i = 1; i <= positional; ++i) {
        const QString lower = arguments[i].toLower();
        const bool isSwitch =
            lower.size() >= 2 &&
            (lower[0] == u'-' || (lower[0] == u'/' && i == 1 && verb != QLatin1String("import"))) &&
            lower[1].isLetter();
        const bool isViewOrOverwrite = lower.startsWith(QLatin1String("/reg:")) ||
                                       lower == QLatin1String("/y") ||
                                       lower.startsWith(QLatin1String("-reg:"));
        if (isSwitch || isViewOrOverwrite)
            return syntax(QStringLiteral("(%1)").arg(arguments[i]));
    }
    if (verb == QLatin1String("import")) {
        options.file = arguments[1];
    } else {
        if (!ParseKey(arguments[1], options.key)) {
            err << "ERROR: Invalid key name: " << arguments[1]
                << "\n       Start it with HKLM, HKCU or HKCR (or their long names).\n"
                << Hint(verb) << '\n';
            return 1;
        }
        if (verb == QLatin1String("export"))
            options.file = arguments[2];
    }

    // Which switches each operation takes, and whether each is followed by its value.
    struct Switch {
        const char* name;
        const char* verbs;
        bool takesValue;
    };
    static constexpr Switch kSwitches[] = {
        {"v", "query add delete", true},
        {"ve", "query add delete", false},
        {"va", "delete", false},
        {"t", "add", true},
        {"d", "add", true},
        {"s", "add", true},
        {"s", "query", false},
        {"f", "add delete", false},
        {"y", "export", false},
        {"reg:32", "query add delete import export", false},
        {"reg:64", "query add delete import export", false},
    };
    QStringList seen;
    for (qsizetype i = positional + 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const QString name = argument.mid(1).toLower();
        const Switch* match = nullptr;
        if (argument.startsWith(u'/') || argument.startsWith(u'-')) {
            for (const Switch& candidate : kSwitches) {
                if (name == QLatin1String(candidate.name) &&
                    QString::fromLatin1(candidate.verbs).split(u' ').contains(verb))
                    match = &candidate;
            }
        }
        // The registry views of 64-bit Windows are one view here.
        const bool view = name.startsWith(QLatin1String("reg:"));
        if (match == nullptr || seen.contains(view ? QStringLiteral("reg:") : name))
            return syntax(QStringLiteral("(%1)").arg(argument));
        seen += view ? QStringLiteral("reg:") : name;
        QString value;
        if (match->takesValue) {
            if (i + 1 >= arguments.size())
                return syntax(QStringLiteral("(%1 needs a value)").arg(argument));
            value = arguments[++i];
        }
        if (name == QLatin1String("v") || name == QLatin1String("ve")) {
            options.hasValueName = true;
            options.valueName = value;
        } else if (name == QLatin1String("va")) {
            options.allValues = true;
        } else if (name == QLatin1String("t")) {
            options.type = value.toUpper();
        } else if (name == QLatin1String("d")) {
            options.hasData = true;
            options.data = value;
        } else if (name == QLatin1String("s") && match->takesValue) {
            if (value.size() != 1)
                return syntax(QStringLiteral("(the separator must be one character)"));
            options.hasSeparator = true;
            options.separator = value;
        } else if (name == QLatin1String("s")) {
            options.recursive = true;
        } else if (name == QLatin1String("f") || name == QLatin1String("y")) {
            options.force = true;
        }
    }
    if (int(seen.contains(QStringLiteral("v"))) + int(seen.contains(QStringLiteral("ve"))) +
            int(seen.contains(QStringLiteral("va"))) >
        1)
        return syntax(QStringLiteral("(/v, /ve and /va exclude each other)"));

    if (verb == QLatin1String("query"))
        return Query(options, out, err);
    if (verb == QLatin1String("add"))
        return Add(options, out, err, in);
    if (verb == QLatin1String("delete"))
        return Delete(options, out, err, in);
    if (verb == QLatin1String("import"))
        return Import(options, out, err);
    return Export(options, out, err, in);
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
    if (options.hasValueName && options.recursive) {
        // Every key of the tree that holds the value, then the count.
        int found = 0;
        out << '\n';
        for (const QString& name : hive.KeyTree(full)) {
            if (const CHive::Value* value = hive.FindValue(name, options.valueName)) {
                out << name << '\n';
                PrintValue(out, *value);
                out << '\n';
                ++found;
            }
        }
        out << "End of search: " << found << " match(es) found.\n";
        return found > 0 ? 0 : 1;
    }
    if (options.hasValueName) {
        const CHive::Value* value = hive.FindValue(full, options.valueName);
        // A key always has a default value for Windows' query, if only an unset one.
        if (value == nullptr && !options.valueName.isEmpty()) {
            err << kNotFound << '\n';
            return 1;
        }
        out << '\n' << full << '\n';
        if (value != nullptr)
            PrintValue(out, *value);
        else
            out << "    (Default)    REG_SZ    (value not set)\n";
        out << '\n';
        return 0;
    }
    out << '\n';
    PrintKey(out, hive, full, false);
    if (options.recursive) {
        const QStringList below = hive.KeyTree(full);
        for (qsizetype i = 1; i < below.size(); ++i)
            PrintKey(out, hive, below[i], true);
    } else {
        for (const QString& child : hive.SubKeyNames(full))
            out << full << '\\' << child << '\n';
    }
    return 0;
}

namespace {
// The number of "reg add /d" for the integer types: decimal, or hexadecimal after "0x";
// empty is 0. Only a decimal REG_QWORD may be negative, and wraps as the Windows tool wraps
// it.
bool ParseNumber(const QString& text, bool mayBeNegative, uint64_t limit, uint64_t& number) {
    QString digits = text.trimmed();
    const bool negative = digits.startsWith(u'-');
    if (negative && !mayBeNegative)
        return false;
    if (negative)
        digits.remove(0, 1);
    const bool hex = digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    bool ok = true;
    number = digits.isEmpty() ? 0
             : hex            ? digits.mid(2).toULongLong(&ok, 16)
                              : digits.toULongLong(&ok, 10);
    if (!ok || (negative && hex) || number > limit || digits.startsWith(u'+') ||
        digits.startsWith(u'-'))
        return false;
    if (negative)
        number = ~number + 1;
    return true;
}

// "reg add /d" for REG_BINARY: hex digits, pairs from the end, so that an odd count gives a
// first byte of one digit ("abc" is 0a bc).
bool ParseBinary(const QString& text, QByteArray& data) {
    if (!std::all_of(text.begin(), text.end(), [](QChar c) { return HexDigit(c) >= 0; }))
        return false;
    qsizetype i = 0;
    if (text.size() % 2 != 0)
        data += static_cast<char>(HexDigit(text[i++]));
    for (; i < text.size(); i += 2)
        data += static_cast<char>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1]));
    return true;
}

// "reg add /d" for REG_MULTI_SZ: items split at the separator of /s, or at "\0" without one.
// A separator at the end is dropped; an empty item elsewhere would end the list early for
// every reader, so Windows refuses it, except for data that is a single separator (one empty
// string).
bool ParseMultiString(const QString& text, const QString& separator, QByteArray& data) {
    if (text.isEmpty()) {
        data = QByteArray(2, '\0');
        return true;
    }
    QStringList items = text.split(separator);
    if (items.last().isEmpty())
        items.removeLast();
    if (items.size() > 1 && items.contains(QString()))
        return false;
    for (const QString& item : items)
        data += Utf16LeWithNul(item);
    data += QByteArray(2, '\0');
    return true;
}
} // namespace

int CRegTool::Add(const Options& options, QTextStream& out, QTextStream& err, QTextStream& in) {
    const QString& full = options.key.full;
    // The root of the machine's registry holds no values of its own.
    if (options.key.root == HKEY_LOCAL_MACHINE && options.key.path.isEmpty()) {
        err << "ERROR: Access is denied.\n";
        return 1;
    }
    CHive::Value value;
    // Without /v the value set is the key's default value.
    value.name = options.valueName;
    const auto known = std::find_if(std::begin(kTypes), std::end(kTypes), [&](const TypeName& t) {
        return options.type == QLatin1String(t.name);
    });
    if (known == std::end(kTypes)) {
        err << "ERROR: Unknown value type: " << options.type << '\n' << Hint(options.verb) << '\n';
        return 1;
    }
    value.type = known->type;
    const QString& data = options.data;
    bool ok = true;
    uint64_t number = 0;
    switch (value.type) {
    // Windows' tool takes no default number for these, and stores a REG_DWORD_BIG_ENDIAN in
    // the bytes of a REG_DWORD, only the type differing.
    case REG_DWORD:
    case kDwordBigEndian:
        ok = options.hasData && ParseNumber(data, false, 0xffffffffu, number);
        value.data = LittleEndian(number, 4);
        break;
    case REG_QWORD:
        ok = ParseNumber(data, true, UINT64_MAX, number);
        value.data = LittleEndian(number, 8);
        break;
    case REG_BINARY:
        ok = ParseBinary(data, value.data);
        break;
    case REG_MULTI_SZ:
        ok = ParseMultiString(
            data, options.hasSeparator ? options.separator : QStringLiteral("\\0"), value.data);
        break;
    default:
        value.data = Utf16LeWithNul(data);
        break;
    }
    if (!ok && !options.hasData) {
        err << "ERROR: " << options.type << " needs its data, given with /d.\n"
            << Hint(options.verb) << '\n';
        return 1;
    }
    if (!ok) {
        err << "ERROR: Invalid data for " << options.type << ": \"" << data << "\"\n";
        return 1;
    }
    if (value.name.contains(u'\n') || value.name.contains(u'\r')) {
        err << "ERROR: A value name cannot contain a line break.\n";
        return 1;
    }

    if (!options.force) {
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
    const QString& fileName = options.file;
    QByteArray bytes;
    bool exists = false;
    if (CDurableFile(fileName).Read(bytes, &exists) != 0 || !exists) {
        err << "ERROR: Cannot read the file " << fileName << ".\n";
        return 1;
    }
    CHive import;
    import.Parse(bytes, CHive::Index::Skip);
    if (!import.HasHeader() || !HeaderOpensFile(bytes)) {
        err << "ERROR: " << fileName << " is not a registry script: its first line must be \""
            << CHive::kHeader << "\" or \"REGEDIT4\".\n";
        return 1;
    }
    // Windows accepts any other header that starts with REGEDIT, and imports nothing.
    if (import.FileFormat() == CHive::Format::Unsupported) {
        err << "line 1: an unknown version of the file format; nothing was imported\n";
        return Finish(ERROR_SUCCESS, {}, out, err);
    }

    // Lines are applied one by one as Windows applies them; what Windows skips is skipped
    // and told, by line, in file order.
    std::vector<CHive::Skipped> skipped;
    for (const CHive::Skipped& line : import.SkippedLines())
        skipped.push_back(line);
    std::map<HKEY, std::vector<const CHive::Key*>> byHive;
    for (const CHive::Key& key : import.Keys()) {
        KeyName name;
        QString why;
        // A section line without a name is told among the skipped lines, its values here.
        const bool unnamed = key.name.isEmpty() && key.text.isEmpty();
        if (unnamed)
            why = QStringLiteral("a key line");
        else if (!ParseKey(key.name, name, true))
            why = QStringLiteral("the key %1 is not a key of HKEY_LOCAL_MACHINE, "
                                 "HKEY_CURRENT_USER or HKEY_CLASSES_ROOT")
                      .arg(key.name);
        else if (key.deleteTree && name.path.isEmpty())
            why = QStringLiteral("a root key cannot be deleted");
        else if (name.root == HKEY_LOCAL_MACHINE && name.path.isEmpty() && !key.entries.empty())
            why = QStringLiteral("the root of HKEY_LOCAL_MACHINE holds no values");
        if (!why.isEmpty()) {
            if (!unnamed)
                skipped.push_back({key.line, why});
            for (const CHive::Entry& entry : key.entries) {
                if (entry.kind == CHive::EntryKind::Value ||
                    entry.kind == CHive::EntryKind::DeleteValue)
                    skipped.push_back({entry.line, QStringLiteral("its key was skipped")});
            }
            continue;
        }
        // HKCR shares the machine hive with HKLM.
        byHive[name.root == HKEY_CURRENT_USER ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE].push_back(
            &key);
    }
    // Every hive the import changes is tried in memory first: an import one hive cannot take
    // changes none, rather than leave the other one changed alone. Each write checks again
    // under its lock.
    for (const auto& [root, keys] : byHive) {
        CHive hive;
        if (m_store->ReadHive(root, hive) != ERROR_SUCCESS)
            continue; // told by the write below
        std::vector<CHive::Skipped> ignored;
        ApplyImport(hive, keys, ignored);
        const QString path = m_store->HivePath(root);
        if (const qsizetype size = hive.Serialize().size(); size > CDurableFile::kMaxSize)
            return Finish(ERROR_FILE_TOO_LARGE, path, out, err,
                          CDurableFile::TooLargeReason(path, size) +
                              QStringLiteral("; nothing was imported."));
    }
    for (const auto& [root, keys] : byHive) {
        // Captured through a name of its own: clang before 16 cannot capture a binding.
        QString why;
        std::vector<CHive::Skipped> unapplied;
        const int32_t error =
            m_store->EditHive(root, &why, [&keys = keys, &unapplied](CHive& hive) {
                unapplied.clear();
                ApplyImport(hive, keys, unapplied);
                return ERROR_SUCCESS;
            });
        if (error != ERROR_SUCCESS)
            return Finish(error, m_store->HivePath(root), out, err, why);
        skipped.insert(skipped.end(), unapplied.begin(), unapplied.end());
    }
    std::stable_sort(
        skipped.begin(), skipped.end(),
        [](const CHive::Skipped& a, const CHive::Skipped& b) { return a.line < b.line; });
    for (const CHive::Skipped& line : skipped)
        err << "line " << line.line << ": " << line.why << '\n';
    return Finish(ERROR_SUCCESS, {}, out, err);
}

int CRegTool::Export(const Options& options, QTextStream& out, QTextStream& err, QTextStream& in) {
    CHive hive;
    if (!ReadKeyHive(options, hive, err))
        return 1;
    const QString& fileName = options.file;
    if (!options.force && QFile::exists(fileName) &&
        !Confirm(out, in, QStringLiteral("File %1 already exists. Overwrite").arg(fileName))) {
        err << "The operation was cancelled.\n";
        return 1;
    }
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(hive.Export(options.key.full)) < 0 ||
        !file.commit()) {
        err << "ERROR: Cannot write " << fileName << ": " << file.errorString() << '\n';
        return 1;
    }
    out << kDone << '\n';
    return 0;
}

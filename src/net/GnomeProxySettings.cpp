#include "net/GnomeProxySettings.h"

#include <QFileInfo>

#include <dlfcn.h>

#include <mutex>

namespace {
// The few GIO calls needed, found in the library when the first address is asked about. GIO's
// types stay opaque here: its headers are not needed for them.
struct Gio {
    void* (*sourceGetDefault)();
    void* (*sourceLookup)(void* source, const char* id, int recursive);
    void (*schemaUnref)(void* schema);
    void* (*settingsNew)(const char* id);
    void* (*getChild)(void* settings, const char* name);
    char* (*getString)(void* settings, const char* key);
    int (*getInt)(void* settings, const char* key);
    int (*getBoolean)(void* settings, const char* key);
    char** (*getStrv)(void* settings, const char* key);
    void (*free)(void* memory);
    void (*strfreev)(char** strings);
    QString modulesDir;
};

template <typename Function> bool Find(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

const Gio* LoadGio() {
    static const Gio* gio = []() -> const Gio* {
        void* library = ::dlopen("libgio-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return nullptr;
        auto* calls = new Gio;
        const bool complete =
            Find(library, "g_settings_schema_source_get_default", calls->sourceGetDefault) &&
            Find(library, "g_settings_schema_source_lookup", calls->sourceLookup) &&
            Find(library, "g_settings_schema_unref", calls->schemaUnref) &&
            Find(library, "g_settings_new", calls->settingsNew) &&
            Find(library, "g_settings_get_child", calls->getChild) &&
            Find(library, "g_settings_get_string", calls->getString) &&
            Find(library, "g_settings_get_int", calls->getInt) &&
            Find(library, "g_settings_get_boolean", calls->getBoolean) &&
            Find(library, "g_settings_get_strv", calls->getStrv) &&
            Find(library, "g_free", calls->free) && Find(library, "g_strfreev", calls->strfreev);
        if (!complete) {
            delete calls;
            return nullptr;
        }
        Dl_info where{};
        if (::dladdr(reinterpret_cast<void*>(calls->settingsNew), &where) && where.dli_fname)
            calls->modulesDir = QFileInfo(QString::fromLocal8Bit(where.dli_fname)).absolutePath() +
                                QStringLiteral("/gio/modules");
        return calls;
    }();
    return gio;
}

// Without dconf's module and without GSETTINGS_BACKEND, GIO would fall back on settings held
// in memory (defaults only, mode 'none') and print a warning about it on every run.
bool SettingsCanBeStored(const Gio& gio) {
    if (!qEnvironmentVariableIsEmpty("GSETTINGS_BACKEND"))
        return true;
    const QString dir = qEnvironmentVariableIsEmpty("GIO_MODULE_DIR")
                            ? gio.modulesDir
                            : qEnvironmentVariable("GIO_MODULE_DIR");
    return QFileInfo::exists(dir + QStringLiteral("/libdconfsettings.so"));
}

QString String(const Gio& gio, void* settings, const char* key) {
    char* value = gio.getString(settings, key);
    const QString text = QString::fromUtf8(value);
    gio.free(value);
    return text;
}

QStringList Strings(const Gio& gio, void* settings, const char* key) {
    char** values = gio.getStrv(settings, key);
    QStringList list;
    for (char** value = values; value && *value; ++value)
        list << QString::fromUtf8(*value);
    gio.strfreev(values);
    return list;
}

// Every call into GIO goes through this lock. GSettings is safe to use from any thread, but
// GLib orders its threads with locks of its own that a race detector cannot see; one lock of
// ours makes that order visible, and reading a few keys is no work worth running side by side.
std::mutex g_gioLock;

// The three objects, made once: each watches its backend, which is no use to repeat per
// address.
struct Objects {
    void* proxy = nullptr;
    void* http = nullptr;
    void* https = nullptr;
};

// Under g_gioLock.
const Objects* SettingsObjects(const Gio& gio) {
    static Objects* objects = nullptr;
    static bool tried = false;
    if (tried)
        return objects;
    tried = true;
    if (!SettingsCanBeStored(gio))
        return nullptr;
    // g_settings_new aborts the process for a schema that is not installed, so it is looked up
    // first (gsettings-desktop-schemas ships it).
    void* source = gio.sourceGetDefault();
    void* schema = source ? gio.sourceLookup(source, "org.gnome.system.proxy", 1) : nullptr;
    if (!schema)
        return nullptr;
    gio.schemaUnref(schema);
    objects = new Objects;
    objects->proxy = gio.settingsNew("org.gnome.system.proxy");
    objects->http = gio.getChild(objects->proxy, "http");
    objects->https = gio.getChild(objects->proxy, "https");
    return objects;
}
} // namespace

GnomeProxySettings GnomeProxySettings::Read() {
    GnomeProxySettings read;
    const Gio* gio = LoadGio();
    std::lock_guard lock(g_gioLock);
    const Objects* objects = gio ? SettingsObjects(*gio) : nullptr;
    if (!objects || !objects->proxy || !objects->http || !objects->https)
        return read;
    const QString mode = String(*gio, objects->proxy, "mode");
    read.mode = mode == u"manual" ? Manual : mode == u"auto" ? Auto : None;
    read.autoconfigUrl = String(*gio, objects->proxy, "autoconfig-url");
    read.ignoreHosts = Strings(*gio, objects->proxy, "ignore-hosts");
    read.httpHost = String(*gio, objects->http, "host");
    read.httpPort = gio->getInt(objects->http, "port");
    read.useAuthentication = gio->getBoolean(objects->http, "use-authentication") != 0;
    read.userName = String(*gio, objects->http, "authentication-user");
    read.password = String(*gio, objects->http, "authentication-password");
    read.httpsHost = String(*gio, objects->https, "host");
    read.httpsPort = gio->getInt(objects->https, "port");
    return read;
}

#include "platform/Locations.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString EnvironmentPath(const char* name) {
    const QString value = qEnvironmentVariable(name);
    // Relative values are ignored, as the desktop conventions ask: they would depend on the
    // folder the program happens to be started from.
    return QDir::isAbsolutePath(value) ? QDir::cleanPath(value) : QString();
}

QString HomeFolder() {
    const QString home = EnvironmentPath("HOME");
    if (!home.isEmpty())
        return home;
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QFile::decodeName(found->pw_dir);
    return QStringLiteral("/");
}

// Makes folder (mode 0700) or accepts it when it exists, is a real folder, not a link,
// belongs to this user and nobody else can write to it. Anything else may have been planted
// by another user to catch this program's downloads. An accepted folder that others may read
// or enter is closed to them, unless tighten is false.
bool PrivateFolder(const QString& folder, bool tighten = true) {
    const QByteArray local = QFile::encodeName(folder);
    if (::mkdir(local.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info {};
    if (::lstat(local.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid() || (info.st_mode & 022) != 0)
        return false;
    if (tighten && (info.st_mode & 077) != 0 && ::chmod(local.constData(), 0700) != 0)
        return false;
    return true;
}

// A folder FilePath can carry: no backslash, which the canonical form would split.
bool Representable(const QString& folder) {
    return !folder.contains(u'\\');
}
} // namespace

CAtlString MachineHivePath() {
    const QString root = SandboxRoot();
    return root.isEmpty() ? QStringLiteral("/etc/orvex/machine.reg")
                          : root + QStringLiteral("/machine.reg");
}

CAtlString UserHivePath() {
    const QString root = SandboxRoot();
    if (!root.isEmpty())
        return root + QStringLiteral("/user.reg");
    QString config = EnvironmentPath("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = HomeFolder() + QStringLiteral("/.config");
    return config + QStringLiteral("/orvex/user.reg");
}

namespace {
std::mutex g_moduleMutex;
FilePath g_moduleOverride;
} // namespace

void OverrideModuleFolder(const FilePath& folder) {
    std::lock_guard<std::mutex> lock(g_moduleMutex);
    g_moduleOverride = folder;
}

FilePath ModuleFolder() {
    {
        std::lock_guard<std::mutex> lock(g_moduleMutex);
        if (!g_moduleOverride.IsEmpty())
            return g_moduleOverride;
    }
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0)
        return {};
    return FilePath(QFile::decodeName(QByteArray(buffer, length))).Folder();
}

FilePath TempFolder() {
    const QString root = SandboxRoot();
    if (!root.isEmpty()) {
        // A sandbox's root may be shared with other users as much as /tmp is: its folder
        // passes the same test, and one that fails is never used. Its permissions are the
        // sandbox maker's to choose, as long as nobody else can write there.
        const QString folder = root + QStringLiteral("/tmp");
        return PrivateFolder(folder, false) ? FilePath(folder) : FilePath();
    }
    const QString user = QString::number(::geteuid());
    const QString runtime = EnvironmentPath("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && Representable(runtime)) {
        const QString folder = runtime + QStringLiteral("/orvex-product-update");
        if (PrivateFolder(folder))
            return FilePath(folder);
    }
    QString base = EnvironmentPath("TMPDIR");
    if (base.isEmpty() || !Representable(base))
        base = QStringLiteral("/tmp");
    const QString folder = base + QStringLiteral("/orvex-product-update-") + user;
    if (PrivateFolder(folder))
        return FilePath(folder);

    // The usual name is taken by someone else: fall back to a fresh folder with a name
    // nobody can predict, made once per process.
    static std::mutex mutex;
    static QString fallback;
    std::lock_guard<std::mutex> lock(mutex);
    if (fallback.isEmpty()) {
        QByteArray templ = QFile::encodeName(folder) + "-XXXXXX";
        if (::mkdtemp(templ.data()) != nullptr)
            fallback = QFile::decodeName(templ);
    }
    return fallback.isEmpty() ? FilePath() : FilePath(fallback);
}

CAtlString LockFolder() {
    // Chosen from the user id alone, never from the environment: a run started from the
    // desktop and one started from a shell without XDG_RUNTIME_DIR must meet at one lock.
    const QString root = SandboxRoot();
    const QString user = QString::number(::geteuid());
    const QString runtime = root + QStringLiteral("/run/user/") + user;
    // Not made or changed here: the login manager makes it, and a folder that does not pass
    // is simply not used.
    struct stat info {};
    if (::lstat(QFile::encodeName(runtime).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == ::geteuid() && (info.st_mode & 022) == 0)
        return runtime;
    const QString folder = (root.isEmpty() ? QStringLiteral("/tmp") : root) +
                           QStringLiteral("/orvex-product-update-") + user;
    return PrivateFolder(folder) ? folder : QString();
}

FilePath UniqueTempFile(const CAtlString& extension, const CAtlString& baseName) {
    const FilePath folder = TempFolder();
    if (folder.IsEmpty())
        return {};
    const CAtlString base = baseName.isEmpty() ? QStringLiteral("FLVTemp") : baseName;
    FilePath candidate(folder.Text() + u'\\' + base + extension);
    // The names are predictable, which is harmless only because the folder is private.
    while (candidate.Exists()) {
        candidate = FilePath(folder.Text() + u'\\' + base + u'(' + QString::number(std::rand()) +
                             u')' + extension);
    }
    return candidate;
}

FilePath CommonAppDataFolder() {
    const QString root = SandboxRoot();
    return FilePath(root.isEmpty() ? QStringLiteral("/var/lib/orvex")
                                   : root + QStringLiteral("/ProgramData"));
}

FilePath SharedDataFolder() {
    const QString root = SandboxRoot();
    return FilePath(root.isEmpty() ? QStringLiteral("/usr/share/orvex")
                                   : root + QStringLiteral("/CommonFiles"));
}

bool IsTestMode() {
    return FilePath(QStringLiteral("c:\\testmark.dat")).Exists();
}

bool ShellOpen(const CAtlString& pathOrAddress) {
    if (pathOrAddress.isEmpty())
        return false;
    const QString program = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (program.isEmpty())
        return false;
    // Addresses ("https://...") go as they are; Windows-form paths in their Linux form.
    const FilePath asPath(pathOrAddress);
    const bool windowsPath = pathOrAddress.startsWith(u'\\') ||
                             (pathOrAddress.size() >= 3 && pathOrAddress[1] == u':' &&
                              (pathOrAddress[2] == u'\\' || pathOrAddress[2] == u'/'));
    const QString argument = windowsPath ? asPath.LocalPath() : pathOrAddress;
    // A list of arguments and no shell: nothing in the address is ever interpreted.
    return QProcess::startDetached(program, {argument});
}

#include "platform/FilePath.h"
#include "platform/FdGuard.h"

#include <QDir>
#include <QFile>

#include <algorithm>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {
CAtlString Normalise(CAtlString text) {
    // A device or long-path prefix ("\\?\C:\dir") goes; a plain "C:\dir" (colon at index 1)
    // is left alone.
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon >= 4 && colon + 1 < text.size() && text[colon + 1] == u'\\')
        text.remove(0, colon - 1);
    text.replace(u'/', u'\\');
    if (text.endsWith(u'\\'))
        text.chop(1);
    return text;
}

bool HasDrive(const CAtlString& text) {
    return text.size() >= 2 && text[1] == u':' && text[0].unicode() < 0x80 && text[0].isLetter();
}

QByteArray Encoded(const FilePath& path) {
    return QFile::encodeName(path.LocalPath());
}

// A name as the wildcard match compares it: each character case-folded on its own.
QString Folded(const QString& text) {
    QString folded(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        folded[i] = text[i].toCaseFolded();
    return folded;
}

// Windows wildcards: "*" any run, "?" one character, letters without regard to case. Both
// are compared folded (Folded).
bool WildcardMatch(const QString& pattern, qsizetype p, const QString& name, qsizetype n) {
    while (p < pattern.size()) {
        const QChar c = pattern[p];
        if (c == u'*') {
            while (p < pattern.size() && pattern[p] == u'*')
                ++p;
            if (p == pattern.size())
                return true;
            for (qsizetype start = n; start <= name.size(); ++start) {
                if (WildcardMatch(pattern, p, name, start))
                    return true;
            }
            return false;
        }
        if (n >= name.size())
            return false;
        if (c != u'?' && c != name[n])
            return false;
        ++p;
        ++n;
    }
    return n == name.size();
}

// One folder's entry: its name, that name folded, and whether it is a file.
struct ListedName {
    QString name;
    QString folded;
    bool file = false;
};

// One folder's listing: the names that can be represented (without "\\"), in the order of
// their folded names, so that the names that start with a pattern's first letters are found
// without a look at every other: a long product list looks for each product's version files
// in the same folder of as many files.
using Listing = std::vector<ListedName>;

Listing ReadListing(const FilePath& folder) {
    Listing listing;
    DIR* dir = ::opendir(Encoded(folder).constData());
    if (dir == nullptr)
        return listing;
    while (const dirent* entry = ::readdir(dir)) {
        QString name = QFile::decodeName(entry->d_name);
        if (name.contains(u'\\'))
            continue;
        // The folder's own listing tells the type of most entries; asking the file system
        // about each would cost every product of a long list a look at every version file.
        struct stat info {};
        const bool file = entry->d_type == DT_REG ||
                          (entry->d_type != DT_DIR &&
                           !(::stat(Encoded(folder.Join(name)).constData(), &info) == 0 &&
                             S_ISDIR(info.st_mode)));
        QString folded = Folded(name);
        listing.push_back({std::move(name), std::move(folded), file});
    }
    ::closedir(dir);
    std::sort(listing.begin(), listing.end(),
              [](const ListedName& a, const ListedName& b) { return a.folded < b.folded; });
    return listing;
}

// The listings of the thread's live FilePath::ListingCache, by folder; null when none lives.
thread_local std::map<CAtlString, Listing>* t_listings = nullptr;
} // namespace

FilePath::ListingCache::ListingCache() : m_owner(t_listings == nullptr) {
    if (m_owner)
        t_listings = new std::map<CAtlString, Listing>;
}

FilePath::ListingCache::~ListingCache() {
    if (m_owner) {
        delete t_listings;
        t_listings = nullptr;
    }
}

CAtlString SandboxRoot() {
    const QString root = qEnvironmentVariable("ORVEX_ROOT");
    return root.isEmpty() ? QString() : QDir(root).absolutePath();
}

FilePath::FilePath(const CAtlString& text) : m_path(Normalise(text)) {}

CAtlString FilePath::LocalPath() const {
    // Only the canonical form is converted, so a Linux name that itself contains a
    // backslash cannot be represented: it would come out as two components. Such names are
    // skipped where this program lists folders.
    if (!HasDrive(m_path)) {
        QString local = m_path;
        local.replace(u'\\', u'/');
        return local;
    }
    QString rest = m_path.mid(2);
    rest.replace(u'\\', u'/');
    const QString root = SandboxRoot();
    const QString drive =
        root.isEmpty() ? QString() : root + QStringLiteral("/drive_") + m_path[0].toLower();
    if (rest.isEmpty())
        return drive.isEmpty() ? QStringLiteral("/") : drive;
    // "C:name" (relative to the drive's current folder on Windows) starts at the drive's root.
    if (!rest.startsWith(u'/'))
        rest.prepend(u'/');
    return drive + rest;
}

bool FilePath::IsRelative() const {
    return !m_path.startsWith(u'\\') && !HasDrive(m_path);
}

bool FilePath::Exists() const {
    if (IsEmpty())
        return false;
    struct stat info {};
    return ::stat(Encoded(*this).constData(), &info) == 0;
}

CAtlString FilePath::FileName() const {
    const qsizetype slash = m_path.lastIndexOf(u'\\');
    return slash < 0 ? m_path : m_path.mid(slash + 1);
}

CAtlString FilePath::BaseName() const {
    const CAtlString name = FileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot < 0 ? name : name.left(dot);
}

CAtlString FilePath::Extension() const {
    const qsizetype dot = m_path.lastIndexOf(u'.');
    const qsizetype slash = m_path.lastIndexOf(u'\\');
    return dot > slash ? m_path.mid(dot) : CAtlString();
}

FilePath FilePath::Folder() const {
    const qsizetype slash = m_path.lastIndexOf(u'\\');
    return slash < 0 ? FilePath() : FilePath(m_path.left(slash));
}

FilePath FilePath::Join(const CAtlString& name) const {
    return FilePath(m_path + u'\\' + name);
}

bool FilePath::RemoveLastComponent() {
    const qsizetype slash = m_path.lastIndexOf(u'\\');
    if (slash < 0)
        return false;
    m_path.truncate(slash);
    return true;
}

void FilePath::Append(const CAtlString& name) {
    if (!name.isEmpty())
        *this = Join(name);
}

bool FilePath::CreateDirectories() const {
    if (!IsEmpty() && Exists())
        return true;
    FilePath parent = *this;
    if (parent.RemoveLastComponent())
        parent.CreateDirectories();
    if (IsEmpty())
        return false;
    const QByteArray local = Encoded(*this);
    if (::mkdir(local.constData(), 0755) != 0)
        return false;
    // The umask of whoever ran the program first would decide otherwise: under 077 the common
    // folder would stay closed to every other user. The mode is set through the folder just
    // made, never through a name that could meanwhile lead elsewhere.
    const FdGuard folder(
        ::open(local.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return folder.Get() >= 0 && ::fchmod(folder.Get(), 0755) == 0;
}

bool FilePath::DeleteFile() const {
    if (IsEmpty() || !Exists())
        return true;
    const QByteArray local = Encoded(*this);
    struct stat info {};
    if (::lstat(local.constData(), &info) != 0)
        return false;
    // The counterpart of clearing the read-only attribute: a file this user may not write
    // is made writable first, and when even that is refused the file stays.
    if (!S_ISLNK(info.st_mode) && ::access(local.constData(), W_OK) != 0 &&
        ::chmod(local.constData(), (info.st_mode & 07777) | S_IWUSR) != 0)
        return false;
    return ::unlink(local.constData()) == 0;
}

bool FilePath::CopyTo(const FilePath& destination, bool failIfExists, int mode) const {
    if (IsEmpty() || destination.IsEmpty())
        return false;
    FdGuard source(::open(Encoded(*this).constData(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (source.Get() < 0 || ::fstat(source.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    if (failIfExists && destination.Exists())
        return false;

    // Copied to a temporary beside the destination and then put in place, so that a reader
    // never sees half a file and a failed copy leaves the old destination untouched.
    const QByteArray target = Encoded(destination);
    QByteArray temporary = target + ".tmp.XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = true;
    {
        FdGuard out(fd);
        char chunk[65536];
        for (;;) {
            const ssize_t got = ::read(source.Get(), chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                ok = got == 0;
                break;
            }
            for (ssize_t done = 0; ok && done < got;) {
                const ssize_t written = ::write(fd, chunk + done, static_cast<size_t>(got - done));
                if (written < 0 && errno == EINTR)
                    continue;
                ok = written > 0;
                done += written > 0 ? written : 0;
            }
            if (!ok)
                break;
        }
        const mode_t bits = mode < 0 ? info.st_mode & 0777 : static_cast<mode_t>(mode) & 0777;
        ok = ok && ::fchmod(fd, bits) == 0;
    }
    if (ok) {
        // link() refuses an existing name atomically, which a test-then-rename cannot.
        ok = failIfExists ? ::link(temporary.constData(), target.constData()) == 0
                          : ::rename(temporary.constData(), target.constData()) == 0;
    }
    ::unlink(temporary.constData());
    return ok;
}

int32_t FilePath::FileSize() const {
    if (IsEmpty())
        return -1;
    FdGuard fd(::open(Encoded(*this).constData(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > std::numeric_limits<int32_t>::max())
        return -1;
    return static_cast<int32_t>(info.st_size);
}

int32_t FilePath::ReadAll(std::unique_ptr<char[]>& buffer) const {
    buffer.reset();
    FILE* stream = OpenStream("rb");
    if (stream == nullptr)
        return 0;
    // The size of the file actually opened, so that a file replaced in between cannot make
    // the buffer too small.
    struct stat info {};
    size_t count = 0;
    if (::fstat(::fileno(stream), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        info.st_size <= kMaxFileSize) {
        const auto size = static_cast<size_t>(info.st_size);
        buffer.reset(new char[size]);
        count = std::fread(buffer.get(), 1, size, stream);
    }
    std::fclose(stream);
    return static_cast<int32_t>(count);
}

FILE* FilePath::OpenStream(const char* mode) const {
    if (IsEmpty() || mode == nullptr)
        return nullptr;
    // "e": close on exec, so that a browser started through ShellOpen does not inherit it.
    const QByteArray fullMode = QByteArray(mode) + 'e';
    return std::fopen(Encoded(*this).constData(), fullMode.constData());
}

void FilePath::ListFiles(const CAtlString& pattern, std::vector<FilePath>& out) const {
    if (IsEmpty() || !Exists())
        return;
    FilePath folder = *this;
    QString namePattern = FilePath(pattern).Text();
    const qsizetype slash = namePattern.lastIndexOf(u'\\');
    if (slash >= 0) {
        folder = Join(namePattern.left(slash));
        namePattern = namePattern.mid(slash + 1);
    }
    // As on Windows, "*.*" also matches names without a dot.
    if (namePattern == QLatin1String("*.*"))
        namePattern = QStringLiteral("*");

    Listing read;
    const Listing* listing = &read;
    if (t_listings) {
        auto [known, added] = t_listings->try_emplace(folder.Text());
        if (added)
            known->second = ReadListing(folder);
        listing = &known->second;
    } else {
        read = ReadListing(folder);
    }
    // Only the names that start with the pattern's letters before its first wildcard.
    namePattern = Folded(namePattern);
    qsizetype literal = 0;
    while (literal < namePattern.size() && namePattern[literal] != u'*' &&
           namePattern[literal] != u'?')
        ++literal;
    const QString prefix = namePattern.left(literal);
    auto entry = std::lower_bound(
        listing->begin(), listing->end(), prefix,
        [](const ListedName& listed, const QString& text) { return listed.folded < text; });
    for (; entry != listing->end() && entry->folded.startsWith(prefix); ++entry)
        if (entry->file && WildcardMatch(namePattern, 0, entry->folded, 0))
            out.push_back(folder.Join(entry->name));
}

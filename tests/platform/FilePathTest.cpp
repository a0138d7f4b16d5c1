#include "platform/FilePath.h"

#include "support/Sandbox.h"

#include <QDir>

#include <optional>

#include <unistd.h>

TEST(FilePath, NormalisesSplitsJoinsAndMaps) {
    Sandbox sandbox; // puts ORVEX_ROOT back
    // Input, canonical form, file name, base name, extension, folder.
    // clang-format off
    const char* const cases[][6] = {
        {"C:/Data/Sub/", "C:\\Data\\Sub", "Sub", "Sub", "", "C:\\Data"},
        {"C:\\", "C:", "C:", "C:", "", ""},
        {"\\\\?\\C:\\dir\\setup.exe", "C:\\dir\\setup.exe", "setup.exe", "setup", ".exe", "C:\\dir"},
        {"relative/.hidden", "relative\\.hidden", ".hidden", "", ".hidden", "relative"},
    };
    // clang-format on
    for (const auto& [input, text, fileName, baseName, extension, folder] : cases) {
        const FilePath path(input);
        EXPECT_EQ(QStringList({path.Text(), path.FileName(), path.BaseName(), path.Extension(),
                               path.Folder().Text()}),
                  QStringList({text, fileName, baseName, extension, folder}));
    }
    EXPECT_EQ(FilePath("C:\\").Join("x/y\\").Text(), "C:\\x\\y");
    // Outside a sandbox drive C is the root of the system (the sandbox's drive_c is what
    // every other test of a Windows path uses).
    qunsetenv("ORVEX_ROOT");
    EXPECT_EQ(FilePath("C:\\etc\\x").LocalPath(), "/etc/x");
    EXPECT_EQ(FilePath("C:").LocalPath(), "/");
}

// FileSize tells the true size of any file that has one in 32 bits; only ReadAll stops at
// its cap. Large files are sparse and take no disk space.
TEST(FilePath, SizesAnyFileButReadsOnlyUpToTheCap) {
    Sandbox sandbox;
    constexpr int64_t kCap = FilePath::kMaxFileSize;
    // File name on drive C, the size of the sparse file made there first, FileSize, and the
    // count ReadAll gives.
    // clang-format off
    const std::tuple<const char*, int64_t, int32_t, int32_t> cases[] = {
        {"empty.txt", 0, 0, 0}, {"capped.bin", kCap, kCap, kCap},
        {"over.bin", kCap + 1, kCap + 1, 0}, {"twogib.bin", int64_t{INT32_MAX} + 1, -1, 0}};
    // clang-format on
    for (const auto& [name, made, size, read] : cases) {
        SCOPED_TRACE(name);
        const QString local = sandbox.Path(QStringLiteral("drive_c/") + name);
        sandbox.Write(local, {});
        ASSERT_EQ(::truncate(QFile::encodeName(local).constData(), made), 0);
        const FilePath path(QStringLiteral("C:\\") + name);
        EXPECT_EQ(path.FileSize(), size);
        std::unique_ptr<char[]> buffer(new char[1]);
        EXPECT_EQ(path.ReadAll(buffer), read);
        EXPECT_EQ(buffer == nullptr, read == 0);
    }
}

// While a listing cache lives, each folder is read once and every pattern is matched against
// that reading; another folder gets its own, and a cache made inside it ends nothing.
TEST(FilePath, AListingCacheReadsEachFolderOnceWhileItLives) {
    Sandbox sandbox;
    sandbox.Write("drive_c/a/x1.xml", {});
    sandbox.Write("drive_c/b/y.xml", {});
    const FilePath a(QStringLiteral("C:\\a")), b(QStringLiteral("C:\\b"));
    const auto names = [](const FilePath& folder, const char* pattern) {
        std::vector<FilePath> found;
        folder.ListFiles(QString::fromLatin1(pattern), found);
        QStringList result;
        for (const FilePath& file : found)
            result << file.FileName();
        result.sort();
        return result;
    };
    {
        const FilePath::ListingCache cache;
        EXPECT_EQ(names(a, "x*.xml"), QStringList{"x1.xml"});
        sandbox.Write("drive_c/a/x2.xml", {});
        EXPECT_EQ(names(a, "*"), QStringList{"x1.xml"});
        EXPECT_EQ(names(b, "*.XML"), QStringList{"y.xml"});
        { const FilePath::ListingCache inner; }
        EXPECT_EQ(names(a, "*.xml"), QStringList{"x1.xml"});
    }
    EXPECT_EQ(names(a, "*.xml"), QStringList({"x1.xml", "x2.xml"}));

    // Patterns match as on Windows, letters without regard to case, read from a cache or not:
    // only the names that start with the pattern's first letters are looked at, and a name
    // that starts with them in another case is one of them.
    for (const char* name : {"Editor.xml", "editor_2.xml", "EditorPro.XML", "xEditor.xml",
                             "\xc3\x84rger.xml", "Edit.txt"})
        sandbox.Write(QStringLiteral("drive_c/c/") + QString::fromUtf8(name), {});
    ASSERT_TRUE(QDir().mkpath(sandbox.Path("drive_c/c/Editor.old.xml")));
    const FilePath c(QStringLiteral("C:\\c"));
    // clang-format off
    const struct { const char* pattern; QStringList found; } rows[] = {
        {"editor*.xml", {"Editor.xml", "EditorPro.XML", "editor_2.xml"}},
        {"EDITOR.XML", {"Editor.xml"}},
        {"?ditor.xml", {"Editor.xml"}},
        {"*ditor.xml", {"Editor.xml", "xEditor.xml"}},
        {"editor_?.xml", {"editor_2.xml"}},
        {"\xc3\xa4rger*", {"\xc3\x84rger.xml"}},
        {"edit*", {"Edit.txt", "Editor.xml", "EditorPro.XML", "editor_2.xml"}},
        {"editors*", {}},
        {"*", {"Edit.txt", "Editor.xml", "EditorPro.XML", "editor_2.xml", "xEditor.xml", "\xc3\x84rger.xml"}},
    };
    // clang-format on
    for (const bool cached : {false, true}) {
        std::optional<FilePath::ListingCache> cache;
        if (cached)
            cache.emplace();
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.pattern) + (cached ? " cached" : ""));
            std::vector<FilePath> found;
            c.ListFiles(QString::fromUtf8(row.pattern), found);
            QStringList result;
            for (const FilePath& file : found)
                result << file.FileName();
            result.sort();
            QStringList expected = row.found;
            expected.sort();
            EXPECT_EQ(result, expected);
        }
    }
}

#include "platform/FilePath.h"

#include "support/Sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

TEST(FilePath, NormalisesToTheCanonicalForm) {
    const std::pair<const char*, const char*> cases[] = {
        {"C:/Data/Sub/", "C:\\Data\\Sub"},
        {"C:\\", "C:"},
        {"\\\\?\\C:\\dir", "C:\\dir"},
        {"\\\\.\\D:\\x/y", "D:\\x\\y"},
        {"C:\\dir", "C:\\dir"},
        {"relative/name.txt", "relative\\name.txt"},
        {"/usr/share/orvex/", "\\usr\\share\\orvex"},
        {"a:b\\c", "a:b\\c"},
        {"", ""},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(FilePath(QString::fromLatin1(input)).Text(), QString::fromLatin1(expected))
            << input;
}

TEST(FilePath, SplitsIntoNameParts) {
    struct Case {
        const char* path;
        const char* fileName;
        const char* baseName;
        const char* extension;
        const char* folder;
    };
    const Case cases[] = {
        {"C:\\dir\\setup.exe", "setup.exe", "setup", ".exe", "C:\\dir"},
        {"C:\\a.b\\file", "file", "file", "", "C:\\a.b"},
        {"archive.tar.gz", "archive.tar.gz", "archive.tar", ".gz", ""},
        {"C:\\dir\\.hidden", ".hidden", "", ".hidden", "C:\\dir"},
        {"C:\\file", "file", "file", "", "C:"},
        {"C:", "C:", "C:", "", ""},
    };
    for (const Case& c : cases) {
        const FilePath path(QString::fromLatin1(c.path));
        EXPECT_EQ(path.FileName(), QString::fromLatin1(c.fileName)) << c.path;
        EXPECT_EQ(path.BaseName(), QString::fromLatin1(c.baseName)) << c.path;
        EXPECT_EQ(path.Extension(), QString::fromLatin1(c.extension)) << c.path;
        EXPECT_EQ(path.Folder().Text(), QString::fromLatin1(c.folder)) << c.path;
    }
}

TEST(FilePath, JoinsAppendsAndShortens) {
    EXPECT_EQ(FilePath(QStringLiteral("C:\\dir")).Join(QStringLiteral("sub/file.xml")).Text(),
              QStringLiteral("C:\\dir\\sub\\file.xml"));
    EXPECT_EQ(FilePath(QStringLiteral("C:\\")).Join(QStringLiteral("x")).Text(),
              QStringLiteral("C:\\x"));
    EXPECT_EQ(FilePath(QStringLiteral("C:\\dir")).Join(QStringLiteral("sub\\")).Text(),
              QStringLiteral("C:\\dir\\sub"));

    FilePath path(QStringLiteral("C:\\dir"));
    path.Append(QString());
    EXPECT_EQ(path.Text(), QStringLiteral("C:\\dir"));
    path.Append(QStringLiteral("a/b"));
    EXPECT_EQ(path.Text(), QStringLiteral("C:\\dir\\a\\b"));
    EXPECT_TRUE(path.RemoveLastComponent());
    EXPECT_EQ(path.Text(), QStringLiteral("C:\\dir\\a"));
    FilePath single(QStringLiteral("name"));
    EXPECT_FALSE(single.RemoveLastComponent());
    EXPECT_EQ(single.Text(), QStringLiteral("name"));
}

TEST(FilePath, MapsDrivesIntoTheSandbox) {
    Sandbox sandbox;
    const QString root = sandbox.Root();
    const std::pair<const char*, QString> cases[] = {
        {"c:\\testmark.dat", root + QStringLiteral("/drive_c/testmark.dat")},
        {"D:\\Program Files\\x", root + QStringLiteral("/drive_d/Program Files/x")},
        {"E:", root + QStringLiteral("/drive_e")},
        {"\\usr\\share", QStringLiteral("/usr/share")},
        {"relative\\x", QStringLiteral("relative/x")},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(FilePath(QString::fromLatin1(input)).LocalPath(), expected) << input;

    const FilePath marker(QStringLiteral("c:\\testmark.dat"));
    EXPECT_FALSE(marker.Exists());
    sandbox.Write(QStringLiteral("drive_c/testmark.dat"), "x");
    EXPECT_TRUE(marker.Exists());

    qunsetenv("ORVEX_ROOT");
    EXPECT_EQ(FilePath(QStringLiteral("C:\\etc\\x")).LocalPath(), QStringLiteral("/etc/x"));
    EXPECT_EQ(FilePath(QStringLiteral("C:")).LocalPath(), QStringLiteral("/"));
}

TEST(FilePath, SizesAndReadsRealFiles) {
    Sandbox sandbox;
    sandbox.Write(QStringLiteral("drive_c/empty.txt"), QByteArray());
    sandbox.Write(QStringLiteral("drive_c/data.bin"), QByteArray("\x00\x01hello", 7));
    QDir().mkpath(sandbox.Path(QStringLiteral("drive_c/folder")));
    struct Case {
        const char* path;
        int32_t size;
        QByteArray content;
    };
    const Case cases[] = {
        {"C:\\empty.txt", 0, {}},
        {"C:\\data.bin", 7, QByteArray("\x00\x01hello", 7)},
        {"C:\\folder", -1, {}},
        {"C:\\missing", -1, {}},
        {"", -1, {}},
    };
    for (const Case& c : cases) {
        const FilePath path(QString::fromLatin1(c.path));
        EXPECT_EQ(path.FileSize(), c.size) << c.path;
        std::unique_ptr<char[]> buffer(new char[1]);
        const int32_t count = path.ReadAll(buffer);
        EXPECT_EQ(count, c.content.size()) << c.path;
        EXPECT_EQ(buffer == nullptr, c.content.isEmpty()) << c.path;
        if (buffer) {
            EXPECT_EQ(QByteArray(buffer.get(), count), c.content) << c.path;
        }
    }
}

TEST(FilePath, FilesAboveTheCapCountAsUnreadable) {
    Sandbox sandbox;
    const QString local = sandbox.Path(QStringLiteral("drive_c/huge.bin"));
    sandbox.Write(QStringLiteral("drive_c/huge.bin"), QByteArray());
    // Sparse: takes no disk space.
    ASSERT_EQ(::truncate(QFile::encodeName(local).constData(), FilePath::kMaxFileSize + 1), 0);
    const FilePath huge(QStringLiteral("C:\\huge.bin"));
    EXPECT_EQ(huge.FileSize(), -1);
    std::unique_ptr<char[]> buffer;
    EXPECT_EQ(huge.ReadAll(buffer), 0);
    EXPECT_EQ(buffer, nullptr);
    ASSERT_EQ(::truncate(QFile::encodeName(local).constData(), FilePath::kMaxFileSize), 0);
    EXPECT_EQ(huge.FileSize(), FilePath::kMaxFileSize);
}

TEST(FilePath, CreatesCopiesAndDeletes) {
    Sandbox sandbox;
    const FilePath deep(QStringLiteral("C:\\one\\two\\three"));
    EXPECT_TRUE(deep.CreateDirectories());
    EXPECT_TRUE(QFileInfo(sandbox.Path(QStringLiteral("drive_c/one/two/three"))).isDir());
    EXPECT_TRUE(deep.CreateDirectories());
    EXPECT_FALSE(FilePath().CreateDirectories());

    sandbox.Write(QStringLiteral("drive_c/source.txt"), "source");
    sandbox.Write(QStringLiteral("drive_c/target.txt"), "old");
    const FilePath source(QStringLiteral("C:\\source.txt"));
    const FilePath target(QStringLiteral("C:\\target.txt"));
    EXPECT_FALSE(source.CopyTo(target, true));
    EXPECT_EQ(sandbox.Read(QStringLiteral("drive_c/target.txt")), QByteArray("old"));
    EXPECT_TRUE(source.CopyTo(target, false));
    EXPECT_EQ(sandbox.Read(QStringLiteral("drive_c/target.txt")), QByteArray("source"));
    EXPECT_TRUE(source.CopyTo(deep.Join(QStringLiteral("copy.txt")), true));
    EXPECT_EQ(sandbox.Read(QStringLiteral("drive_c/one/two/three/copy.txt")), QByteArray("source"));
    EXPECT_FALSE(FilePath(QStringLiteral("C:\\missing")).CopyTo(target, false));
    EXPECT_FALSE(deep.CopyTo(target, false));
    EXPECT_TRUE(QDir(sandbox.Path(QStringLiteral("drive_c")))
                    .entryList({QStringLiteral("*.tmp.*")})
                    .isEmpty());

    QFile::setPermissions(sandbox.Path(QStringLiteral("drive_c/target.txt")),
                          QFileDevice::ReadOwner);
    EXPECT_TRUE(target.DeleteFile());
    EXPECT_FALSE(target.Exists());
    EXPECT_TRUE(target.DeleteFile());
    EXPECT_TRUE(FilePath().DeleteFile());
    EXPECT_FALSE(deep.DeleteFile());
    EXPECT_TRUE(deep.Exists());

    FILE* stream = FilePath(QStringLiteral("C:\\written.txt")).OpenStream("wb");
    ASSERT_NE(stream, nullptr);
    std::fputs("via stream", stream);
    std::fclose(stream);
    EXPECT_EQ(sandbox.Read(QStringLiteral("drive_c/written.txt")), QByteArray("via stream"));
    EXPECT_EQ(FilePath(QStringLiteral("C:\\nothing\\here.txt")).OpenStream("rb"), nullptr);
}

TEST(FilePath, ListsMatchingFilesOnly) {
    Sandbox sandbox;
    for (const char* name : {"drive_c/list/a.xml", "drive_c/list/B.XML", "drive_c/list/c.txt",
                             "drive_c/list/d.xml.bak", "drive_c/list/b.xml/inner.txt"})
        sandbox.Write(QString::fromLatin1(name), "x");
    const FilePath folder(QStringLiteral("C:\\list"));
    std::vector<FilePath> found{FilePath(QStringLiteral("C:\\already"))};
    folder.ListFiles(QStringLiteral("*.xml"), found);
    QStringList names;
    for (const FilePath& path : found)
        names += path.Text();
    names.sort();
    EXPECT_EQ(names, (QStringList{"C:\\already", "C:\\list\\B.XML", "C:\\list\\a.xml"}));

    std::vector<FilePath> single;
    folder.ListFiles(QStringLiteral("?.txt"), single);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0].Text(), QStringLiteral("C:\\list\\c.txt"));

    std::vector<FilePath> none;
    FilePath(QStringLiteral("C:\\absent")).ListFiles(QStringLiteral("*"), none);
    FilePath().ListFiles(QStringLiteral("*"), none);
    EXPECT_TRUE(none.empty());
}

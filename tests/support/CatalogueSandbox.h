#pragma once

#include <mutex>

#include "net/IDownloader.h"
#include "platform/Locations.h"
#include "platform/Shell.h"
#include "platform/SystemLog.h"
#include "support/Sandbox.h"

#include <QApplication>
#include <QCursor>
#include <QMap>
#include <QStringList>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

// A sandbox laid out like an installation: the program's folder ("Program", which
// ModuleFolder answers while this lives), the sibling "ORVEX Software Update" folder and the
// common application-data folder, with writers for the catalogue's files.
class CatalogueSandbox : public Sandbox {
public:
    CatalogueSandbox() {
        QDir().mkpath(Path("Program"));
        OverrideModuleFolder(FilePath(Path("Program")));
    }
    ~CatalogueSandbox() { OverrideModuleFolder(FilePath()); }

    static QByteArray VersionFile(const QString& version, const QString& url, const QString& file,
                                  const QString& extra = {}) {
        return QStringLiteral("<Root><Product CurrentVersion=\"%1\" RemoteVersionFileURL=\"%2\" "
                              "RemoteVersionFile=\"%3\" %4/></Root>")
            .arg(version, url, file, extra)
            .toUtf8();
    }
    // A list of software products, each given as its attributes and children.
    static QByteArray List(const QString& version, const QString& url, const QStringList& items) {
        return QStringLiteral("<ProductList Version=\"%1\" Url=\"%2\">%3</ProductList>")
            .arg(version, url, items.join(QString()))
            .toUtf8();
    }
    static QString Product(const QString& name, const QString& baseXml, const QString& inner = {}) {
        return QStringLiteral("<Product Name=\"%1\" BaseXml=\"%2\" DefaultUrl=\"https://"
                              "example.org/%2\">%3</Product>")
            .arg(name, baseXml, inner);
    }
    // Update information offering version to every installed version.
    static QByteArray Info(const QString& version, const QString& extra = {}) {
        return QStringLiteral("<Info Location=\"Server\"><Product UpdateVersion=\"%1\" %2/></Info>")
            .arg(version, extra)
            .toUtf8();
    }
};

// A downloader that answers from a table of addresses, as the real one does: a new file in
// the temporary folder, or an empty path for an unknown address. Records every address asked.
class FakeDownloader : public IDownloader {
public:
    CAtlString Download(const CAtlString& url, int32_t, int32_t) override {
        asked << url;
        if (!documents.contains(url))
            return {};
        const FilePath file = UniqueTempFile(QStringLiteral(".xml"), QString());
        return WriteFile(file.LocalPath(), documents[url]) ? file.Text() : "";
    }

    QMap<QString, QByteArray> documents;
    QStringList asked;
};

// Records what would have been opened or started instead of starting anything; answers
// with result.
class RecordingShell : public IShell {
public:
    // The program's permission bits when it was started in mode; started from a descriptor,
    // the bytes that would have run.
    struct Start {
        QString program;
        QStringList arguments;
        unsigned mode = 0;
        QByteArray bytes;
    };

    bool Open(const CAtlString& address) override {
        // A browser takes a while to appear: the person sees the busy cursor meanwhile.
        const QCursor* cursor = QApplication::overrideCursor();
        opened << address +
                      (cursor && cursor->shape() == Qt::WaitCursor ? "" : " (no busy cursor)");
        return result;
    }
    bool StartDetached(const CAtlString& program, const QStringList& arguments) override {
        struct stat info {};
        ::stat(QFile::encodeName(program).constData(), &info);
        started.push_back({program, arguments, info.st_mode & 07777u, ReadFile(program)});
        return result;
    }
    bool StartDetachedFile(int fd, const CAtlString& name, const QStringList& arguments) override {
        if (beforeStart)
            beforeStart();
        struct stat info {};
        ::fstat(fd, &info);
        QByteArray bytes(static_cast<qsizetype>(info.st_size), '\0');
        bytes.resize(std::max<qsizetype>(0, ::pread(fd, bytes.data(), bytes.size(), 0)));
        started.push_back({name, arguments, info.st_mode & 07777u, bytes});
        return result;
    }

    bool result = true;
    // Runs between the check and the start, for tests that change the file meanwhile.
    std::function<void()> beforeStart;
    QStringList opened;
    std::vector<Start> started;
};

// The lines written to the system log while it is installed, each led by its level.
class RecordingSystemLog : public ISystemLog {
public:
    void Write(Level level, const QString& line) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines << (level == Level::Warning ? "warning: " : "notice: ") + line;
    }
    QStringList Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

private:
    std::mutex m_mutex;
    QStringList m_lines;
};

// Installs a RecordingSystemLog for the life of the object.
class SystemLogRecorder {
public:
    SystemLogRecorder() : log(std::make_shared<RecordingSystemLog>()) { SetSystemLog(log); }
    ~SystemLogRecorder() { SetSystemLog(nullptr); }
    SystemLogRecorder(const SystemLogRecorder&) = delete;
    SystemLogRecorder& operator=(const SystemLogRecorder&) = delete;
    QStringList Lines() { return log->Lines(); }

    std::shared_ptr<RecordingSystemLog> log;
};

// Installs a RecordingShell for the life of the object.
class ShellRecorder {
public:
    ShellRecorder() : shell(std::make_shared<RecordingShell>()) { SetShell(shell); }
    ~ShellRecorder() { SetShell(nullptr); }
    RecordingShell* operator->() const { return shell.get(); }
    std::shared_ptr<RecordingShell> shell;
};

// Names of the files left in the program's temporary folder.
inline QStringList TemporaryFiles() {
    return QDir(TempFolder().LocalPath()).entryList(QDir::Files);
}

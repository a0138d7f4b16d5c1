#pragma once

#include "platform/Hive.h"
#include "platform/Settings.h"
#include "platform/SettingsStore.h"
#include "platform/Utf16.h"
#include "support/QtPrinters.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

#include <sys/stat.h>

// Text as Windows programs save it: UTF-16LE after a byte-order mark unless told otherwise, with
// no terminating nul.
inline QByteArray Utf16Le(const QString& text, bool mark = true) {
    return (mark ? QByteArray("\xff\xfe") : QByteArray()) + Utf16LeWithNul(text).chopped(2);
}

// The bytes of a file; empty when it cannot be read.
inline QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes bytes to path, making its folder first; whether all of it was written.
inline bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) &&
           file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// A private ORVEX_ROOT for one test: the hives, drives and temporary folder all live in a
// fresh folder, the process-wide store and INI lookup start over, and everything is put
// back afterwards.
class Sandbox {
public:
    Sandbox() {
        EXPECT_TRUE(m_dir.isValid());
        qputenv("ORVEX_ROOT", QFile::encodeName(m_dir.path()));
        SetSettingsStore(nullptr);
        ResetIniSettingsFile();
    }
    ~Sandbox() {
        m_oldRoot ? qputenv("ORVEX_ROOT", *m_oldRoot) : qunsetenv("ORVEX_ROOT");
        SetSettingsStore(nullptr);
        ResetIniSettingsFile();
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    QString Root() const { return m_dir.path(); }
    // An absolute path stays as it is.
    QString Path(const QString& relative) const { return QDir(m_dir.path()).filePath(relative); }

    QByteArray Read(const QString& relative) const { return ReadFile(Path(relative)); }
    void Write(const QString& relative, const QByteArray& bytes) const {
        ASSERT_TRUE(WriteFile(Path(relative), bytes)) << relative.toStdString();
    }
    // An input document kept beside the test, under its subsystem's data folder.
    static QByteArray Data(const QString& name) {
        QFile file(QStringLiteral(ORVEX_TEST_DATA_DIR "/") + name);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        return file.readAll();
    }
    // The file type and permission bits, of a link itself; 0 when there is nothing.
    mode_t Mode(const QString& relative) const {
        struct stat info {};
        return ::lstat(QFile::encodeName(Path(relative)).constData(), &info) == 0 ? info.st_mode
                                                                                  : 0;
    }
    CHive Hive(const QString& relative) const {
        CHive hive;
        hive.Parse(Read(relative));
        return hive;
    }
    // The machine-wide proxy that every product of the maker shares, as "host port".
    static QString StoredProxy() {
        const QString key = "Software/ORVEX Technologies/Tavlo Software/ProxyInformation";
        return ReadSettingString(LocalMachine, key, "HttpProxyHost", {}, nullptr, kRegistryMarker) +
               u' ' +
               QString::number(ReadSettingInt(LocalMachine, key, "HttpProxyPort", -1, nullptr,
                                              kRegistryMarker));
    }
    // The value the program keeps for the user under its own key; nothing when none is stored.
    static std::optional<int32_t> UserValue(const QString& name) {
        int32_t error = 0;
        const int32_t value = ReadSettingInt(
            CurrentUser, QStringLiteral("Software/ORVEX Technologies/Product Update"), name, 0,
            &error, kRegistryMarker);
        return error == 0 ? std::optional(value) : std::nullopt;
    }

private:
    std::optional<QByteArray> m_oldRoot = qEnvironmentVariableIsSet("ORVEX_ROOT")
                                              ? std::optional(qgetenv("ORVEX_ROOT"))
                                              : std::nullopt;
    QTemporaryDir m_dir;
};

#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// A private ORVEX_ROOT for one test: the hives, the drive folders and the temporary folder
// of the program all live below it and vanish with it.
class Sandbox {
public:
    Sandbox()
        : m_previous(qgetenv("ORVEX_ROOT")),
          m_hadPrevious(qEnvironmentVariableIsSet("ORVEX_ROOT")) {
        EXPECT_TRUE(m_dir.isValid());
        qputenv("ORVEX_ROOT", m_dir.path().toLocal8Bit());
    }
    ~Sandbox() {
        if (m_hadPrevious)
            qputenv("ORVEX_ROOT", m_previous);
        else
            qunsetenv("ORVEX_ROOT");
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    QString Path() const { return m_dir.path(); }
    QString FilePath(const QString& relative) const {
        return QDir(m_dir.path()).filePath(relative);
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
};

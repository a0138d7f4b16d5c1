#pragma once

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Keys and signatures made by the minisign tool itself, as a maker makes them, in a folder of
// their own. Keys have no password (-W).
class MinisignTool {
public:
    // The public key line ("RW...") of key pair name, made first when make is true.
    QByteArray MakeKey(const QString& name, bool make = true) {
        if (make)
            Run({"-G", "-W", "-f", "-p", Path(name + ".pub"), "-s", Path(name + ".key")});
        return Read(name + ".pub").split('\n').value(1).trimmed();
    }
    // The key id minisign printed into the public key's comment line.
    QString PrintedId(const QString& name) {
        return QString::fromLatin1(Read(name + ".pub").split('\n').value(0).split(' ').last());
    }
    // The ".minisig" of data signed with key name, with comment as the trusted comment
    // (minisign's own when empty); legacy signs the bytes themselves ("-l").
    QByteArray Sign(const QString& name, const QByteArray& data, const QString& comment,
                    bool legacy = false) {
        QFile file(Path("data"));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) >= 0);
        file.close();
        QStringList arguments{"-S",         "-s", Path(name + ".key"), "-m",
                              Path("data"), "-x", Path("sig")};
        if (!comment.isEmpty())
            arguments << "-t" << comment;
        Run(legacy ? arguments << "-l" : arguments);
        return Read("sig");
    }

private:
    QString Path(const QString& name) const { return m_dir.filePath(name); }
    QByteArray Read(const QString& name) const {
        QFile file(Path(name));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        return file.readAll();
    }
    void Run(const QStringList& arguments) {
        const QString program = QStandardPaths::findExecutable("minisign");
        ASSERT_FALSE(program.isEmpty()) << "minisign is missing: install the package minisign";
        QProcess process;
        process.start(program, arguments);
        process.closeWriteChannel();
        ASSERT_TRUE(process.waitForFinished(30000));
        ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    }

    QTemporaryDir m_dir;
};

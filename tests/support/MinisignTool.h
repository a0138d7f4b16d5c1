#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Keys and signatures made by the minisign tool itself, the way a maker makes them, in a
// folder of their own. Keys are made without a password (-W).
class MinisignTool {
public:
    // The public key line ("RW...") of a new key pair named name.
    QByteArray MakeKey(const QString& name) {
        Run({"-G", "-W", "-f", "-p", Path(name + ".pub"), "-s", Path(name + ".key")});
        QFile file(Path(name + ".pub"));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return file.readAll().split('\n').value(1).trimmed();
    }
    // The key id that minisign printed into the public key's comment line.
    QString PrintedId(const QString& name) const {
        QFile file(Path(name + ".pub"));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return QString::fromLatin1(file.readLine().trimmed().split(' ').last());
    }
    // The ".minisig" of data signed with key name, with comment as the trusted comment
    // (minisign's default when empty); legacy signs the bytes themselves ("-l").
    QByteArray Sign(const QString& name, const QByteArray& data, const QString& comment,
                    bool legacy = false) {
        QFile file(Path("data"));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                    file.write(data) == data.size());
        file.close();
        QStringList arguments{"-S",         "-s", Path(name + ".key"), "-m",
                              Path("data"), "-x", Path("data.minisig")};
        if (!comment.isEmpty())
            arguments << "-t" << comment;
        if (legacy)
            arguments << "-l";
        Run(arguments);
        QFile signature(Path("data.minisig"));
        EXPECT_TRUE(signature.open(QIODevice::ReadOnly));
        return signature.readAll();
    }

private:
    QString Path(const QString& name) const { return m_dir.filePath(name); }
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

#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Where orvex-sign takes a key's password from. Never from the command line, where every user
// of the machine can read it in the process list: from the terminal, or from a file that an
// automated build keeps as safe as the key.

// The first line of the file at path, without its line end; nothing (and *why) when the file
// cannot be read or is empty.
std::optional<QByteArray> ReadPasswordFile(const QString& path, QString* why);

// Asks on the controlling terminal with prompt, echo off, and reads one line. Nothing (and
// *why) when there is no terminal (a build without one names a password file instead).
// Blocks until the person answers.
std::optional<QByteArray> AskPasswordOnTerminal(const QString& prompt, QString* why);

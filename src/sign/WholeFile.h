#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Writes bytes to path so that the file is either as it was or whole and new, never half
// written: into a temporary file beside it (mode 0600 while it is written, so a secret key
// is never readable by others on its way), flushed to disk, given mode, then renamed over
// path. With overwrite false an existing path is left alone and the write fails. Nothing is
// left behind on failure. False (and *why) when it failed.
bool WriteWholeFile(const QString& path, const QByteArray& bytes, int mode, bool overwrite,
                    QString* why);

// The file at path, up to limit bytes; nothing (and *why) when it cannot be read or is longer.
std::optional<QByteArray> ReadSmallFile(const QString& path, qsizetype limit, QString* why);

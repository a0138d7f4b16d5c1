#pragma once

#include "platform/FileSettingsStore.h"

#include <QStringList>
#include <QTextStream>

#include <memory>

// The administrators' registry tool: query, add, delete, import and export with the verbs
// and switches of Windows' "reg", working on the same hive files (and ORVEX_ROOT) as the
// program. Keys are written with their root: HKLM, HKCU, HKCR or the long names.
class CRegTool {
public:
    explicit CRegTool(
        std::shared_ptr<CFileSettingsStore> store = std::make_shared<CFileSettingsStore>());

    // arguments without the program name. Reports go to out, errors to err; confirmations
    // ("overwrite? (Yes/No)") are read from in, and end of input counts as No. Returns the
    // exit code: 0 on success, 1 on bad input or failure.
    int Run(const QStringList& arguments, QTextStream& out, QTextStream& err, QTextStream& in);

    // The help of one operation ("query", ...), or of the tool for any other verb.
    static QString Usage(const QString& verb = {});

private:
    struct Options;
    // Reads the hive of the command's key into hive; false, with the error written, when
    // the hive cannot be read or the key is not in it.
    bool ReadKeyHive(const Options& options, CHive& hive, QTextStream& err);
    int Query(const Options& options, QTextStream& out, QTextStream& err);
    int Add(const Options& options, QTextStream& out, QTextStream& err, QTextStream& in);
    int Delete(const Options& options, QTextStream& out, QTextStream& err, QTextStream& in);
    int Import(const Options& options, QTextStream& out, QTextStream& err);
    int Export(const Options& options, QTextStream& out, QTextStream& err, QTextStream& in);

    std::shared_ptr<CFileSettingsStore> m_store;
};

#pragma once

// orvex-sign run in process: its exit status and what it printed on each stream.
#include "sign/SignTool.h"

#include <QStringList>
#include <QTextStream>

struct ToolRun {
    int exitCode = -1;
    QString out, err;
};

inline ToolRun RunTool(CSignTool& tool, const QStringList& arguments) {
    ToolRun run;
    {
        QTextStream out(&run.out), err(&run.err);
        run.exitCode = tool.Run(arguments, out, err);
    }
    return run;
}

#include "regtool/RegTool.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    QTextStream in(stdin);
    CRegTool tool;
    return tool.Run(app.arguments().mid(1), out, err, in);
}

#include "sign/SignTool.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    CSignTool tool;
    return tool.Run(app.arguments().mid(1), out, err);
}

#pragma once

#include <QByteArray>
#include <QString>

// A line for the terminal in the locale's encoding. Names, addresses and reasons in the
// program's console lines come from lists and servers: a control character among them (an
// escape sequence, a line feed that starts a line reading like the program's own) is printed
// as "?".
inline QByteArray ConsoleText(QString text) {
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control)
            c = u'?';
    }
    return text.toLocal8Bit();
}

#pragma once

#include "platform/AtlString.h"

#include <QStringList>

// What the command line said, handed read-only to the workflow once parsing is done.
struct CCmdLineContext {
    CAtlString proxy;
    CAtlString username;
    CAtlString password;
    // One entry per parse error: the offending option name or conflict text.
    QStringList errors;
    bool verbose = false;
    bool overrideProxy = false;
};

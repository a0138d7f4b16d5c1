#pragma once

#include "platform/AtlString.h"

#include <QString>

// Why a download failed, as the engine saw it; DescribeFailure says it in plain words.
struct DownloadFailure {
    enum Kind {
        None,
        Failed,           // nothing more specific is known
        NotFound,         // the server's name did not resolve
        Unreachable,      // the server refused or did not take the connection
        ProxyUnreachable, // the same for the proxy
        TimedOut,
        Untrusted,     // the server's certificate was not trusted
        Insecure,      // no secure connection could be agreed
        Status,        // the server answered with a status of 300 or above
        ProxyDeclined, // the proxy asked for credentials and none were given
        ProxyRefused,  // the proxy asked for credentials and refused those given
        BrokenOff,     // the connection ended before the whole file arrived
        Empty,         // the server answered with an empty body
        TooLarge,      // the body is larger than the download may be (status: the limit)
        TooSlow,       // the download did not end within its time
        Cancelled,     // the owner ended it
    };
    Kind kind = None;
    CAtlString host;   // the server or proxy concerned
    CAtlString status; // the status with its reason phrase, as "404 Not Found"
};

// The failure in the run's language (empty for None). Call it on the interface thread, after
// the translators are installed.
QString DescribeFailure(const DownloadFailure& failure);

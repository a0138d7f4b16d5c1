#pragma once

#include "platform/AtlString.h"

// Why a download failed, as the engine saw it: what failed, on which side, with what the
// person needs to act on it. It stays a value up to the one place that words it
// (DescribeFailure, catalogue/CheckFailure.h), in the run's language.
struct DownloadFailure {
    enum Kind {
        None,
        Failed,               // nothing more specific is known
        NotFound,             // the server's name did not resolve
        Unreachable,          // the server refused or did not take the connection
        ProxyUnreachable,     // the same for the proxy
        TimedOut,             // the server did not answer in time, or the proxy not connect
        Untrusted,            // the server's certificate was refused for a reason not below
        CertificateExpired,   // detail: the day it expired, "yyyy-MM-dd"
        CertificateWrongName, // it was issued for another name than the server's
        CertificateIssuer,    // no trusted authority signed it (one that signed itself included)
        Insecure,             // no secure connection could be agreed
        Status,               // the server answered with a status of 300 or above
        ProxyDeclined,        // the proxy asked for a login and none was given
        ProxyRefused,         // the proxy refused the login given
        ProxyCouldNotReach,   // the proxy answered that it could not resolve or reach the server
        ProxyStatus,          // the proxy refused to forward the request, with its own status
        ServerTimedOut,       // the server, reached through the proxy, did not answer in time
        BrokenOff,            // the connection ended before the whole file arrived
        Empty,                // the server answered with an empty body
        TooLarge,             // the body is larger than the download may be (status: the limit)
        TooSlow,              // the download did not end within its time
        Cancelled,            // the owner ended it
        ProxyScriptFailed,    // the configured proxy script (detail: its address) could not
                              // be fetched or run, and direct found no server
    };
    Kind kind = None;
    CAtlString host;   // the server asked for
    CAtlString status; // the status with its reason phrase, as "404 Not Found"
    CAtlString proxy;  // the proxy on the way, as "host:port"; empty when the way was direct
    CAtlString detail; // what the kind says it holds

    bool operator==(const DownloadFailure&) const = default;
};

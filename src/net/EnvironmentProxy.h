#pragma once

#include "net/SystemProxy.h"

#include <QString>

#include <functional>

// The proxy variables of the environment, read as libcurl and the other command-line tools
// read them, so that what works for curl in a terminal works here: http_proxy, https_proxy
// and all_proxy in lower or upper case (lower first), an address with or without its
// "http://", no_proxy entries with or without their leading dot, "*" for every host, and
// "host:port" for one port only. "pac+http://..." names a proxy script.
using EnvironmentVariable = std::function<QString(const char* name)>;

// The process's own environment.
QString ProcessVariable(const char* name);

// What the environment says for url: a proxy (source Environment, its variable as the
// setting), a proxy script to ask (source ProxyScript, its address as the setting), or direct
// (source Nothing when no variable names a proxy, Environment when no_proxy exempts the host
// or the variable names a proxy of another kind than HTTP).
SystemProxyAddress EnvironmentProxyFor(const CAtlString& url,
                                       const EnvironmentVariable& variable = ProcessVariable);

// One proxy address as a variable or a script gives it: "host:port", "http://host:port",
// with an optional "user:password@". Direct (an empty host) for another kind than HTTP.
SystemProxyAddress ParseProxyAddress(const QString& text);

// Whether a no_proxy list exempts host (reached on port).
bool NoProxyExempts(const QString& list, const QString& host, int port);

#pragma once

#include "net/SystemProxy.h"

#include <QString>

#include <chrono>
#include <mutex>
#include <optional>

// A proxy auto-config script (PAC): fetched once from its address (http, https or file), then
// run for each address asked about, with the helper functions such scripts call
// (shExpMatch, dnsDomainIs, isInNet, dnsResolve, myIpAddress, ...). It runs in Duktape, a
// small JavaScript interpreter (Debian package libduktape207) rather than a browser's engine,
// in a fresh interpreter per question, so that one address's run cannot leave anything for
// the next. Any thread; the fetch happens once, under a lock.
class ProxyScript {
public:
    explicit ProxyScript(QString address) : m_address(std::move(address)) {}

    // What the script says for url: the first of its choices that is DIRECT or an HTTP proxy
    // ("PROXY host:port"); direct with scriptFailed set when the script cannot be fetched or
    // run, or returns nothing usable.
    SystemProxyAddress ProxyFor(const CAtlString& url);

    // The choice among a script's answer ("PROXY a:3128; SOCKS b:1080; DIRECT"); nullopt when
    // none is usable.
    static std::optional<SystemProxyAddress> FirstUsable(const QString& answer);
    // Runs script's FindProxyForURL for url; nullopt when it fails to run, takes more than
    // 64 MiB, or has not answered within the time limit (10 s; a script still running then is
    // abandoned on its own thread).
    static std::optional<QString> Run(const QByteArray& script, const QString& url);
    // For tests: the time one run may take.
    static void SetTimeLimit(std::chrono::milliseconds limit);

private:
    // The script's text, fetched on the first call; empty when it could not be.
    QByteArray Text();

    const QString m_address;
    std::mutex m_lock;
    bool m_fetched = false;
    QByteArray m_text;
};

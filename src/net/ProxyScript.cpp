#include "net/ProxyScript.h"

#include "net/CurlHttpClient.h"
#include "net/EnvironmentProxy.h"

#include <QFile>
#include <QUrl>

#include <duktape.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <thread>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// A script longer than this is no proxy script.
constexpr qint64 kMaxScriptBytes = 1024 * 1024;

// The helper functions that proxy scripts are written against, as browsers define them;
// dnsResolve and myIpAddress are native (below).
const char kHelpers[] = R"js(
function isPlainHostName(host) { return host.indexOf('.') < 0; }
function dnsDomainIs(host, domain) {
    host = host.toLowerCase(); domain = domain.toLowerCase();
    return host.length >= domain.length &&
           host.substring(host.length - domain.length) == domain;
}
function localHostOrDomainIs(host, hostdom) {
    return host == hostdom || (host.indexOf('.') < 0 && hostdom.indexOf(host + '.') == 0);
}
function isResolvable(host) { return dnsResolve(host) !== null; }
function dnsDomainLevels(host) { return host.split('.').length - 1; }
function convert_addr(ip) {
    var p = ip.split('.');
    return ((p[0] << 24) | (p[1] << 16) | (p[2] << 8) | p[3]) >>> 0;
}
function isInNet(host, pattern, mask) {
    var ip = /^\d+\.\d+\.\d+\.\d+$/.test(host) ? host : dnsResolve(host);
    if (ip === null) return false;
    return ((convert_addr(ip) & convert_addr(mask)) >>> 0) ==
           ((convert_addr(pattern) & convert_addr(mask)) >>> 0);
}
function shExpMatch(text, pattern) {
    var re = pattern.replace(/[.+^${}()|[\]\\]/g, '\\$&').replace(/\*/g, '.*').replace(/\?/g, '.');
    return new RegExp('^' + re + '$').test(text);
}
function weekdayRange(first, last, gmt) {
    var days = ['SUN', 'MON', 'TUE', 'WED', 'THU', 'FRI', 'SAT'];
    if (last == 'GMT') { gmt = last; last = undefined; }
    var now = new Date();
    var today = gmt == 'GMT' ? now.getUTCDay() : now.getDay();
    var from = days.indexOf(first), to = last === undefined ? from : days.indexOf(last);
    return from <= to ? today >= from && today <= to : today >= from || today <= to;
}
)js";

duk_ret_t DnsResolve(duk_context* context) {
    const char* host = duk_require_string(context, 0);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) {
        duk_push_null(context);
        return 1;
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text,
                sizeof text);
    ::freeaddrinfo(found);
    duk_push_string(context, text);
    return 1;
}

// The address this machine would send from: a UDP socket "connected" to a public address
// sends nothing, but the system picks its local side.
duk_ret_t MyIpAddress(duk_context* context) {
    QString address = QStringLiteral("127.0.0.1");
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(53);
        ::inet_pton(AF_INET, "192.0.2.1", &peer.sin_addr);
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
            address = QString::fromLatin1(text);
        }
        ::close(fd);
    }
    duk_push_string(context, address.toLatin1().constData());
    return 1;
}

// Duktape's default answer to an error it cannot throw is to abort the process.
void OnFatal(void*, const char*) {
    std::abort();
}

// A script is outside input, often fetched over plain HTTP: one that allocates without end
// must meet an error inside the interpreter, not take the machine's memory. Each allocation
// carries its size in front, so that the heap's total is known.
constexpr size_t kMaxScriptHeap = 64 * 1024 * 1024;

struct ScriptHeap {
    size_t used = 0;
};

void* HeapAlloc(void* user, duk_size_t size) {
    auto* heap = static_cast<ScriptHeap*>(user);
    if (size > kMaxScriptHeap - heap->used)
        return nullptr;
    auto* block = static_cast<size_t*>(std::malloc(size + sizeof(max_align_t)));
    if (!block)
        return nullptr;
    *block = size;
    heap->used += size;
    return reinterpret_cast<char*>(block) + sizeof(max_align_t);
}

void HeapFree(void* user, void* pointer) {
    if (!pointer)
        return;
    auto* block = reinterpret_cast<size_t*>(static_cast<char*>(pointer) - sizeof(max_align_t));
    static_cast<ScriptHeap*>(user)->used -= *block;
    std::free(block);
}

void* HeapRealloc(void* user, void* pointer, duk_size_t size) {
    if (!pointer)
        return HeapAlloc(user, size);
    if (size == 0) {
        HeapFree(user, pointer);
        return nullptr;
    }
    auto* heap = static_cast<ScriptHeap*>(user);
    auto* block = reinterpret_cast<size_t*>(static_cast<char*>(pointer) - sizeof(max_align_t));
    const size_t old = *block;
    if (size > old && size - old > kMaxScriptHeap - heap->used)
        return nullptr;
    auto* grown = static_cast<size_t*>(std::realloc(block, size + sizeof(max_align_t)));
    if (!grown)
        return nullptr;
    *grown = size;
    heap->used = heap->used - old + size;
    return reinterpret_cast<char*>(grown) + sizeof(max_align_t);
}

// How long one run of a script may take; tests shorten it.
std::atomic<int64_t> g_scriptTimeLimitMs{10000};

// Runs script's FindProxyForURL for url on the calling thread.
std::optional<QString> RunHere(const QByteArray& script, const QString& url) {
    ScriptHeap heap;
    duk_context* context = duk_create_heap(HeapAlloc, HeapRealloc, HeapFree, &heap, OnFatal);
    if (!context)
        return std::nullopt;
    duk_push_c_function(context, DnsResolve, 1);
    duk_put_global_string(context, "dnsResolve");
    duk_push_c_function(context, MyIpAddress, 0);
    duk_put_global_string(context, "myIpAddress");
    std::optional<QString> answer;
    if (duk_peval_string_noresult(context, kHelpers) == 0 &&
        duk_peval_lstring_noresult(context, script.constData(), script.size()) == 0 &&
        duk_get_global_string(context, "FindProxyForURL") && duk_is_function(context, -1)) {
        duk_push_string(context, url.toUtf8().constData());
        duk_push_string(context, QUrl(url).host().toUtf8().constData());
        if (duk_pcall(context, 2) == DUK_EXEC_SUCCESS && duk_is_string(context, -1))
            answer = QString::fromUtf8(duk_get_string(context, -1));
    }
    duk_destroy_heap(context);
    return answer;
}

// Fetched direct: the script says which proxy to use, so it cannot be behind one.
QByteArray Fetch(const QString& address) {
    const QUrl url(address);
    if (url.isLocalFile()) {
        QFile file(url.toLocalFile());
        return file.open(QIODevice::ReadOnly) ? file.read(kMaxScriptBytes) : QByteArray();
    }
    std::unique_ptr<CurlHttpClient> client = CurlHttpClient::Create();
    const bool secure = url.scheme() == u"https";
    if (!client || (!secure && url.scheme() != u"http") || url.host().isEmpty())
        return {};
    using namespace WinInet;
    HINTERNET session =
        client->InternetOpenW(QString(), INTERNET_OPEN_TYPE_DIRECT, QString(), QString(), 0);
    HINTERNET connection = client->InternetConnectW(
        session, url.host(), static_cast<uint16_t>(url.port(secure ? 443 : 80)),
        INTERNET_SERVICE_HTTP);
    QByteArray text;
    if (connection) {
        client->InternetSetOptionW(connection, INTERNET_OPTION_CONNECT_TIMEOUT, 2000);
        client->InternetSetOptionW(connection, kOptionTransferTimeout, 10000);
        const QString object = url.path(QUrl::FullyEncoded) +
                               (url.hasQuery() ? u'?' + url.query(QUrl::FullyEncoded) : QString());
        HINTERNET request =
            client->HttpOpenRequestW(connection, QStringLiteral("GET"), object,
                                     QStringLiteral("HTTP/1.1"), secure ? INTERNET_FLAG_SECURE : 0);
        int64_t status = 0;
        if (request && client->HttpSendRequestW(request) &&
            client->HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                                   status) &&
            status == 200) {
            char buffer[4096];
            uint32_t count = 0;
            while (client->InternetReadFile(request, buffer, sizeof buffer, count) && count > 0 &&
                   text.size() <= kMaxScriptBytes)
                text.append(buffer, count);
            if (text.size() > kMaxScriptBytes)
                text.clear();
        }
        if (request)
            client->InternetCloseHandle(request);
        client->InternetCloseHandle(connection);
    }
    if (session)
        client->InternetCloseHandle(session);
    return text;
}
} // namespace

std::optional<QString> ProxyScript::Run(const QByteArray& script, const QString& url) {
    // The interpreter has no way to stop a script that never returns, and a download waits for
    // this answer: the script runs on a thread of its own, and one that outlasts the limit is
    // left to finish (or to end with the program) while the download goes on as for a script
    // that could not be run.
    struct Outcome {
        std::mutex lock;
        std::condition_variable finished;
        bool done = false;
        std::optional<QString> answer;
    };
    auto outcome = std::make_shared<Outcome>();
    std::thread([outcome, script, url] {
        std::optional<QString> answer = RunHere(script, url);
        std::lock_guard lock(outcome->lock);
        outcome->answer = std::move(answer);
        outcome->done = true;
        outcome->finished.notify_all();
    }).detach();
    std::unique_lock lock(outcome->lock);
    if (!outcome->finished.wait_for(lock, std::chrono::milliseconds(g_scriptTimeLimitMs.load()),
                                    [&] { return outcome->done; }))
        return std::nullopt;
    return outcome->answer;
}

void ProxyScript::SetTimeLimit(std::chrono::milliseconds limit) {
    g_scriptTimeLimitMs = limit.count();
}

std::optional<SystemProxyAddress> ProxyScript::FirstUsable(const QString& answer) {
    for (const QString& choice : answer.split(u';', Qt::SkipEmptyParts)) {
        const QStringList words = choice.simplified().split(u' ');
        const QString kind = words.first().toUpper();
        if (kind == u"DIRECT")
            return SystemProxyAddress{};
        // The engine speaks only HTTP to proxies; SOCKS and HTTPS proxies are passed over.
        if ((kind == u"PROXY" || kind == u"HTTP") && words.size() == 2) {
            SystemProxyAddress proxy = ParseProxyAddress(words.at(1));
            if (!proxy.IsDirect())
                return proxy;
        }
    }
    return std::nullopt;
}

QByteArray ProxyScript::Text() {
    std::lock_guard lock(m_lock);
    if (!m_fetched) {
        m_text = Fetch(m_address);
        m_fetched = true;
    }
    return m_text;
}

SystemProxyAddress ProxyScript::ProxyFor(const CAtlString& url) {
    SystemProxyAddress failed;
    failed.source = SystemProxyAddress::ProxyScript;
    failed.setting = m_address;
    failed.scriptFailed = m_address;
    const QByteArray script = Text();
    if (script.isEmpty())
        return failed;
    const std::optional<QString> answer = Run(script, url);
    const std::optional<SystemProxyAddress> chosen = answer ? FirstUsable(*answer) : std::nullopt;
    if (!chosen)
        return failed;
    SystemProxyAddress proxy = *chosen;
    proxy.source = SystemProxyAddress::ProxyScript;
    proxy.setting = m_address;
    return proxy;
}

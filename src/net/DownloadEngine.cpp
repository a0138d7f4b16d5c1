#include "net/DownloadEngine.h"

#include "net/ConnectionInfo.h"
#include "net/CurlHttpClient.h"
#include "net/SystemProxy.h"
#include "platform/FilePath.h"

#include <QUrl>

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>

using namespace WinInet;
using Clock = std::chrono::steady_clock;

namespace {
const CAtlString kNeedIe4 = QStringLiteral("Minimum Internet Explorer version required is 4.0");

constexpr uint32_t kReadSize = 1024;
constexpr uint32_t kConnectTimeoutMs = 2000;

struct UrlParts {
    CAtlString scheme;
    CAtlString server;
    uint16_t port = 0;
    CAtlString object;
};

// Not checked on purpose: an unusable URL shows up as a failed connection later on.
UrlParts SplitUrl(const CAtlString& url) {
    const QUrl parsed(url);
    UrlParts parts;
    parts.scheme = parsed.scheme().toLower();
    parts.server = parsed.host();
    const int defaultPort = parts.scheme == u"https" ? 443 : 80;
    parts.port = static_cast<uint16_t>(parsed.port(defaultPort));
    parts.object = parsed.path(QUrl::FullyEncoded);
    if (parts.object.isEmpty())
        parts.object = QStringLiteral("/");
    if (parsed.hasQuery())
        parts.object += u'?' + parsed.query(QUrl::FullyEncoded);
    return parts;
}

// The host and port of an explicit proxy, whose host may carry the port ("proxy:8080") while
// no port of its own is set.
void ExplicitProxyAddress(const CAtlString& host, int32_t port, CAtlString& hostOut,
                          int32_t& portOut) {
    hostOut = host;
    portOut = port;
    const qsizetype colon = host.lastIndexOf(u':');
    if (port == 0 && colon > 0 && !host.endsWith(u']')) {
        bool isNumber = false;
        const int embedded = host.mid(colon + 1).toInt(&isNumber);
        if (isNumber) {
            hostOut = host.left(colon);
            portOut = embedded;
        }
    }
}

// A reason phrase fit to be shown: a server chooses it freely, and a tooltip would render
// markup in it.
CAtlString PlainPhrase(const CAtlString& phrase) {
    CAtlString plain;
    for (const QChar c : phrase.left(60))
        if (c.unicode() >= 0x20 && c.unicode() < 0x7f && c != u'<' && c != u'>' && c != u'&')
            plain += c;
    return plain.simplified();
}

// A failure to send that means the route found no server at all (no name, no listener, no
// answer to the handshake), as opposed to a server that answered badly.
bool RouteFoundNoServer(uint32_t error) {
    return error == ERROR_INTERNET_NAME_NOT_RESOLVED || error == ERROR_INTERNET_CANNOT_CONNECT ||
           error == kErrorConnectTimeout || error == ERROR_INTERNET_TIMEOUT;
}

// Whether the proxy's own error (kQueryProxyError) says that it ran out of time waiting for
// the server, as squid's ERR_READ_TIMEOUT or a "Proxy-Status" connection_timeout do.
bool IsProxyTimeout(const CAtlString& error) {
    return error.contains(QStringLiteral("timeout"), Qt::CaseInsensitive);
}

// A size limit as it is shown: in whole MiB where it is, else in bytes.
CAtlString SizeText(int64_t bytes) {
    constexpr int64_t kMiB = 1024 * 1024;
    return bytes % kMiB == 0 ? QStringLiteral("%1 MiB").arg(bytes / kMiB)
                             : QStringLiteral("%1 bytes").arg(bytes);
}

int ClampToInt(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, std::numeric_limits<int>::min(),
                                                std::numeric_limits<int>::max()));
}
} // namespace

CDownloader::CDownloader() : CDownloader(CurlHttpClient::Create()) {}

CDownloader::CDownloader(std::unique_ptr<IHttpClient> client) : m_client(std::move(client)) {}

CDownloader::~CDownloader() {
    CloseHandles();
}

void CDownloader::Fail(DownloadFailure::Kind kind, const CAtlString& host,
                       const CAtlString& status) {
    m_failure = {kind, host, status, ProxyName(), {}};
}

CAtlString CDownloader::ProxyName() const {
    if (m_proxy.isEmpty())
        return {};
    return m_proxyPort > 0 ? m_proxy + u':' + QString::number(m_proxyPort) : m_proxy;
}

void CDownloader::FailRequest(DownloadFailure::Kind fallback) {
    const bool proxied = !m_proxy.isEmpty();
    switch (m_request ? m_client->GetLastRequestError(m_request) : 0) {
    // Behind a proxy the name lookup and the handshake that fail are the proxy's: the server
    // is the proxy's to reach.
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
        Fail(proxied ? DownloadFailure::ProxyUnreachable : DownloadFailure::NotFound, m_server);
        break;
    case ERROR_INTERNET_CANNOT_CONNECT:
        Fail(proxied ? DownloadFailure::ProxyUnreachable : DownloadFailure::Unreachable, m_server);
        break;
    case kErrorConnectTimeout:
        Fail(DownloadFailure::TimedOut, m_server);
        break;
    case ERROR_INTERNET_TIMEOUT:
        // The download's own time ran out, not the patience of one wait.
        if (Clock::now() >= m_deadline)
            Fail(DownloadFailure::TooSlow, m_server);
        // The proxy took the request: it is the server behind it that keeps silent.
        else
            Fail(proxied ? DownloadFailure::ServerTimedOut : DownloadFailure::TimedOut, m_server);
        break;
    // The certificate is the server's, also when the tunnel runs through a proxy.
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
        Fail(DownloadFailure::CertificateExpired, m_server);
        m_client->HttpQueryInfoW(m_request, kQueryCertificateExpiry, m_failure.detail);
        // Without the day there is nothing to say beyond the certificate not being trusted.
        if (m_failure.detail.isEmpty())
            m_failure.kind = DownloadFailure::Untrusted;
        break;
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
        Fail(DownloadFailure::CertificateWrongName, m_server);
        break;
    case ERROR_INTERNET_INVALID_CA:
        Fail(DownloadFailure::CertificateIssuer, m_server);
        break;
    case ERROR_INTERNET_SEC_INVALID_CERT:
        Fail(DownloadFailure::Untrusted, m_server);
        break;
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
        Fail(DownloadFailure::Insecure, m_server);
        break;
    case ERROR_INTERNET_CONNECTION_ABORTED:
        Fail(DownloadFailure::BrokenOff, m_server);
        break;
    case ERROR_INTERNET_OPERATION_CANCELLED:
        Fail(DownloadFailure::Cancelled);
        break;
    default:
        Fail(fallback, m_server);
    }
}

DownloadFailure CDownloader::StatusFailure(int64_t status) {
    CAtlString phrase;
    CAtlString proxyError;
    if (m_request) {
        m_client->HttpQueryInfoW(m_request, HTTP_QUERY_STATUS_TEXT, phrase);
        m_client->HttpQueryInfoW(m_request, kQueryProxyError, proxyError);
    }
    phrase = PlainPhrase(phrase);
    const CAtlString number = QString::number(status);
    DownloadFailure failure;
    failure.kind = DownloadFailure::Status;
    failure.host = m_server;
    failure.status = phrase.isEmpty() ? number : number + u' ' + phrase;
    failure.proxy = ProxyName();
    // The proxy's error page: a server error status (squid answers 500 to 504 by what went
    // wrong) is the proxy failing to get through; another status is its refusal to forward.
    if (!proxyError.isEmpty() && !failure.proxy.isEmpty())
        failure.kind = IsProxyTimeout(proxyError) ? DownloadFailure::ServerTimedOut
                       : status >= 500            ? DownloadFailure::ProxyCouldNotReach
                                                  : DownloadFailure::ProxyStatus;
    return failure;
}

bool CDownloader::CheckWinInet(CAtlString& error) {
    if (!m_client) {
        error = QStringLiteral("Failed to load WinInet DLLs. ") + kNeedIe4;
        return false;
    }
    InternetVersionInfo version;
    if (!m_client->InternetQueryOptionW(nullptr, INTERNET_OPTION_VERSION, version) ||
        (version.major == 1 && version.minor == 0)) {
        error = kNeedIe4;
        return false;
    }
    return true;
}

bool CDownloader::QueryProxy(CAtlString& host, int32_t& port) {
    CAtlString text;
    if (!m_client->InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION,
                                        INTERNET_PER_CONN_PROXY_SERVER, text))
        return false;
    host = text;
    if (!text.isEmpty()) {
        // A bracketed IPv6 address keeps its own colons; the port follows the bracket.
        qsizetype colon = text.indexOf(u':');
        if (text.startsWith(u'[')) {
            colon = text.indexOf(QStringLiteral("]:"));
            colon = colon < 0 ? -1 : colon + 1;
        }
        if (colon < 0) {
            host.clear();
            port = text.toInt();
        } else {
            host = text.left(colon);
            port = text.mid(colon + 1).toInt();
        }
    }
    return true;
}

namespace {
// The access type and proxy list of the session that OpenSession opens.
std::pair<uint32_t, CAtlString> SessionKind(bool direct, const CAtlString& proxyHost,
                                            int32_t proxyPort) {
    if (proxyHost.isEmpty())
        return {direct ? INTERNET_OPEN_TYPE_DIRECT : INTERNET_OPEN_TYPE_PRECONFIG, QString()};
    // Port 0 means none was set (a host given as "host:8080" on the command line carries its
    // own), so it is left out rather than appended as ":0".
    const CAtlString address =
        proxyPort != 0 ? proxyHost + u':' + QString::number(proxyPort) : proxyHost;
    return {INTERNET_OPEN_TYPE_PROXY,
            QStringLiteral("http=http://") + address + QStringLiteral(" https=http://") + address};
}

uint32_t RequestFlags(const UrlParts& parts) {
    const uint32_t flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION;
    return parts.scheme == u"https" ? flags | INTERNET_FLAG_SECURE : flags;
}

} // namespace

// What the system's configuration says for an address, asked once and only when needed (a PAC
// file may have to be fetched for it); no proxy without a configuration.
class SystemProxyAnswer {
public:
    SystemProxyAnswer(const ConnectionInfo& info, const CAtlString& url)
        : m_info(info), m_url(url) {}
    const SystemProxyAddress& operator()() {
        if (!m_address)
            m_address =
                m_info.systemProxy ? m_info.systemProxy->ProxyFor(m_url) : SystemProxyAddress{};
        return *m_address;
    }

private:
    const ConnectionInfo& m_info;
    const CAtlString m_url;
    std::optional<SystemProxyAddress> m_address;
};

// Where a mode's session sends its requests: direct, through this proxy, or, with neither,
// through the proxy the environment names (a session of the preconfigured kind); with the
// login that belongs to that proxy and the words -verbose names it with.
struct EngineRoute {
    bool direct = false;
    CAtlString proxyHost;
    int32_t proxyPort = 0;
    // The login sent with the first request: only ever the one given for this very proxy.
    CAtlString userName;
    CAtlString password;
    // A proxy that nobody named (a script chose it) never gets a login in Basic.
    bool noBasic = false;
    CAtlString scriptFailed; // a configured script that could not be used: its address
    CAtlString named;        // "direct", "proxy 127.0.0.1:3128 (environment http_proxy)"
};

namespace {
CAtlString HostAndPort(const CAtlString& host, int32_t port) {
    return port > 0 ? host + u':' + QString::number(port) : host;
}

// The setting that decided a system route, as -verbose names it.
CAtlString SettingName(const SystemProxyAddress& address) {
    switch (address.source) {
    case SystemProxyAddress::Desktop:
        return address.setting + QStringLiteral(" settings");
    case SystemProxyAddress::ProxyScript:
        return QStringLiteral("proxy script ") + address.setting;
    case SystemProxyAddress::Environment:
        return QStringLiteral("environment ") + address.setting;
    case SystemProxyAddress::Nothing:
        break;
    }
    return QStringLiteral("no proxy configured");
}

// Steps 1 and 2: the proxy a person named, the run's own (-proxy with -overrideproxy, or
// Connection Options) or else the administrator's stored one (ProxyHandlerBase picks which),
// with the run's login (-username, -password, ORVEX_PROXY_PASSWORD, stored), which is given
// for this proxy alone.
std::optional<EngineRoute> ExplicitRoute(const ConnectionInfo& info) {
    if (info.proxyHost.isEmpty())
        return std::nullopt;
    EngineRoute route;
    route.proxyHost = info.proxyHost;
    route.proxyPort = info.proxyPort;
    route.userName = info.userName;
    route.password = info.password;
    CAtlString host;
    int32_t port = 0;
    ExplicitProxyAddress(info.proxyHost, info.proxyPort, host, port);
    route.named =
        QStringLiteral("proxy ") + HostAndPort(host, port) + QStringLiteral(" (") +
        (info.proxySetting.isEmpty() ? QStringLiteral("command line") : info.proxySetting) + u')';
    return route;
}

// Steps 3 to 5: the desktop's settings, a script they name, the environment, else direct
// (DesktopSystemProxy keeps that order). Such a proxy gets only the login of its own setting.
EngineRoute SystemRoute(const ConnectionInfo& info, SystemProxyAnswer& systemProxyFor) {
    EngineRoute route;
    if (!info.systemProxy) {
        route.named = QStringLiteral("as the environment says");
        return route;
    }
    const SystemProxyAddress& address = systemProxyFor();
    route.direct = address.IsDirect();
    route.proxyHost = address.host;
    route.proxyPort = address.port;
    route.userName = address.userName;
    route.password = address.password;
    route.noBasic = address.source == SystemProxyAddress::ProxyScript;
    route.scriptFailed = address.scriptFailed;
    if (!address.scriptFailed.isEmpty())
        route.named = QStringLiteral("direct (proxy script ") + address.scriptFailed +
                      QStringLiteral(" could not be used)");
    else if (address.IsDirect())
        route.named = QStringLiteral("direct (") + SettingName(address) + u')';
    else
        route.named = QStringLiteral("proxy ") + HostAndPort(address.host, address.port) +
                      QStringLiteral(" (") + SettingName(address) + u')';
    return route;
}

// The route of mode; none for an explicit proxy without a host, and for a mode past the
// last.
std::optional<EngineRoute> RouteOf(int32_t mode, const ConnectionInfo& info,
                                   SystemProxyAnswer& systemProxyFor) {
    switch (mode) {
    case ModeDirect: {
        EngineRoute direct;
        direct.direct = true;
        direct.named = QStringLiteral("direct");
        return direct;
    }
    case ModeSystemProxy:
        return SystemRoute(info, systemProxyFor);
    case ModeExplicitProxy:
        return ExplicitRoute(info);
    default:
        return std::nullopt;
    }
}
} // namespace

std::optional<PrefetchRequest> CDownloader::FirstRequest(const CAtlString& url,
                                                         const ConnectionInfo& info) {
    SystemProxyAnswer systemProxyFor(info, url);
    const std::optional<EngineRoute> route = RouteOf(info.connectionMode, info, systemProxyFor);
    if (!route)
        return std::nullopt;
    const UrlParts parts = SplitUrl(url);
    PrefetchRequest first;
    first.server = parts.server;
    first.port = parts.port;
    first.object = parts.object;
    first.flags = RequestFlags(parts);
    first.connectTimeoutMs = kConnectTimeoutMs;
    std::tie(first.accessType, first.proxyList) =
        SessionKind(route->direct, route->proxyHost, route->proxyPort);
    if (!route->proxyHost.isEmpty() && !route->userName.isEmpty()) {
        first.proxyUserName = route->userName;
        first.proxyPassword = route->password;
    }
    first.proxyNoBasic = route->noBasic;
    return first;
}

bool CDownloader::OpenSession(const CAtlString& server, uint16_t port, bool direct,
                              const CAtlString& proxyHost, int32_t proxyPort, HINTERNET& session,
                              HINTERNET& connection, CAtlString& error) {
    const auto [accessType, proxyList] = SessionKind(direct, proxyHost, proxyPort);
    session = m_client->InternetOpenW(QString(), accessType, proxyList, QString(), 0);
    if (!session) {
        error = QStringLiteral("Failed to initialize WinInet");
        return false;
    }
    connection = m_client->InternetConnectW(session, server, port, INTERNET_SERVICE_HTTP);
    if (!connection) {
        error = QStringLiteral("Failed to establish a WinInet session");
        m_client->InternetCloseHandle(session);
        session = nullptr;
        return false;
    }
    m_client->InternetSetOptionW(connection, INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeoutMs);
    // What is left of the download's time, at least 1 ms (0 would mean none).
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_deadline - Clock::now());
    m_client->InternetSetOptionW(connection, kOptionTransferTimeout,
                                 static_cast<uint32_t>(std::clamp<int64_t>(
                                     left.count(), 1, std::numeric_limits<uint32_t>::max())));
    return true;
}

bool CDownloader::BeginRequest(const CAtlString& url) {
    CloseHandles();
    m_failure = {DownloadFailure::Failed, {}, {}, {}, {}};
    m_movedOn = {DownloadFailure::Failed, {}, {}, {}, {}};
    m_serverAsked = false;
    m_reachedMode = -1;
    m_routes.clear();
    m_deadline = Clock::now() + m_connectionInfo->limits.deadline;
    if (m_client)
        m_client->SetCancelFlag(m_connectionInfo->cancelled);
    CAtlString error;
    if (!CheckWinInet(error)) {
        emit ConnectionFailedSignal(error);
        return false;
    }
    const UrlParts parts = SplitUrl(url);
    m_server = parts.server;
    m_port = parts.port;
    m_object = parts.object;
    m_flags = RequestFlags(parts);
    return true;
}

bool CDownloader::OpenRequest(const CAtlString& url) {
    if (!BeginRequest(url))
        return false;
    SystemProxyAnswer systemProxyFor(*m_connectionInfo, url);
    // The run's own proxy, else the administrator's, when there is one; otherwise direct first and
    // then what the desktop, a script or the environment names (DesktopSystemProxy), unless the run
    // has already learnt that only the latter reaches anything (ProxyHandlerBase::StartMode).
    for (int32_t mode = m_connectionInfo->connectionMode;;
         mode = mode == ModeDirect ? ModeSystemProxy : ModeExhausted) {
        const std::optional<EngineRoute> route = RouteOf(mode, *m_connectionInfo, systemProxyFor);
        if (!route && mode == ModeExplicitProxy)
            continue;
        if (!route) {
            m_failure = m_movedOn;
            emit ConnectionFailedSignal(QString());
            return false;
        }
        switch (TryRoute(mode, *route, systemProxyFor)) {
        case RouteOutcome::Answered:
            return true;
        case RouteOutcome::Failed:
            return false;
        case RouteOutcome::MoveOn:
        case RouteOutcome::Retry:
            break;
        }
    }
}

void CDownloader::NameProxy(int32_t mode, const EngineRoute& route) {
    m_proxy.clear();
    m_proxyPort = 0;
    if (mode == ModeExplicitProxy) {
        ExplicitProxyAddress(m_connectionInfo->proxyHost, m_connectionInfo->proxyPort, m_proxy,
                             m_proxyPort);
    } else if (mode == ModeSystemProxy && !m_connectionInfo->systemProxy) {
        QueryProxy(m_proxy, m_proxyPort);
    } else {
        m_proxy = route.proxyHost;
        m_proxyPort = route.proxyPort;
    }
}

void CDownloader::SetProxyLogin(const CAtlString& user, const CAtlString& password) {
    m_client->InternetSetOptionW(m_connection, INTERNET_OPTION_PROXY_USERNAME, user);
    m_client->InternetSetOptionW(m_connection, INTERNET_OPTION_PROXY_PASSWORD, password);
    m_sentUser = user;
    m_sentPassword = password;
}

CDownloader::RouteOutcome CDownloader::TryRoute(int32_t mode, const EngineRoute& route,
                                                SystemProxyAnswer& systemProxyFor) {
    NameProxy(mode, route);
    m_routes << route.named;
    CAtlString error;
    if (!OpenSession(m_server, m_port, route.direct, route.proxyHost, route.proxyPort, m_session,
                     m_connection, error)) {
        emit ConnectionFailedSignal(error);
        return RouteOutcome::Failed;
    }
    m_client->InternetSetOptionW(m_connection, kOptionProxyNoBasic, route.noBasic ? 1u : 0u);
    m_sentUser.clear();
    m_sentPassword.clear();
    // The login that belongs to this proxy goes with the first request, so that the client
    // can send it at once to a proxy whose scheme it has already met.
    if (!m_proxy.isEmpty() && !route.userName.isEmpty())
        SetProxyLogin(route.userName, route.password);
    for (;;) {
        m_request = m_client->HttpOpenRequestW(m_connection, QStringLiteral("GET"), m_object,
                                               QStringLiteral("HTTP/1.1"), m_flags);
        if (!m_request) {
            emit ConnectionFailedSignal(QStringLiteral("Failed to open a WinInet request"));
            CloseHandles();
            return RouteOutcome::Failed;
        }
        if (!m_client->HttpSendRequestW(m_request))
            return SendFailed(mode, route, systemProxyFor);
        int64_t status = 0;
        if (!m_client->HttpQueryInfoW(m_request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                                      status)) {
            // A response without a readable status is no response to trust.
            CloseHandles();
            return RouteOutcome::Failed;
        }
        m_reachedMode = mode;
        if (status == 407 || status == 401) {
            const RouteOutcome outcome = AnswerLoginDemand(mode, status);
            if (outcome == RouteOutcome::Retry)
                continue;
            return outcome;
        }
        if (status >= 300) {
            m_failure = StatusFailure(status);
            CloseHandles();
            return RouteOutcome::Failed;
        }
        return RouteOutcome::Answered;
    }
}

CDownloader::RouteOutcome CDownloader::SendFailed(int32_t mode, const EngineRoute& route,
                                                  SystemProxyAnswer& systemProxyFor) {
    FailRequest(DownloadFailure::Failed);
    const bool noServer = RouteFoundNoServer(m_client->GetLastRequestError(m_request));
    // A configured proxy script that could not be used is why the address went direct: that
    // is what the person must put right, not the server that direct could not find.
    const CAtlString script =
        mode == ModeDirect ? systemProxyFor().scriptFailed : route.scriptFailed;
    if (noServer && !script.isEmpty())
        m_failure = {DownloadFailure::ProxyScriptFailed, m_server, {}, {}, script};
    // Direct is also what the configuration says for this address: -verbose names the
    // setting that keeps it direct (no_proxy, a script that failed).
    if (mode == ModeDirect && noServer && systemProxyFor().IsDirect() &&
        (systemProxyFor().source != SystemProxyAddress::Nothing ||
         !systemProxyFor().scriptFailed.isEmpty()))
        m_routes.last() = SystemRoute(*m_connectionInfo, systemProxyFor).named;
    // A direct route that finds no server is what a network where only a proxy reaches the
    // outside looks like: the proxy the configuration names for the address gets its chance,
    // once.
    if (mode == ModeDirect && noServer && !systemProxyFor().IsDirect()) {
        m_movedOn = m_failure;
        CloseHandles();
        return RouteOutcome::MoveOn;
    }
    emit ConnectionFailedSignal(QStringLiteral("Send request failed"));
    CloseHandles();
    return RouteOutcome::Failed;
}

CDownloader::RouteOutcome CDownloader::AnswerLoginDemand(int32_t mode, int64_t status) {
    // A server's own 401 was answered with credentials once: the login goes to proxies only,
    // so a server that still refuses would otherwise be asked about for ever.
    if (status == 401 && m_serverAsked) {
        m_failure = StatusFailure(status);
        CloseHandles();
        return RouteOutcome::Failed;
    }
    // Only a proxy's 407 refuses the proxy login; a server's 401, or a 407 that no proxy
    // sent, says nothing about it. A refused login is never sent again in this download (only
    // the direct route moves on to another, and no proxy refuses a login there), and the owner
    // is told which one it was, so that a directory counting failed logins sees it once, not
    // once per retry.
    CAtlString user;
    CAtlString pass;
    if (status == 407 && mode != ModeDirect && !m_sentUser.isEmpty()) {
        user = m_sentUser;
        pass = m_sentPassword;
    }
    // Whether a login was refused or none was given is what the person must know to put it
    // right.
    const DownloadFailure::Kind loginFailure =
        m_sentUser.isEmpty() ? DownloadFailure::ProxyDeclined : DownloadFailure::ProxyRefused;
    if (!m_connectionInfo->promptAllowed) {
        m_movedOn = StatusFailure(status);
        if (status == 407)
            m_movedOn = {loginFailure, m_server, {}, ProxyName(), {}};
        CloseHandles();
        return RouteOutcome::MoveOn;
    }
    // The dialog names the proxy that asks: the one this route goes through, or, on a direct
    // route, the one in the way that the system names.
    CAtlString proxyHost = m_proxy;
    int32_t proxyPort = m_proxyPort;
    if (mode == ModeDirect || m_proxy.isEmpty())
        QueryProxy(proxyHost, proxyPort);
    if (!RequestProxyAuth(proxyHost, proxyPort, user, pass)) {
        Fail(status == 407 ? loginFailure : DownloadFailure::Status, m_server,
             StatusFailure(status).status);
        emit ProxyAuthCanceledSignal();
        CloseHandles();
        return RouteOutcome::Failed;
    }
    m_serverAsked = m_serverAsked || status == 401;
    SetProxyLogin(user, pass);
    m_client->InternetCloseHandle(m_request);
    m_request = nullptr;
    return RouteOutcome::Retry;
}

int32_t CDownloader::DoDownload(const CAtlString& url, const CAtlString& file) {
    int32_t result = E_FAIL;
    if (OpenRequest(url)) {
        m_failure = {DownloadFailure::Failed, {}, {}, {}, {}};
        const int64_t maxBytes = m_connectionInfo->limits.maxBytes;
        int64_t total = 0;
        if (!m_client->HttpQueryInfoW(m_request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                                      total))
            total = 0; // unknown; the receiver only displays it
        // An announced length over the limit is refused before a byte of it is read.
        if (total > maxBytes) {
            Fail(DownloadFailure::TooLarge, m_server, SizeText(maxBytes));
            CloseHandles();
            return E_FAIL;
        }
        m_file = FilePath(file).OpenStream("wb");
        if (!m_file) {
            CloseHandles();
            return E_FAIL;
        }
        int64_t done = 0;
        int64_t reported = 0;
        char buffer[kReadSize];
        for (;;) {
            uint32_t count = 0;
            if (!m_client->InternetReadFile(m_request, buffer, kReadSize, count)) {
                // A body that breaks off is not a download, however much of it arrived.
                FailRequest(DownloadFailure::BrokenOff);
                result = E_FAIL;
                break;
            }
            if (count == 0) {
                if (done == 0)
                    Fail(DownloadFailure::Empty);
                break;
            }
            // A body without a length, or a compressed one, is held to the limit as it comes:
            // nothing beyond it reaches the file.
            if (done + count > maxBytes) {
                Fail(DownloadFailure::TooLarge, m_server, SizeText(maxBytes));
                result = E_FAIL;
                break;
            }
            if (std::fwrite(buffer, 1, count, m_file) != count) {
                Fail(DownloadFailure::Failed);
                result = E_FAIL;
                break;
            }
            done += count;
            result = S_OK;
            if (ReportProgress(ClampToInt(done), ClampToInt(total), false))
                reported = done;
        }
        // A report skipped for pace is made up for at the end, so the last report always
        // shows the whole body.
        if (result == S_OK && reported != done)
            ReportProgress(ClampToInt(done), ClampToInt(total), true);
        if (result == S_OK && total > 0 && done != total) {
            Fail(DownloadFailure::BrokenOff, m_server);
            result = E_FAIL;
        }

        // Buffered bytes reach the disk only here; a failure now loses the end of the file.
        if (std::fclose(m_file) != 0) {
            Fail(DownloadFailure::Failed);
            result = E_FAIL;
        }
        m_file = nullptr;
    }
    CloseHandles();
    if (result == S_OK)
        m_failure = {};
    return result;
}

void CDownloader::CloseHandles() {
    if (m_request)
        m_client->InternetCloseHandle(m_request);
    if (m_connection)
        m_client->InternetCloseHandle(m_connection);
    if (m_session)
        m_client->InternetCloseHandle(m_session);
    m_request = m_connection = m_session = nullptr;
    if (m_file)
        std::fclose(m_file);
    m_file = nullptr;
}

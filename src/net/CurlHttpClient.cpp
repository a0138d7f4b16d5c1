#include "net/CurlHttpClient.h"

#include "net/CurlCertificate.h"
#include "net/CurlPrefetch.h"
#include "net/CurlTransfer.h"

#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace WinInet;
using namespace CurlClient;

namespace {
template <typename T> T* As(HINTERNET handle) {
    return dynamic_cast<T*>(handle);
}
} // namespace

std::unique_ptr<CurlHttpClient> CurlHttpClient::Create() {
    if (!LoadCurlLibrary())
        return nullptr;
    return std::unique_ptr<CurlHttpClient>(new CurlHttpClient);
}

void CurlHttpClient::SetStallTimeout(std::chrono::milliseconds limit) {
    g_stallTimeoutMs.store(limit.count());
}

std::chrono::milliseconds CurlHttpClient::StallTimeout() {
    return std::chrono::milliseconds(g_stallTimeoutMs.load());
}

HINTERNET CurlHttpClient::InternetOpenW(const CAtlString& agent, uint32_t accessType,
                                        const CAtlString& proxyList, const CAtlString&, uint32_t) {
    if (accessType != INTERNET_OPEN_TYPE_PRECONFIG && accessType != INTERNET_OPEN_TYPE_DIRECT &&
        accessType != INTERNET_OPEN_TYPE_PROXY)
        return nullptr;
    auto session = std::make_unique<Session>();
    session->state->accessType = accessType;
    session->state->proxyList = proxyList;
    session->state->agent = agent;
    return session.release();
}

HINTERNET CurlHttpClient::InternetConnectW(HINTERNET sessionHandle, const CAtlString& server,
                                           uint16_t port, uint32_t service) {
    auto* session = As<Session>(sessionHandle);
    if (!session || service != INTERNET_SERVICE_HTTP || server.isEmpty())
        return nullptr;
    auto connection = std::make_unique<Connection>();
    connection->state->session = session->state;
    connection->state->server = server;
    connection->state->port = port;
    return connection.release();
}

bool CurlHttpClient::InternetSetOptionW(HINTERNET handle, uint32_t option, uint32_t value) {
    auto* connection = As<Connection>(handle);
    if (!connection)
        return false;
    if (option == INTERNET_OPTION_CONNECT_TIMEOUT)
        connection->state->connectTimeoutMs = static_cast<long>(value);
    else if (option == kOptionTransferTimeout)
        connection->state->transferTimeoutMs = value;
    else if (option == kOptionProxyNoBasic)
        connection->state->proxyNoBasic = value != 0;
    else
        return false;
    return true;
}

bool CurlHttpClient::InternetSetOptionW(HINTERNET handle, uint32_t option, const CAtlString& text) {
    auto* connection = As<Connection>(handle);
    if (!connection)
        return false;
    if (option == INTERNET_OPTION_PROXY_USERNAME)
        connection->state->proxyUserName = text;
    else if (option == INTERNET_OPTION_PROXY_PASSWORD)
        connection->state->proxyPassword = text;
    else
        return false;
    return true;
}

HINTERNET CurlHttpClient::HttpOpenRequestW(HINTERNET connectionHandle, const CAtlString& verb,
                                           const CAtlString& object, const CAtlString&,
                                           uint32_t flags) {
    auto* connection = As<Connection>(connectionHandle);
    if (!connection || verb != u"GET")
        return nullptr;
    auto request = std::make_unique<Request>();
    request->connection = connection->state;
    request->object = object.startsWith(u'/') ? object : u'/' + object;
    request->flags = flags;
    request->cancel = m_cancel;
    return request.release();
}

bool CurlHttpClient::HttpSendRequestW(HINTERNET handle) {
    auto* request = As<Request>(handle);
    if (!request || request->easy)
        return false;
    if (TakeFetchedAhead(*request))
        return SendOutcome(*request);
    if (!MakeTransfer(*request))
        return false;
    CURLM* multi = request->connection->session->Multi();
    if (!multi || Curl().multi_add_handle(multi, request->easy) != CURLM_OK) {
        Curl().easy_cleanup(request->easy);
        request->easy = nullptr;
        return false;
    }
    Drive(*request);
    return SendOutcome(*request);
}

bool CurlHttpClient::HttpQueryInfoW(HINTERNET handle, uint32_t infoLevel, int64_t& number) {
    auto* request = As<Request>(handle);
    if (!request || !request->easy || (infoLevel & HTTP_QUERY_FLAG_NUMBER) == 0)
        return false;
    switch (infoLevel & ~HTTP_QUERY_FLAG_NUMBER) {
    case HTTP_QUERY_STATUS_CODE: {
        if (request->connectStatus != 0) {
            number = request->connectStatus;
            return true;
        }
        long status = 0;
        if (Curl().easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
            status == 0)
            return false;
        number = status;
        return true;
    }
    case HTTP_QUERY_CONTENT_LENGTH: {
        curl_off_t length = -1;
        // The header counts the encoded bytes; the reader gets them decoded.
        if (request->connectStatus != 0 || request->encoded ||
            Curl().easy_getinfo(request->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) !=
                CURLE_OK ||
            length < 0)
            return false;
        number = length;
        return true;
    }
    default:
        return false;
    }
}

bool CurlHttpClient::InternetReadFile(HINTERNET handle, char* buffer, uint32_t size,
                                      uint32_t& count) {
    count = 0;
    auto* request = As<Request>(handle);
    if (!request || !request->easy || request->connectStatus != 0)
        return false;
    if (!request->HasPending() && !request->done)
        Drive(*request);
    if (request->HasPending()) {
        const size_t available = request->pending.size() - request->pendingPos;
        count = static_cast<uint32_t>(std::min<size_t>(available, size));
        std::memcpy(buffer, request->pending.data() + request->pendingPos, count);
        request->pendingPos += count;
        return true;
    }
    return request->result == CURLE_OK;
}

bool CurlHttpClient::InternetQueryOptionW(HINTERNET, uint32_t option,
                                          InternetVersionInfo& version) {
    const curl_version_info_data* info = Curl().version_info(CURLVERSION_NOW);
    if (option != INTERNET_OPTION_VERSION || !info)
        return false;
    version.major = (info->version_num >> 16) & 0xff;
    version.minor = (info->version_num >> 8) & 0xff;
    return true;
}

bool CurlHttpClient::InternetQueryOptionW(HINTERNET, uint32_t option, uint32_t subOption,
                                          CAtlString& text) {
    if (option != INTERNET_OPTION_PER_CONNECTION_OPTION ||
        subOption != INTERNET_PER_CONN_PROXY_SERVER)
        return false;
    text.clear();
    // The variables libcurl itself reads for a system-configured session, in its order of
    // preference for plain HTTP, then for HTTPS, then for every scheme.
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        const char* value = std::getenv(name);
        if (!value || !*value)
            continue;
        CAtlString address = QString::fromLocal8Bit(value).trimmed();
        if (!address.contains(QStringLiteral("://")))
            address.prepend(QStringLiteral("http://"));
        const QUrl url(address);
        if (url.host().isEmpty())
            continue;
        // Scheme and credentials are dropped: only where the proxy is matters to the caller.
        // A proxy named without a port is reached on libcurl's default proxy port.
        text = HostForUrl(url.host()) + u':' + QString::number(url.port(1080));
        break;
    }
    return true;
}

bool CurlHttpClient::InternetCloseHandle(HINTERNET handle) {
    if (!handle)
        return false;
    delete handle;
    return true;
}

bool CurlHttpClient::HttpQueryInfoW(HINTERNET handle, uint32_t infoLevel, CAtlString& text) {
    auto* request = As<Request>(handle);
    if (!request || !request->easy)
        return false;
    if (infoLevel == kQueryProxyError) {
        // An error page that a server sends on a direct request is the server's own (a site
        // behind a caching squid sends them too).
        const bool proxied = !request->proxy.empty() || !request->proxyKey.empty();
        text = QString::fromLatin1(request->connectStatus != 0 ? request->connectProxyError
                                   : proxied                   ? request->headProxyError
                                                               : std::string());
        return true;
    }
    if (infoLevel == kQueryCertificateExpiry) {
        text = QString::fromLatin1(request->certificateExpiry);
        return !text.isEmpty();
    }
    if (infoLevel != HTTP_QUERY_STATUS_TEXT)
        return false;
    // A redirect's phrase stays with its own head: what counts is the last answer's.
    text = QString::fromLatin1(request->connectStatus != 0 ? request->connectStatusPhrase
                                                           : request->headPhrase);
    return true;
}

uint32_t CurlHttpClient::GetLastRequestError(HINTERNET handle) {
    const auto* request = As<Request>(handle);
    if (!request || !request->done)
        return 0;
    switch (request->result) {
    case CURLE_OK:
        return 0;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
        // The handshake is made in OpenConnectedSocket, within the caller's limit; one that
        // ran out there is a time-out, not a refusal.
        return request->connectErrno == ETIMEDOUT ? kErrorConnectTimeout
                                                  : ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
        return ERROR_INTERNET_TIMEOUT;
    case CURLE_ABORTED_BY_CALLBACK:
        return ERROR_INTERNET_OPERATION_CANCELLED;
    case CURLE_PEER_FAILED_VERIFICATION:
        return CertificateFailure(*request);
    case CURLE_SSL_CONNECT_ERROR:
        return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        return ERROR_INTERNET_CONNECTION_ABORTED;
    default:
        return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

#pragma once

#include "platform/AtlString.h"

#include <atomic>
#include <cstdint>
#include <memory>

// The operations of the HTTP client that the download engine is written against, named after
// the Windows library whose semantics they keep. Handles form a tree (session, connection,
// request); each is closed on its own with InternetCloseHandle, children before or after
// their parents. One client and all its handles are used by one thread at a time.

class InternetObject {
public:
    virtual ~InternetObject() = default;
};
using HINTERNET = InternetObject*;

namespace WinInet {
// InternetOpenW access types.
constexpr uint32_t INTERNET_OPEN_TYPE_PRECONFIG = 0;
constexpr uint32_t INTERNET_OPEN_TYPE_DIRECT = 1;
constexpr uint32_t INTERNET_OPEN_TYPE_PROXY = 3;
// InternetConnectW service.
constexpr uint32_t INTERNET_SERVICE_HTTP = 3;
// HttpOpenRequestW flags.
constexpr uint32_t INTERNET_FLAG_SECURE = 0x00800000;
constexpr uint32_t INTERNET_FLAG_KEEP_CONNECTION = 0x00400000;
constexpr uint32_t INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
// InternetSetOptionW / InternetQueryOptionW options.
constexpr uint32_t INTERNET_OPTION_CONNECT_TIMEOUT = 2;
constexpr uint32_t INTERNET_OPTION_VERSION = 40;
constexpr uint32_t INTERNET_OPTION_PROXY_USERNAME = 43;
constexpr uint32_t INTERNET_OPTION_PROXY_PASSWORD = 44;
constexpr uint32_t INTERNET_OPTION_PER_CONNECTION_OPTION = 75;
constexpr uint32_t INTERNET_PER_CONN_PROXY_SERVER = 2;
// HttpQueryInfoW levels and modifiers.
constexpr uint32_t HTTP_QUERY_CONTENT_LENGTH = 5;
constexpr uint32_t HTTP_QUERY_STATUS_CODE = 19;
constexpr uint32_t HTTP_QUERY_STATUS_TEXT = 20;
// Why a request failed (GetLastRequestError).
constexpr uint32_t ERROR_INTERNET_TIMEOUT = 12002;
constexpr uint32_t ERROR_INTERNET_INTERNAL_ERROR = 12004;
constexpr uint32_t ERROR_INTERNET_OPERATION_CANCELLED = 12017;
constexpr uint32_t ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr uint32_t ERROR_INTERNET_CANNOT_CONNECT = 12029;
constexpr uint32_t ERROR_INTERNET_CONNECTION_ABORTED = 12030;
constexpr uint32_t ERROR_INTERNET_SEC_CERT_DATE_INVALID = 12037;
constexpr uint32_t ERROR_INTERNET_SEC_CERT_CN_INVALID = 12038;
constexpr uint32_t ERROR_INTERNET_INVALID_CA = 12045;
constexpr uint32_t ERROR_INTERNET_SECURITY_CHANNEL_ERROR = 12157;
constexpr uint32_t ERROR_INTERNET_SEC_INVALID_CERT = 12169;
constexpr uint32_t HTTP_QUERY_FLAG_NUMBER = 0x20000000;
} // namespace WinInet

// Not one of the Windows library's options, which bound only each wait: the most time, in
// milliseconds, that a request on the connection may take from its sending to the end of its
// body. A request that runs out fails as ERROR_INTERNET_TIMEOUT. 0: no bound.
constexpr uint32_t kOptionTransferTimeout = 0x10001;
// Not one of the Windows library's options either: 1 keeps the connection's proxy login from
// ever going out in Basic (readable by the proxy and by anyone on the way to it), for a proxy
// that nobody named to the program, such as one a proxy script chose. 0: any scheme the proxy
// offers, the strongest first.
constexpr uint32_t kOptionProxyNoBasic = 0x10005;

// Not one of the Windows library's codes, which has one time-out for every wait: the TCP
// handshake with the first hop (the proxy when there is one, else the server) took longer than
// the connect time-out. ERROR_INTERNET_TIMEOUT is then left for a peer that took the
// connection and did not answer in time, which behind a proxy is the server's doing.
constexpr uint32_t kErrorConnectTimeout = 0x10002;

// Not HttpQueryInfoW levels of the Windows library; text queries of a request:
// The proxy's own error when the last answer came from the proxy rather than from the server
// (its error page names it, as squid's "X-Squid-Error: ERR_CONNECT_FAIL 111" or a
// "Proxy-Status" error does; a refused tunnel is always the proxy's, "CONNECT" when it names
// no error). Empty for the server's answers and for direct requests.
constexpr uint32_t kQueryProxyError = 0x10003;
// After ERROR_INTERNET_SEC_CERT_DATE_INVALID: the day the refused certificate expired, as
// "yyyy-MM-dd" (UTC). False when the client cannot tell.
constexpr uint32_t kQueryCertificateExpiry = 0x10004;

struct InternetVersionInfo {
    uint32_t major = 0;
    uint32_t minor = 0;
};

class IHttpClient {
public:
    virtual ~IHttpClient() = default;

    // A session: direct, the system's proxy configuration, or the proxy list
    // "http=http://host:port https=http://host:port". Null on failure.
    virtual HINTERNET InternetOpenW(const CAtlString& agent, uint32_t accessType,
                                    const CAtlString& proxyList, const CAtlString& bypassList,
                                    uint32_t flags) = 0;
    // A connection to one server and port within a session. Null on failure.
    virtual HINTERNET InternetConnectW(HINTERNET session, const CAtlString& server, uint16_t port,
                                       uint32_t service) = 0;
    virtual bool InternetSetOptionW(HINTERNET handle, uint32_t option, uint32_t value) = 0;
    virtual bool InternetSetOptionW(HINTERNET handle, uint32_t option, const CAtlString& text) = 0;
    // A request for object (path and query) on a connection. Null on failure.
    virtual HINTERNET HttpOpenRequestW(HINTERNET connection, const CAtlString& verb,
                                       const CAtlString& object, const CAtlString& version,
                                       uint32_t flags) = 0;
    // Sends the request and waits for the response head; false when no response arrived.
    virtual bool HttpSendRequestW(HINTERNET request) = 0;
    // A numeric header or the status; false when the response has no such value.
    virtual bool HttpQueryInfoW(HINTERNET request, uint32_t infoLevel, int64_t& number) = 0;
    // Up to size bytes of the body; count 0 with true at its end, false when it broke off.
    virtual bool InternetReadFile(HINTERNET request, char* buffer, uint32_t size,
                                  uint32_t& count) = 0;
    virtual bool InternetQueryOptionW(HINTERNET handle, uint32_t option,
                                      InternetVersionInfo& version) = 0;
    // INTERNET_OPTION_PER_CONNECTION_OPTION with INTERNET_PER_CONN_PROXY_SERVER: the system
    // proxy as "host:port", empty when there is none.
    virtual bool InternetQueryOptionW(HINTERNET handle, uint32_t option, uint32_t subOption,
                                      CAtlString& text) = 0;
    virtual bool InternetCloseHandle(HINTERNET handle) = 0;

    // HTTP_QUERY_STATUS_TEXT: the reason phrase of the status line as the server sent it;
    // kQueryProxyError and kQueryCertificateExpiry as above. False when the client cannot
    // tell.
    virtual bool HttpQueryInfoW(HINTERNET request, uint32_t infoLevel, CAtlString& text) {
        (void)request, (void)infoLevel, (void)text;
        return false;
    }
    // Requests opened from now on fail soon (within a tenth of a second) after *flag turns
    // true, with ERROR_INTERNET_OPERATION_CANCELLED; the Windows library has the caller close
    // the handle from another thread instead. The flag outlives the requests; null: none.
    virtual void SetCancelFlag(const std::atomic<bool>* flag) { (void)flag; }
    // Why the last HttpSendRequestW or InternetReadFile on request failed, as one of the
    // ERROR_INTERNET_ codes above; 0 when the client cannot tell.
    virtual uint32_t GetLastRequestError(HINTERNET request) {
        (void)request;
        return 0;
    }
};

#include "net/CurlCertificate.h"

#include <QDate>

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

using namespace WinInet;

namespace CurlClient {
namespace {
// The TLS library checks the server's certificate and tells libcurl only that the check
// failed and the error's number; what a person needs besides (the day an expired certificate
// ran out) is taken by a verification callback that watches and leaves the library's own
// verdict unchanged. libcurl brought the library in, so its functions are found in the copy
// already loaded; with another TLS library than OpenSSL nothing is watched.
struct OpenSsl {
    int (*getVerifyMode)(const void* context);
    void (*setVerify)(void* context, int mode, int (*callback)(int, void*));
    int (*getError)(const void* storeContext);
    void* (*currentCertificate)(const void* storeContext);
    const void* (*notAfter)(const void* certificate);
    int (*timeToTm)(const void* time, std::tm* out);
};

// OpenSSL's X509_V_ERR_ numbers that the engine tells apart.
constexpr long kUnspecified = 1;
constexpr long kCertificateExpired = 10;
constexpr long kHostnameMismatch = 62;
constexpr long kIpAddressMismatch = 64;
constexpr std::array<long, 5> kIssuerUnknown = {2, 18, 19, 20, 21};

template <typename Function> bool FindIn(void* library, const char* name, Function& function) {
    function = library ? reinterpret_cast<Function>(::dlsym(library, name)) : nullptr;
    return function != nullptr;
}

const OpenSsl* LoadOpenSsl() {
    static const std::unique_ptr<OpenSsl> calls = []() -> std::unique_ptr<OpenSsl> {
        const curl_version_info_data* info = Curl().version_info(CURLVERSION_NOW);
        const std::string_view version = info && info->ssl_version ? info->ssl_version : "";
        const std::string suffix = StartsWithNoCase(version, "OpenSSL/3")     ? ".so.3"
                                   : StartsWithNoCase(version, "OpenSSL/1.1") ? ".so.1.1"
                                                                              : "";
        if (suffix.empty())
            return nullptr;
        // Only ever the copy libcurl uses: a library not loaded yet is not loaded here.
        void* ssl = ::dlopen(("libssl" + suffix).c_str(), RTLD_NOW | RTLD_NOLOAD);
        void* crypto = ::dlopen(("libcrypto" + suffix).c_str(), RTLD_NOW | RTLD_NOLOAD);
        auto openSsl = std::make_unique<OpenSsl>();
        const bool complete =
            FindIn(ssl, "SSL_CTX_get_verify_mode", openSsl->getVerifyMode) &&
            FindIn(ssl, "SSL_CTX_set_verify", openSsl->setVerify) &&
            FindIn(crypto, "X509_STORE_CTX_get_error", openSsl->getError) &&
            FindIn(crypto, "X509_STORE_CTX_get_current_cert", openSsl->currentCertificate) &&
            FindIn(crypto, "X509_get0_notAfter", openSsl->notAfter) &&
            FindIn(crypto, "ASN1_TIME_to_tm", openSsl->timeToTm);
        return complete ? std::move(openSsl) : nullptr;
    }();
    return calls.get();
}

// The request whose transfer the thread drives: the verification callback has no pointer of
// its own to it.
thread_local Request* t_driven = nullptr;

int WatchVerification(int verified, void* storeContext) {
    Request* request = t_driven;
    if (verified || !request || request->certificateError != 0)
        return verified;
    const OpenSsl& openSsl = *LoadOpenSsl();
    request->certificateError = openSsl.getError(storeContext);
    const void* certificate = openSsl.currentCertificate(storeContext);
    std::tm last{};
    if (request->certificateError == kCertificateExpired && certificate &&
        openSsl.timeToTm(openSsl.notAfter(certificate), &last) == 1)
        request->certificateExpiry = QDate(last.tm_year + 1900, last.tm_mon + 1, last.tm_mday)
                                         .toString(Qt::ISODate)
                                         .toStdString();
    return verified;
}

// Called by libcurl with each new TLS context, after it set its own verification mode.
CURLcode WatchTls(CURL*, void* context, void*) {
    const OpenSsl& openSsl = *LoadOpenSsl();
    openSsl.setVerify(context, openSsl.getVerifyMode(context), WatchVerification);
    return CURLE_OK;
}
} // namespace

void WatchCertificates(CURL* easy) {
    if (LoadOpenSsl())
        Curl().easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, WatchTls);
}

CertificateWatch::CertificateWatch(Request& request) {
    t_driven = &request;
}

CertificateWatch::~CertificateWatch() {
    t_driven = nullptr;
}

uint32_t CertificateFailure(const Request& request) {
    // The library's first complaint about the chain. None means the chain was good and
    // libcurl's own check of the name failed, which leaves the library's result at 0 or at
    // 1, "unspecified".
    long error = request.certificateError;
    if (error == 0 &&
        Curl().easy_getinfo(request.easy, CURLINFO_SSL_VERIFYRESULT, &error) != CURLE_OK)
        error = -1;
    if (error == kCertificateExpired)
        return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
    if (error == 0 || error == kUnspecified || error == kHostnameMismatch ||
        error == kIpAddressMismatch)
        return ERROR_INTERNET_SEC_CERT_CN_INVALID;
    if (std::find(kIssuerUnknown.begin(), kIssuerUnknown.end(), error) != kIssuerUnknown.end())
        return ERROR_INTERNET_INVALID_CA;
    return ERROR_INTERNET_SEC_INVALID_CERT;
}
} // namespace CurlClient

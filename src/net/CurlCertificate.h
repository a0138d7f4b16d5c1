#pragma once

// Why a server's certificate was refused, as the engine tells it apart (expired, wrong name,
// unknown issuer), and what a person needs besides: the day an expired certificate ran out.

#include "net/CurlTransfer.h"

#include <cstdint>

namespace CurlClient {
// Has the TLS library report its verdict on the peer's chain to the request driven on the
// thread; nothing when libcurl uses another TLS library than OpenSSL.
void WatchCertificates(CURL* easy);

// Marks request as the one this thread drives, for as long as the object lives: the
// verification callback has no pointer of its own to it.
class CertificateWatch {
public:
    explicit CertificateWatch(Request& request);
    ~CertificateWatch();
    CertificateWatch(const CertificateWatch&) = delete;
    CertificateWatch& operator=(const CertificateWatch&) = delete;
};

// The WinInet error for a transfer that failed on the peer's certificate.
uint32_t CertificateFailure(const Request& request);
} // namespace CurlClient

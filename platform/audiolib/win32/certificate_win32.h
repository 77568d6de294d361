// The server's certificate of a TLS session, checked as the system checks it.
#pragma once

#include <string>

#include "net.h"

namespace bassx::net {

// 0 when the certificate the server presented chains to a root of the system's store, is
// valid now for server authentication and names host (a DNS name, or an IPv4 or IPv6 address
// matched against the certificate's addresses only); else BASS_ERROR_CAST_CERT. What the system
// fetches to build the chain (intermediates, roots it keeps online) is bounded by the deadline.
// cert is the session's PCCERT_CONTEXT, kept opaque so that users need not see wincrypt.h.
int verifyServerCertificate(const void* cert, const std::string& host, Deadline deadline);

// The host's name in UTF-16 as Windows' calls take it (the TLS target, SNI); empty for a
// numeric IPv4 or IPv6 address (strict: "127.1" is a name), which has no name to send or match.
std::wstring hostNameW(const std::string& host);

}  // namespace bassx::net

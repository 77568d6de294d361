// Certificate checks for the Schannel transport: the system's chain engine and SSL policy,
// and the address match that policy does not do.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS  // dwUrlRetrievalTimeout
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "bass.h"
#include "certificate_win32.h"

#ifndef SECURITY_FLAG_IGNORE_CERT_CN_INVALID
#define SECURITY_FLAG_IGNORE_CERT_CN_INVALID 0x00001000  // wininet.h
#endif

namespace bassx::net {
namespace {

struct Address {
    unsigned char bytes[16];
    DWORD len = 0;
};

bool parseAddress(const std::string& host, Address& a) {
    if (::inet_pton(AF_INET, host.c_str(), a.bytes) == 1) {
        a.len = 4;
        return true;
    }
    if (::inet_pton(AF_INET6, host.c_str(), a.bytes) == 1) {
        a.len = 16;
        return true;
    }
    return false;
}

// The address among the certificate's subject alternative names. The SSL policy compares
// only DNS names (under Wine) and a common name is never an address.
bool namesAddress(PCCERT_CONTEXT cert, const Address& a) {
    PCERT_EXTENSION ext =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
    if (!ext) return false;
    CERT_ALT_NAME_INFO* info = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < info->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& e = info->rgAltEntry[i];
        found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == a.len &&
                std::memcmp(e.IPAddress.pbData, a.bytes, a.len) == 0;
    }
    LocalFree(info);
    return found;
}

}  // namespace

std::wstring hostNameW(const std::string& host) {
    Address a;
    if (parseAddress(host, a)) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, host.c_str(), -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, host.c_str(), -1, w.data(), n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

int verifyServerCertificate(const void* opaque, const std::string& host, Deadline deadline) {
    auto cert = static_cast<PCCERT_CONTEXT>(opaque);
    if (!cert) return BASS_ERROR_CAST_CERT;
    Address address;
    const bool literal = parseAddress(host, address);
    const std::wstring name = hostNameW(host);
    if (!literal && name.empty()) return BASS_ERROR_CAST_CERT;

    LPSTR serverAuth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    para.dwUrlRetrievalTimeout = static_cast<DWORD>(std::max<long long>(1, left.count()));

    // The default engine: the user's and the machine's stores, as every program here sees
    // them. No revocation check (the OpenSSL side makes none either). The certificates the
    // server sent beside its own come in its store.
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(HCCE_CURRENT_USER, cert, nullptr, cert->hCertStore, &para, 0, nullptr, &chain))
        return BASS_ERROR_CAST_CERT;

    // Any fault of the chain fails it: Wine's SSL policy misses some (a chain that ends short of
    // a root passes it). Revocation is not asked for, so its status is unknown.
    const DWORD faults = chain->TrustStatus.dwErrorStatus &
                         ~static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_NESTED | CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                             CERT_TRUST_IS_OFFLINE_REVOCATION);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = literal ? SECURITY_FLAG_IGNORE_CERT_CN_INVALID : 0;
    ssl.pwszServerName = literal ? nullptr : const_cast<wchar_t*>(name.c_str());
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    bool trusted = faults == 0 && CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) &&
                   status.dwError == 0;
    CertFreeCertificateChain(chain);
    if (trusted && literal) trusted = namesAddress(cert, address);
    return trusted ? 0 : BASS_ERROR_CAST_CERT;
}

}  // namespace bassx::net

// The TLS backend of the transport on Windows, on Schannel over the plain socket transport:
// TLS 1.2 or newer, SNI, the server's certificate checked against the system's store
// (certificate_win32.cpp), and no close_notify at the end (see the OpenSSL backend).
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS  // SCH_CREDENTIALS and TLS_PARAMETERS
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <subauth.h>  // UNICODE_STRING, which they use
#include <schannel.h>
#include <security.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "bass.h"
#include "certificate_win32.h"
#include "transport.h"

namespace bassx::net {
namespace {

constexpr ULONG kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                           ISC_REQ_MANUAL_CRED_VALIDATION;
constexpr DWORD kModern = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
// Certificates are checked by us, the same way on Windows and under Wine (whose Schannel
// checks none); no client certificate is offered.
constexpr DWORD kFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
constexpr size_t kRecordHead = 5;

// Wine's Schannel keeps its handles in a table that it grows without a lock: every call into
// it is made under this one. None of them waits on the network.
std::mutex& sspi() {
    static std::mutex m;
    return m;
}

bool acquire(CredHandle& cred) {
    TimeStamp expiry;
    auto* package = const_cast<wchar_t*>(UNISP_NAME_W);
    // SCH_CREDENTIALS (Windows 10 1809 and later) has TLS 1.3; older systems and Wine take
    // only SCHANNEL_CRED, which is then held to TLS 1.2.
    TLS_PARAMETERS tls{};
    tls.grbitDisabledProtocols = ~kModern;
    SCH_CREDENTIALS modern{};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = kFlags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &tls;
    if (AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &modern, nullptr, nullptr, &cred,
                                  &expiry) == SEC_E_OK)
        return true;
    SCHANNEL_CRED older{};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    older.dwFlags = kFlags;
    return AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &older, nullptr, nullptr, &cred,
                                     &expiry) == SEC_E_OK;
}

int errorFor(SECURITY_STATUS s) {
    switch (s) {
    case SEC_E_UNTRUSTED_ROOT:
    case SEC_E_WRONG_PRINCIPAL:
    case SEC_E_CERT_EXPIRED:
    case SEC_E_CERT_UNKNOWN:
    case CERT_E_CN_NO_MATCH:
    case CERT_E_UNTRUSTEDROOT:
        return BASS_ERROR_CAST_CERT;
    default:
        return BASS_ERROR_CAST_TLS;
    }
}

class Schannel final : public Transport {
public:
    Schannel(std::unique_ptr<Transport> raw, const std::string& host)
        : raw_(std::move(raw)), host_(host), target_(hostNameW(host)) {}
    ~Schannel() override { close(); }

    // 0 once the session is up and its certificate verified, else a BASS error code.
    int start(Deadline deadline, const std::atomic<bool>* cancel) {
        {
            std::lock_guard<std::mutex> lock(sspi());
            haveCred_ = acquire(cred_);
        }
        if (!haveCred_) return BASS_ERROR_CAST_TLS;
        SECURITY_STATUS s = step();
        for (int retries = 0;;) {
            // Also when the server never stops sending: the waits below are not the only way round.
            if ((cancel && cancel->load()) || std::chrono::steady_clock::now() >= deadline) return BASS_ERROR_TIMEOUT;
            int f = flush();
            if (f < 0) return BASS_ERROR_CAST_TLS;
            if (f == 0) {
                if (int w = waitFor(fd(), POLLOUT, deadline, cancel); w <= 0) return w == 0 ? BASS_ERROR_TIMEOUT : BASS_ERROR_CAST_TLS;
                continue;
            }
            if (s == SEC_E_OK) break;
            if (s == SEC_I_INCOMPLETE_CREDENTIALS && ++retries <= 2) {
                s = step();  // asked for a client certificate: go on without one
                continue;
            }
            if (s != SEC_I_CONTINUE_NEEDED && s != SEC_E_INCOMPLETE_MESSAGE) return errorFor(s);
            if (s == SEC_E_INCOMPLETE_MESSAGE || in_.empty()) {
                long n = fill();
                if (n < 0) return BASS_ERROR_CAST_TLS;  // a server that speaks no TLS hangs up
                if (n == 0) {
                    if (int w = waitFor(fd(), POLLIN, deadline, cancel); w <= 0) return w == 0 ? BASS_ERROR_TIMEOUT : BASS_ERROR_CAST_TLS;
                    continue;
                }
            }
            s = step();
        }
        SecPkgContext_ConnectionInfo info{};
        PCCERT_CONTEXT cert = nullptr;
        {
            std::lock_guard<std::mutex> lock(sspi());
            if (QueryContextAttributesW(&ctx_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK ||
                QueryContextAttributesW(&ctx_, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK)
                return BASS_ERROR_CAST_TLS;
            if (QueryContextAttributesW(&ctx_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK) cert = nullptr;
        }
        if (!(info.dwProtocol & kModern)) {
            if (cert) CertFreeCertificateContext(cert);
            return BASS_ERROR_CAST_TLS;
        }
        int err = verifyServerCertificate(cert, host_, deadline);
        if (cert) CertFreeCertificateContext(cert);
        return err;
    }

    // A record once sealed is what the next calls send, whatever they pass: the caller sends
    // the rest of its data again from where it got to, as with OpenSSL.
    long send(const void* data, size_t len) override {
        if (closed_) return -1;
        if (renegotiating_) return pump() < 0 ? -1 : 0;
        int f = flush();
        if (f <= 0) return f;
        if (taken_ == 0) {
            if (len == 0) return 0;
            size_t n = std::min<size_t>(len, sizes_.cbMaximumMessage);
            if (!seal(data, n)) return -1;
            taken_ = n;
            if ((f = flush()) <= 0) return f;
        }
        long n = static_cast<long>(taken_);
        taken_ = 0;
        return n;
    }

    long recv(void* buf, size_t len) override {
        for (;;) {
            if (plainAt_ < plain_.size()) {
                size_t n = std::min(len, plain_.size() - plainAt_);
                std::memcpy(buf, plain_.data() + plainAt_, n);
                plainAt_ += n;
                return static_cast<long>(n);
            }
            if (closed_) return -1;
            int r = pump();
            if (r <= 0) return r;
        }
    }

    short waitEvents() const override { return want_; }
    int fd() const override { return raw_->fd(); }
    bool secure() const override { return true; }
    void close() override {
        {
            std::lock_guard<std::mutex> lock(sspi());
            if (haveCtx_) DeleteSecurityContext(&ctx_);
            if (haveCred_) FreeCredentialsHandle(&cred_);
        }
        haveCtx_ = haveCred_ = false;
        closed_ = true;
        raw_->close();
    }

private:
    // The handshake's next call over what in_ holds; its answer is queued in out_ and what it
    // used is taken from in_.
    SECURITY_STATUS step() {
        SecBuffer inBufs[2] = {{static_cast<ULONG>(in_.size()), SECBUFFER_TOKEN, in_.data()}, {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBufs};
        SecBuffer outBuf{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuf};
        ULONG attrs = 0;
        const bool first = !haveCtx_;
        std::lock_guard<std::mutex> lock(sspi());
        SECURITY_STATUS s = InitializeSecurityContextW(
            &cred_, first ? nullptr : &ctx_, target_.empty() ? nullptr : target_.data(), kRequest, 0, 0,
            first ? nullptr : &inDesc, 0, first ? &ctx_ : nullptr, &outDesc, &attrs, nullptr);
        if (first && s >= 0) haveCtx_ = true;
        if (outBuf.pvBuffer) {
            if (s >= 0 && outBuf.cbBuffer > 0) {
                auto* p = static_cast<const char*>(outBuf.pvBuffer);
                out_.insert(out_.end(), p, p + outBuf.cbBuffer);
            }
            FreeContextBuffer(outBuf.pvBuffer);
        }
        if (!first && s != SEC_E_INCOMPLETE_MESSAGE && s != SEC_I_INCOMPLETE_CREDENTIALS) {
            size_t extra = inBufs[1].BufferType == SECBUFFER_EXTRA ? std::min<size_t>(inBufs[1].cbBuffer, in_.size()) : 0;
            in_.erase(in_.begin(), in_.end() - static_cast<long>(extra));
        }
        return s;
    }

    // Reads and opens records until there is plaintext, nothing more to read, or an end:
    // 1 progress, 0 would block (want_ says on what), -1 failed or closed.
    int pump() {
        for (;;) {
            int f = flush();  // a renegotiation's answers go first
            if (f <= 0) return f;
            int r = open();
            if (r < 0) return -1;
            if (r > 0) {
                if (plainAt_ < plain_.size() || closed_) return 1;
                continue;
            }
            long n = fill();
            if (n < 0) return -1;
            if (n == 0) return 0;
        }
    }

    // One record of in_, or one renegotiation step: 1 done, 0 wants more bytes, -1 failed.
    int open() {
        if (renegotiating_) {
            SECURITY_STATUS s = step();
            if (s == SEC_E_OK) {
                renegotiating_ = false;
                return 1;
            }
            if (s == SEC_E_INCOMPLETE_MESSAGE) return 0;
            if (s == SEC_I_CONTINUE_NEEDED) return in_.empty() ? (out_.empty() ? 0 : 1) : 1;
            return -1;
        }
        if (in_.size() < kRecordHead) return 0;
        size_t record = kRecordHead + (static_cast<size_t>(static_cast<unsigned char>(in_[3])) << 8 |
                                       static_cast<unsigned char>(in_[4]));
        if (in_.size() < record) return 0;
        SecBuffer b[4] = {{static_cast<ULONG>(in_.size()), SECBUFFER_DATA, in_.data()},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        SECURITY_STATUS s;
        {
            std::lock_guard<std::mutex> lock(sspi());
            s = DecryptMessage(&ctx_, &desc, 0, nullptr);
        }
        if (s == SEC_E_INCOMPLETE_MESSAGE) return 0;
        if (s != SEC_E_OK && s != SEC_I_RENEGOTIATE && s != SEC_I_CONTEXT_EXPIRED) return -1;
        const char* data = nullptr;
        size_t dataLen = 0, extra = 0;
        for (const SecBuffer& x : b) {
            if (x.BufferType == SECBUFFER_DATA) {
                data = static_cast<const char*>(x.pvBuffer);
                dataLen = x.cbBuffer;
            } else if (x.BufferType == SECBUFFER_EXTRA) {
                extra = std::min<size_t>(x.cbBuffer, in_.size());
            }
        }
        plain_.assign(data, data + (data ? dataLen : 0));  // decrypted in place: copied before in_ moves
        plainAt_ = 0;
        in_.erase(in_.begin(), in_.end() - static_cast<long>(extra));
        if (s == SEC_I_CONTEXT_EXPIRED) closed_ = true;  // the server's close_notify
        if (s == SEC_I_RENEGOTIATE) renegotiating_ = true;  // TLS 1.3 post-handshake messages too
        return 1;
    }

    bool seal(const void* data, size_t n) {
        const size_t head = sizes_.cbHeader, tail = sizes_.cbTrailer;
        out_.resize(head + n + tail);
        outAt_ = 0;
        std::memcpy(out_.data() + head, data, n);
        SecBuffer b[4] = {{static_cast<ULONG>(head), SECBUFFER_STREAM_HEADER, out_.data()},
                          {static_cast<ULONG>(n), SECBUFFER_DATA, out_.data() + head},
                          {static_cast<ULONG>(tail), SECBUFFER_STREAM_TRAILER, out_.data() + head + n},
                          {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        SECURITY_STATUS s;
        {
            std::lock_guard<std::mutex> lock(sspi());
            s = EncryptMessage(&ctx_, 0, &desc, 0);
        }
        if (s != SEC_E_OK) {
            out_.clear();
            return false;
        }
        out_.resize(b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer);  // the trailer may be shorter
        return true;
    }

    // Hands queued ciphertext to the socket: 1 all gone, 0 would block, -1 failed.
    int flush() {
        while (outAt_ < out_.size()) {
            long n = raw_->send(out_.data() + outAt_, out_.size() - outAt_);
            if (n < 0) return -1;
            if (n == 0) {
                want_ = POLLOUT;
                return 0;
            }
            outAt_ += static_cast<size_t>(n);
        }
        out_.clear();
        outAt_ = 0;
        return 1;
    }

    // Appends what the socket has to in_: bytes, 0 would block, -1 closed or failed.
    long fill() {
        char buf[16 * 1024];
        long n = raw_->recv(buf, sizeof buf);
        if (n > 0) in_.insert(in_.end(), buf, buf + n);
        if (n == 0) want_ = POLLIN;
        return n;
    }

    std::unique_ptr<Transport> raw_;
    std::string host_;
    std::wstring target_;  // the name sent as SNI; none for an address
    CredHandle cred_{};
    CtxtHandle ctx_{};
    bool haveCred_ = false, haveCtx_ = false;
    SecPkgContext_StreamSizes sizes_{};
    std::vector<char> in_;     // ciphertext received and not yet used
    std::vector<char> out_;    // ciphertext to send, from outAt_
    size_t outAt_ = 0;
    size_t taken_ = 0;         // plaintext bytes whose record is in out_
    std::vector<char> plain_;  // opened and not yet handed out, from plainAt_
    size_t plainAt_ = 0;
    bool renegotiating_ = false;
    bool closed_ = false;
    short want_ = POLLIN;
};

}  // namespace

std::unique_ptr<Transport> tlsClient(int fd, const std::string& host, Deadline deadline, int& err,
                                     const std::atomic<bool>* cancel) {
    auto t = std::make_unique<Schannel>(plain(fd), host);
    err = t->start(deadline, cancel);
    if (err) return nullptr;  // closed with it
    return t;
}

}  // namespace bassx::net

// The TLS backend of the transport, on OpenSSL.
#include <arpa/inet.h>
#include <poll.h>

#include <cstdlib>
#include <mutex>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "bass.h"
#include "threads.h"
#include "transport.h"

namespace bassx::net {
namespace {

// One context while the trust settings stay the same; a test that points SSL_CERT_FILE
// elsewhere gets a fresh one. Returned with a reference of the caller's own.
SSL_CTX* context() {
    static std::mutex mutex;
    static SSL_CTX* cached = nullptr;
    static std::string cachedKey;
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* dir = std::getenv("SSL_CERT_DIR");
    std::string key = std::string(file ? file : "") + '\n' + (dir ? dir : "");
    std::lock_guard<std::mutex> lock(mutex);
    if (!cached || key != cachedKey) {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        if (!c) return nullptr;
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_default_verify_paths(c);
        // The link resends the rest of a chunk from wherever it got to.
        SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        if (cached) SSL_CTX_free(cached);
        cached = c;
        cachedKey = key;
    }
    SSL_CTX_up_ref(cached);
    return cached;
}

bool ipLiteral(const std::string& host) {
    unsigned char buf[16];
    return ::inet_pton(AF_INET, host.c_str(), buf) == 1 || ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

class Tls final : public Transport {
public:
    Tls(SSL* ssl, int fd) : ssl_(ssl), fd_(fd) {}
    ~Tls() override { close(); }
    long send(const void* data, size_t len) override {
        SignalsBlocked blocked;  // the socket BIO writes without MSG_NOSIGNAL
        ERR_clear_error();
        int n = SSL_write(ssl_, data, static_cast<int>(std::min<size_t>(len, 1 << 30)));
        return n > 0 ? n : step(n);
    }
    long recv(void* buf, size_t len) override {
        SignalsBlocked blocked;  // a read may answer the server (an alert, a key update)
        ERR_clear_error();
        int n = SSL_read(ssl_, buf, static_cast<int>(std::min<size_t>(len, 1 << 30)));
        return n > 0 ? n : step(n);
    }
    short waitEvents() const override { return want_; }
    int fd() const override { return fd_; }
    bool secure() const override { return true; }
    void close() override {
        if (ssl_) {
            // No close_notify: Icecast 2.4 takes it for "no data yet" and keeps the mount
            // until its source timeout; a bare end of the connection frees it at once.
            SSL_free(ssl_);
            ssl_ = nullptr;
        }
        closeFd(fd_);
    }

    // 0 once the session is up, else a BASS error code.
    int handshake(Deadline deadline, const std::atomic<bool>* cancel) {
        for (;;) {
            SignalsBlocked blocked;
            ERR_clear_error();
            int r = SSL_connect(ssl_);
            if (r == 1) {
                return SSL_get_verify_result(ssl_) == X509_V_OK ? 0 : BASS_ERROR_CAST_CERT;
            }
            if (step(r) != 0) {
                clearPendingSigpipe();
                return SSL_get_verify_result(ssl_) != X509_V_OK ? BASS_ERROR_CAST_CERT : BASS_ERROR_CAST_TLS;
            }
            int w = waitFor(fd_, want_, deadline, cancel);
            if (w == 0) return BASS_ERROR_TIMEOUT;
            if (w < 0) return BASS_ERROR_CAST_TLS;
        }
    }

private:
    long step(int r) {
        switch (SSL_get_error(ssl_, r)) {
        case SSL_ERROR_WANT_READ:
            want_ = POLLIN;
            return 0;
        case SSL_ERROR_WANT_WRITE:
            want_ = POLLOUT;
            return 0;
        default:
            clearPendingSigpipe();
            return -1;
        }
    }
    SSL* ssl_;
    int fd_;
    short want_ = POLLIN;
};

}  // namespace

std::unique_ptr<Transport> tlsClient(int fd, const std::string& host, Deadline deadline, int& err,
                                     const std::atomic<bool>* cancel) {
    SSL_CTX* ctx = context();
    SSL* ssl = ctx ? SSL_new(ctx) : nullptr;
    if (ctx) SSL_CTX_free(ctx);  // the session holds its own reference
    if (!ssl || !SSL_set_fd(ssl, fd)) {
        if (ssl) SSL_free(ssl);
        closeFd(fd);
        err = BASS_ERROR_CAST_TLS;
        return nullptr;
    }
    auto t = std::make_unique<Tls>(ssl, fd);
    if (ipLiteral(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl, host.c_str());
    }
    err = t->handshake(deadline, cancel);
    if (err) return nullptr;
    return t;
}

}  // namespace bassx::net

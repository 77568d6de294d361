// The cast's connection on Winsock. No TLS on this platform yet (no OpenSSL for the target):
// an https:// server fails the connect with BASS_ERROR_CAST_TLS.
#include <winsock2.h>

#include <algorithm>

#include "bass.h"
#include "transport.h"

namespace bassx::net {
namespace {

class Plain final : public Transport {
public:
    explicit Plain(int fd) : fd_(fd) {}
    ~Plain() override { close(); }
    long send(const void* data, size_t len) override {
        int n = ::send(sock(), static_cast<const char*>(data), static_cast<int>(std::min<size_t>(len, 1 << 30)), 0);
        if (n >= 0) return n;
        last_ = POLLOUT;
        return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    }
    long recv(void* buf, size_t len) override {
        int n = ::recv(sock(), static_cast<char*>(buf), static_cast<int>(std::min<size_t>(len, 1 << 30)), 0);
        if (n > 0) return n;
        if (n == 0) return -1;
        last_ = POLLIN;
        return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    }
    short waitEvents() const override { return last_; }
    int fd() const override { return fd_; }
    void close() override { closeFd(fd_); }

private:
    SOCKET sock() const { return static_cast<SOCKET>(static_cast<unsigned>(fd_)); }
    int fd_;
    short last_ = POLLIN;
};

}  // namespace

std::unique_ptr<Transport> tlsClient(int fd, const std::string&, Deadline, int& err, const std::atomic<bool>*) {
    closeFd(fd);
    err = BASS_ERROR_CAST_TLS;
    return nullptr;
}

std::unique_ptr<Transport> plain(int fd) { return std::make_unique<Plain>(fd); }

std::unique_ptr<Transport> open(const std::string& host, int port, bool tls, Deadline deadline, int& err,
                                const std::atomic<bool>* cancel) {
    int fd = connectTo(host, port, deadline, err, cancel);
    if (fd < 0) return nullptr;
    if (!tls) return plain(fd);
    return tlsClient(fd, host, deadline, err, cancel);
}

bool sendAll(Transport& t, const void* data, size_t len, Deadline deadline, const std::atomic<bool>* cancel) {
    auto* p = static_cast<const char*>(data);
    while (len > 0) {
        long n = t.send(p, len);
        if (n < 0) return false;
        if (n == 0) {
            if (waitFor(t.fd(), t.waitEvents(), deadline, cancel) != 1) return false;
            continue;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

long recvSome(Transport& t, void* buf, size_t len, Deadline deadline, const std::atomic<bool>* cancel) {
    for (;;) {
        long n = t.recv(buf, len);
        if (n > 0) return n;
        if (n < 0) return 0;  // closed or failed: the answer ends here either way
        int w = waitFor(t.fd(), t.waitEvents(), deadline, cancel);
        if (w == 0) return -2;
        if (w < 0) return -1;
    }
}

}  // namespace bassx::net

#include "transport.h"

#include <cerrno>

#include <poll.h>
#include <sys/socket.h>

#include "bass.h"

namespace bassx::net {
namespace {

class Plain final : public Transport {
public:
    explicit Plain(int fd) : fd_(fd) {}
    ~Plain() override { close(); }
    long send(const void* data, size_t len) override {
        for (;;) {
            ssize_t n = ::send(fd_, data, len, MSG_NOSIGNAL);
            if (n >= 0) return static_cast<long>(n);
            if (errno == EINTR) continue;
            last_ = POLLOUT;
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        }
    }
    long recv(void* buf, size_t len) override {
        for (;;) {
            ssize_t n = ::recv(fd_, buf, len, 0);
            if (n > 0) return static_cast<long>(n);
            if (n == 0) return -1;
            if (errno == EINTR) continue;
            last_ = POLLIN;
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        }
    }
    short waitEvents() const override { return last_; }
    int fd() const override { return fd_; }
    void close() override { closeFd(fd_); }

private:
    int fd_;
    short last_ = POLLIN;
};

}  // namespace

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

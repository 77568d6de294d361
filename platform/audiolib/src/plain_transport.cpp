// The plain connection on POSIX sockets.
#include "transport.h"

#include <cerrno>

#include <poll.h>
#include <sys/socket.h>

namespace bassx::net {
namespace {

class Plain final : public PlainSocket {
public:
    using PlainSocket::PlainSocket;
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
};

}  // namespace

std::unique_ptr<Transport> plain(int fd) { return std::make_unique<Plain>(fd); }

}  // namespace bassx::net

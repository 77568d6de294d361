// Sockets on POSIX: waits, liveness and the connect steps of one address.
#include "net.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bass.h"
#include "net_os.h"

namespace bassx::net {

int waitFor(int fd, short events, Deadline deadline, const std::atomic<bool>* cancel) {
    for (;;) {
        if (cancel && cancel->load()) return 0;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return 0;
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 100)));
        if (r > 0) return 1;
        if (r < 0 && errno != EINTR) return -1;
    }
}


namespace os {

bool socketsReady() { return true; }

int systemLookup(const char* host, const char* service, const addrinfo* hints, addrinfo** res) {
    return ::getaddrinfo(host, service, hints, res);
}

void systemRelease(addrinfo* res) { ::freeaddrinfo(res); }

int startConnect(const addrinfo& ai, bool& pending) {
    int s = ::socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.ai_protocol);
    if (s < 0) return -1;
    int r = ::connect(s, ai.ai_addr, ai.ai_addrlen);
    pending = r != 0;
    if (r != 0 && errno != EINPROGRESS && errno != EINTR) {  // both go on in the background
        ::close(s);
        return -1;
    }
    return s;
}

int waitConnects(const int* fds, size_t n, int ms) {
    std::vector<pollfd> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = pollfd{fds[i], POLLOUT, 0};
    if (::poll(p.data(), p.size(), ms) <= 0) return -1;
    for (size_t i = 0; i < n; ++i)
        if (p[i].revents) return static_cast<int>(i);
    return -1;
}

bool finishConnect(int fd) {
    int soErr = 0;
    socklen_t l = sizeof soErr;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &l) != 0 || soErr != 0) return false;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setLiveness(fd);
    return true;
}

}  // namespace os

void setLiveness(int fd, int livenessMs) {
    unsigned timeout = static_cast<unsigned>(livenessMs);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
    // Idle for half the time, then one probe a second: a silent peer is found within the limit.
    int on = 1;
    int idle = std::max(1, livenessMs / 2000);
    int interval = 1;
    int count = std::max(1, (livenessMs / 1000 - idle) / interval);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

size_t unsentBytes(int fd) {
    int n = 0;
    if (::ioctl(fd, TIOCOUTQ, &n) != 0 || n < 0) return 0;
    return static_cast<size_t>(n);
}

bool sendAll(int fd, const void* data, size_t len, Deadline deadline, const std::atomic<bool>* cancel) {
    auto* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (waitFor(fd, POLLOUT, deadline, cancel) != 1) return false;
            continue;
        }
        return false;
    }
    return true;
}

long recvSome(int fd, void* buf, size_t len, Deadline deadline, const std::atomic<bool>* cancel) {
    for (;;) {
        ssize_t n = ::recv(fd, buf, len, 0);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        int w = waitFor(fd, POLLIN, deadline, cancel);
        if (w == 0) return -2;
        if (w < 0) return -1;
    }
}

int pollOnce(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, ms);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (p.revents & (POLLERR | POLLHUP)) return -1;
    return r > 0 ? 1 : 0;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace bassx::net

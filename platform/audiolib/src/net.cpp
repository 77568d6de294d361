#include "net.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

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
#include "threads.h"

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

bool splitAddress(const std::string& address, std::string& host, int& port) {
    auto colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= address.size()) return false;
    std::string p = address.substr(colon + 1);
    if (p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
    port = std::stoi(p);
    host = address.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return port >= 1 && port <= 65535;
}

namespace {

std::atomic<LookupFn> lookupFn{&::getaddrinfo};

// Name lookup has no deadline and no cancel of its own: it runs on a thread of its own, and a
// lookup that outlives the deadline or the cancel is abandoned (it finishes and cleans up by
// itself).
struct Lookup {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int rc = 0;
    addrinfo* res = nullptr;
    ~Lookup() {
        if (res) ::freeaddrinfo(res);
    }
};

addrinfo* resolve(const std::string& host, int port, Deadline deadline, int& err, const std::atomic<bool>* cancel) {
    auto job = std::make_shared<Lookup>();
    std::string service = std::to_string(port);
    LookupFn lookup = lookupFn.load();
    startThread(
        [job, host, service, lookup] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* res = nullptr;
            int rc = lookup(host.c_str(), service.c_str(), &hints, &res);
            std::lock_guard<std::mutex> lock(job->mutex);
            job->rc = rc;
            job->res = res;
            job->done = true;
            job->cv.notify_all();
        })
        .detach();
    std::unique_lock<std::mutex> lock(job->mutex);
    // Short slices, so that a cancel is seen quickly.
    while (!job->done) {
        if (cancel && cancel->load()) {
            err = BASS_ERROR_TIMEOUT;
            return nullptr;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            err = BASS_ERROR_TIMEOUT;
            return nullptr;
        }
        job->cv.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(50)));
    }
    if (job->rc != 0 || !job->res) {
        err = BASS_ERROR_NONET;
        return nullptr;
    }
    return std::exchange(job->res, nullptr);
}

}  // namespace

int connectTo(const std::string& host, int port, Deadline deadline, int& err, const std::atomic<bool>* cancel) {
    addrinfo* res = resolve(host, port, deadline, err, cancel);
    if (!res) return -1;
    int fd = -1;
    err = BASS_ERROR_FILEOPEN;
    for (addrinfo* ai = res; ai && fd < 0; ai = ai->ai_next) {
        int s = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (s < 0) continue;
        int r = ::connect(s, ai->ai_addr, ai->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            int w = waitFor(s, POLLOUT, deadline, cancel);
            if (w == 1) {
                int soErr = 0;
                socklen_t l = sizeof soErr;
                ::getsockopt(s, SOL_SOCKET, SO_ERROR, &soErr, &l);
                r = soErr == 0 ? 0 : -1;
            } else {
                if (w == 0) err = BASS_ERROR_TIMEOUT;
                r = -1;
            }
        }
        if (r == 0) {
            int one = 1;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            setLiveness(s);
            fd = s;
        } else {
            ::close(s);
        }
    }
    ::freeaddrinfo(res);
    if (fd >= 0) err = BASS_OK;
    return fd;
}

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

void setLookupForTests(LookupFn fn) { lookupFn.store(fn ? fn : &::getaddrinfo); }

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

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace bassx::net

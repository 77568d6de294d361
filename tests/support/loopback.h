// Loopback sockets for the engine's suites, on POSIX sockets or Winsock: the few calls their
// canned servers make, so that the suites read the same on both. Sockets are ints, as the
// engine holds them.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>  // addrinfo, EAI_*
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstddef>

namespace loopback {

#if defined(_WIN32)
inline void startup() {
    static const bool done = [] {
        WSADATA d;
        return WSAStartup(MAKEWORD(2, 2), &d) == 0;
    }();
    (void)done;
}
inline int tcpSocket() {
    startup();
    return static_cast<int>(::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
}
inline void close(int fd) { ::closesocket(static_cast<SOCKET>(fd)); }
inline void setNonBlocking(int fd) {
    u_long on = 1;
    ::ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &on);
}
inline int pollIn(int fd, int ms) {
    WSAPOLLFD p{static_cast<SOCKET>(fd), POLLIN, 0};
    return ::WSAPoll(&p, 1, ms);
}
inline int pollOut(int fd, int ms) {
    WSAPOLLFD p{static_cast<SOCKET>(fd), POLLOUT, 0};
    return ::WSAPoll(&p, 1, ms);
}
constexpr int kNoSignal = 0;  // a write to a closed peer is only an error code here
constexpr int kShutBoth = SD_BOTH, kShutWrite = SD_SEND;
using Length = int;
#else
inline int tcpSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
inline void close(int fd) { ::close(fd); }
inline void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }
inline int pollIn(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms);
}
inline int pollOut(int fd, int ms) {
    pollfd p{fd, POLLOUT, 0};
    return ::poll(&p, 1, ms);
}
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kShutBoth = SHUT_RDWR, kShutWrite = SHUT_WR;
using Length = size_t;
#endif

inline long send(int fd, const void* data, size_t len) {
    return ::send(fd, static_cast<const char*>(data), static_cast<Length>(len), kNoSignal);
}
// Blocking: bytes, 0 when the peer closed, -1 on error.
inline long recv(int fd, void* buf, size_t len) { return ::recv(fd, static_cast<char*>(buf), static_cast<Length>(len), 0); }
// Only what is there already: bytes, else 0 or less at once.
inline long recvNow(int fd, void* buf, size_t len) { return pollIn(fd, 0) > 0 ? recv(fd, buf, len) : 0; }
inline void shutdown(int fd) { ::shutdown(fd, kShutBoth); }
inline void shutdownWrite(int fd) { ::shutdown(fd, kShutWrite); }
inline int accept(int listener) { return static_cast<int>(::accept(listener, nullptr, nullptr)); }
inline bool setSendBuffer(int fd, int bytes) {
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

// Bound to 127.0.0.1 on a port of the system's choosing, listening when backlog > 0; -1 on
// failure. port is set either way.
inline int bound(int& port, int backlog) {
    int s = tcpSocket();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || (backlog > 0 && ::listen(s, backlog) != 0)) {
        if (s >= 0) close(s);
        return -1;
    }
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return s;
}
inline int listener(int& port, int backlog = 4) { return bound(port, backlog); }

// A loopback port that nothing listens on (bound a moment ago, then let go).
inline int freePort() {
    int port = 0;
    int s = bound(port, 0);
    if (s >= 0) close(s);
    return port;
}

inline sockaddr_in at(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<unsigned short>(port));
    return a;
}

// A non-blocking socket with a connect to that loopback port begun; -1 when it failed at once.
inline int startConnect(int port) {
    int s = tcpSocket();
    if (s < 0) return -1;
    setNonBlocking(s);
    sockaddr_in a = at(port);
    ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return s;
}

// The port at the other end of a connected socket, 0 when none.
inline int peerPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

inline bool setReceiveBuffer(int fd, int bytes) {
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

// Two connected stream sockets; with smallBuffers, fds[0] sends through little kernel room.
// A local socket pair on POSIX, where the sender's buffer is all there is; Windows has none,
// so a loopback TCP connection there, whose receiver's window is made small too (set before
// the connection, else it grows as the peer reads).
inline bool pair(int fds[2], bool nonBlocking, int smallBuffers = 0) {
#if defined(_WIN32)
    int ls = tcpSocket();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (smallBuffers) setReceiveBuffer(ls, smallBuffers);  // the accepted socket inherits it
    if (::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(ls, 1) != 0) {
        close(ls);
        return false;
    }
    ::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len);
    fds[0] = tcpSocket();
    if (smallBuffers) setSendBuffer(fds[0], smallBuffers);
    const bool ok = ::connect(fds[0], reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    fds[1] = ok ? accept(ls) : -1;
    close(ls);
    if (!ok || fds[1] < 0) {
        close(fds[0]);
        return false;
    }
#else
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    if (smallBuffers && !setSendBuffer(fds[0], smallBuffers)) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
#endif
    if (nonBlocking) setNonBlocking(fds[0]), setNonBlocking(fds[1]);
    return true;
}

// A listening socket whose blocked accept can be ended from another thread: a shutdown does
// it on POSIX, only closing the socket does it on Windows.
class Listener {
public:
    explicit Listener(int backlog = 4) : fd_(listener(port_, backlog)) {}
    ~Listener() {
        stop();
#if !defined(_WIN32)
        if (fd_ >= 0) close(fd_);
#endif
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    int fd() const { return fd_; }
    int port() const { return port_; }
    int accept() { return loopback::accept(fd_); }
    void stop() {
        if (fd_ < 0 || stopped_.exchange(true)) return;
#if defined(_WIN32)
        close(fd_);
#else
        shutdown(fd_);
#endif
    }

private:
    int port_ = 0;
    int fd_;
    std::atomic<bool> stopped_{false};
};

}  // namespace loopback

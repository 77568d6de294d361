// The cast's and the title updates' sockets on Winsock 2: the same deadlines and results as
// the POSIX backend.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <algorithm>

#include "bass.h"
#include "net.h"
#include "net_os.h"

#ifndef TCP_MAXRT
#define TCP_MAXRT 5  // ws2ipdef.h: retransmission time-out, seconds
#endif

namespace bassx::net {
namespace {

SOCKET sock(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

bool wouldBlock() {
    int e = WSAGetLastError();
    return e == WSAEWOULDBLOCK || e == WSAEINTR || e == WSAEINPROGRESS;
}

long sendNow(int fd, const void* data, size_t len) {
    int n = ::send(sock(fd), static_cast<const char*>(data), static_cast<int>(std::min<size_t>(len, 1 << 30)), 0);
    if (n >= 0) return n;
    return wouldBlock() ? 0 : -1;
}

long recvNow(int fd, void* buf, size_t len) {
    int n = ::recv(sock(fd), static_cast<char*>(buf), static_cast<int>(std::min<size_t>(len, 1 << 30)), 0);
    if (n >= 0) return n;
    return wouldBlock() ? -2 : -1;
}

int waitReady(int fd, bool forWrite, int ms) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(sock(fd), &ready);
    FD_SET(sock(fd), &failed);  // a refused connect shows here, not as writable
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    int r = ::select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &tv);
    if (r < 0) return -1;
    if (FD_ISSET(sock(fd), &failed)) return forWrite ? 1 : -1;  // connect: SO_ERROR tells
    return r > 0 ? 1 : 0;
}

// Selects in short slices so a cancel flag is seen quickly. 1 ready, 0 timeout/cancel, -1 error.
int waitSlices(int fd, bool forWrite, Deadline deadline, const std::atomic<bool>* cancel) {
    for (;;) {
        if (cancel && cancel->load()) return 0;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return 0;
        int r = waitReady(fd, forWrite, static_cast<int>(std::min<long long>(left.count(), 100)));
        if (r != 0) return r;
    }
}

}  // namespace

namespace os {

// Winsock is started once for the life of the process (WSAStartup counts; never undone, as
// threads of the library may still be closing sockets while the process ends).
bool socketsReady() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

int systemLookup(const char* host, const char* service, const addrinfo* hints, addrinfo** res) {
    return ::getaddrinfo(host, service, hints, res);
}

void systemRelease(addrinfo* res) { ::freeaddrinfo(res); }

int startConnect(const addrinfo& ai, bool& pending) {
    // Not inheritable: an encoder started later must not hold the connection open.
    SOCKET s = WSASocketW(ai.ai_family, ai.ai_socktype, ai.ai_protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return -1;
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    int r = ::connect(s, ai.ai_addr, static_cast<int>(ai.ai_addrlen));
    pending = r != 0;
    if (r != 0 && !wouldBlock()) {
        ::closesocket(s);
        return -1;
    }
    return static_cast<int>(s);
}

int waitConnects(const int* fds, size_t n, int ms) {
    // A select set holds FD_SETSIZE sockets: any beyond are watched once earlier ones end.
    n = std::min<size_t>(n, FD_SETSIZE);
    fd_set done, failed;
    FD_ZERO(&done);
    FD_ZERO(&failed);
    for (size_t i = 0; i < n; ++i) {
        FD_SET(sock(fds[i]), &done);
        FD_SET(sock(fds[i]), &failed);  // a refused connect shows here, not as writable
    }
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    if (::select(0, nullptr, &done, &failed, &tv) <= 0) return -1;
    for (size_t i = 0; i < n; ++i)
        if (FD_ISSET(sock(fds[i]), &done) || FD_ISSET(sock(fds[i]), &failed)) return static_cast<int>(i);
    return -1;
}

bool finishConnect(int fd) {
    int soErr = 0;
    int l = sizeof soErr;
    if (::getsockopt(sock(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soErr), &l) != 0 || soErr != 0)
        return false;
    BOOL one = TRUE;
    ::setsockopt(sock(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    setLiveness(fd);
    return true;
}

}  // namespace os

void setLiveness(int fd, int livenessMs) {
    // Unacknowledged data gives up after the limit (TCP_MAXRT, whole seconds); a silent peer
    // while idle is probed from half the limit on, once a second.
    DWORD seconds = static_cast<DWORD>(std::max(1, livenessMs / 1000));
    ::setsockopt(sock(fd), IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&seconds), sizeof seconds);
    tcp_keepalive ka{1, static_cast<ULONG>(std::max(1000, livenessMs / 2)), 1000};
    DWORD got = 0;
    WSAIoctl(sock(fd), SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &got, nullptr, nullptr);
}

// Winsock does not tell how much of the send buffer is still unacknowledged.
size_t unsentBytes(int) { return 0; }

bool sendAll(int fd, const void* data, size_t len, Deadline deadline, const std::atomic<bool>* cancel) {
    auto* p = static_cast<const char*>(data);
    while (len > 0) {
        long n = sendNow(fd, p, len);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 || waitSlices(fd, true, deadline, cancel) != 1) return false;
    }
    return true;
}

long recvSome(int fd, void* buf, size_t len, Deadline deadline, const std::atomic<bool>* cancel) {
    for (;;) {
        long n = recvNow(fd, buf, len);
        if (n != -2) return n;
        int w = waitSlices(fd, false, deadline, cancel);
        if (w == 0) return -2;
        if (w < 0) return -1;
    }
}

int pollOnce(int fd, short events, int ms) { return waitReady(fd, (events & POLLOUT) != 0, ms); }

int waitFor(int fd, short events, Deadline deadline, const std::atomic<bool>* cancel) {
    return waitSlices(fd, (events & POLLOUT) != 0, deadline, cancel);
}

void closeFd(int& fd) {
    if (fd >= 0) ::closesocket(sock(fd));
    fd = -1;
}

}  // namespace bassx::net

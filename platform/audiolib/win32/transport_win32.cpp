// The cast's plain connection on Winsock (TLS runs over it: tls_win32.cpp).
#include <winsock2.h>

#include <algorithm>

#include "transport.h"

namespace bassx::net {
namespace {

class WinsockPlain final : public PlainSocket {
    SOCKET sock() const { return static_cast<SOCKET>(static_cast<unsigned>(fd_)); }

public:
    using PlainSocket::PlainSocket;
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
};

}  // namespace

std::unique_ptr<Transport> plain(int fd) { return std::make_unique<WinsockPlain>(fd); }

}  // namespace bassx::net

// The calls each platform's socket backend (net.cpp on POSIX, net_win32.cpp on Windows)
// supplies to the shared name lookup and connect (net_connect.cpp).
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#endif

#include <cstddef>

#include "net.h"

namespace bassx::net::os {

// False when the system's sockets cannot be used at all.
bool socketsReady();

// The system's getaddrinfo and freeaddrinfo as plain C functions (on Windows they are WINAPI).
int systemLookup(const char* host, const char* service, const addrinfo* hints, addrinfo** res);
void systemRelease(addrinfo* res);

// A new non-blocking socket, not inherited by children, with a connect to that address begun;
// -1 when it failed at once. pending tells whether the connect is still under way.
int startConnect(const addrinfo& ai, bool& pending);

// Waits up to ms for one of the connects under way on fds[0..n) to end, in success or failure;
// its index, or -1 when none did (or the wait itself failed).
int waitConnects(const int* fds, size_t n, int ms);

// After its connect ended: true when the socket is connected, which then gets no delay and
// liveness; false when the connect failed.
bool finishConnect(int fd);

}  // namespace bassx::net::os

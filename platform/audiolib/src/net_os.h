// The calls each platform's socket backend (net.cpp on POSIX, net_win32.cpp on Windows)
// supplies to the shared name lookup and connect (net_connect.cpp).
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#endif

#include <atomic>

#include "net.h"

namespace bassx::net::os {

// False when the system's sockets cannot be used at all.
bool socketsReady();

// The system's getaddrinfo as a plain C function (on Windows it is WINAPI).
int systemLookup(const char* host, const char* service, const addrinfo* hints, addrinfo** res);

// A connected TCP socket to that address (non-blocking, not inherited by children, no delay,
// liveness set up) or -1; err becomes BASS_ERROR_TIMEOUT when the deadline or a cancel ended
// the wait, and is left alone otherwise.
int connectOne(const addrinfo& ai, Deadline deadline, int& err, const std::atomic<bool>* cancel);

}  // namespace bassx::net::os

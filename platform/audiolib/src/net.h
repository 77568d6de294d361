// Small blocking-with-deadline socket helpers for the cast and the title updates.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

namespace bassx::net {

using Deadline = std::chrono::steady_clock::time_point;

inline Deadline after(int ms) { return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); }

// "host:port" -> host and port (1..65535). False when malformed.
bool splitAddress(const std::string& address, std::string& host, int& port);

// A connected TCP socket (non-blocking, close-on-exec) or -1 with a BASS error code in err.
int connectTo(const std::string& host, int port, Deadline deadline, int& err, const std::atomic<bool>* cancel = nullptr);

// Sends everything before the deadline; false on error, timeout or cancel.
bool sendAll(int fd, const void* data, size_t len, Deadline deadline, const std::atomic<bool>* cancel = nullptr);

// Waits for readable data until the deadline. Returns bytes read, 0 when the peer closed,
// -1 on error, -2 on timeout or cancel.
long recvSome(int fd, void* buf, size_t len, Deadline deadline, const std::atomic<bool>* cancel = nullptr);

// Single attempts for a loop that keeps its own time. sendNow: bytes sent, 0 when the socket
// takes nothing now, -1 on error. recvNow: bytes read, 0 when the peer closed, -2 when nothing
// is there now, -1 on error. waitReady: up to ms for room to write (or data to read); 1 ready,
// 0 not yet, -1 on error or hang-up.
long sendNow(int fd, const void* data, size_t len);
long recvNow(int fd, void* buf, size_t len);
int waitReady(int fd, bool forWrite, int ms);

void closeFd(int& fd);

}  // namespace bassx::net

// Small blocking-with-deadline socket helpers for the cast and the title updates.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>  // POLLIN, POLLOUT
#else
#include <poll.h>
#endif

struct addrinfo;

namespace bassx::net {

using Deadline = std::chrono::steady_clock::time_point;

inline Deadline after(int ms) { return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); }

// A connection that makes no progress this long is dead: unacknowledged data (TCP_USER_TIMEOUT),
// a silent peer while idle (keep-alive), or a peer that stops taking data (SendWatch).
constexpr int kLivenessMs = 10000;

// "host:port" -> host and port (1..65535). False when malformed.
bool splitAddress(const std::string& address, std::string& host, int& port);

// A connected TCP socket (non-blocking, close-on-exec, liveness set up) or -1 with a BASS
// error code in err: BASS_ERROR_NONET when the name has no address, BASS_ERROR_TIMEOUT when the
// deadline or a cancel ended it, BASS_ERROR_FILEOPEN when every address refused, BASS_ERROR_MEM
// when the name lookup's thread failed. The addresses
// are tried in connectOrder, each next one 250 ms after the previous (at once when that one
// failed), all within the deadline; the first to connect wins, the others are closed. A
// cancel ends the wait at once, also during the name lookup (which goes on by itself in the
// background and is then dropped).
int connectTo(const std::string& host, int port, Deadline deadline, int& err, const std::atomic<bool>* cancel = nullptr);

// The order in which connectTo tries a name's addresses (after RFC 8305, section 4): the
// resolver's first answer, then the families taking turns, each in the resolver's order, so a
// family that does not work here (IPv6 behind a broken route) costs one stagger, not all of them.
std::vector<const addrinfo*> connectOrder(const addrinfo* list);

// TCP_USER_TIMEOUT and keep-alive so that a vanished peer fails the socket within livenessMs.
// Harmless on sockets that are not TCP.
void setLiveness(int fd, int livenessMs = kLivenessMs);

// Bytes handed to the kernel that the peer has not yet acknowledged (or read, for a local
// socket); 0 when unknown.
size_t unsentBytes(int fd);

// Progress of a sender that has data waiting: dead once nothing was taken for livenessMs.
class SendWatch {
public:
    using Clock = std::chrono::steady_clock;
    explicit SendWatch(int livenessMs = kLivenessMs) : limit_(std::chrono::milliseconds(livenessMs)) {}
    void idle(Clock::time_point now) { last_ = now; }       // nothing waits to be sent
    void progressed(Clock::time_point now) { last_ = now; }  // some bytes were taken
    Clock::duration stalledFor(Clock::time_point now) const { return now - last_; }
    bool dead(Clock::time_point now) const { return stalledFor(now) >= limit_; }

private:
    Clock::duration limit_;
    Clock::time_point last_ = Clock::now();
};

// Test seam: the name lookup function (getaddrinfo by default), to stand in for a resolver
// that never answers or one with addresses of the test's choosing, and the function that frees
// what it returns (freeaddrinfo by default). Set it while no connect starts.
using LookupFn = int (*)(const char* host, const char* service, const addrinfo* hints, addrinfo** res);
using ReleaseFn = void (*)(addrinfo* res);
void setLookupForTests(LookupFn fn, ReleaseFn release = nullptr);

// Sends everything before the deadline; false on error, timeout or cancel.
bool sendAll(int fd, const void* data, size_t len, Deadline deadline, const std::atomic<bool>* cancel = nullptr);

// Waits for readable data until the deadline. Returns bytes read, 0 when the peer closed,
// -1 on error, -2 on timeout or cancel.
long recvSome(int fd, void* buf, size_t len, Deadline deadline, const std::atomic<bool>* cancel = nullptr);

// One wait of up to ms for the events (POLLIN, POLLOUT) on fd: 1 ready, 0 not yet, -1 an error
// or hang-up on the socket.
int pollOnce(int fd, short events, int ms);

// Waits for the events on fd in short slices, so a cancel flag is seen quickly.
// 1 ready, 0 timeout or cancel, -1 error.
int waitFor(int fd, short events, Deadline deadline, const std::atomic<bool>* cancel = nullptr);

void closeFd(int& fd);

}  // namespace bassx::net

// Our SHOUTcast v1 (ICY) source client: the handshake as small pure steps, so it can be
// checked against canned server replies, and the link that carries the encoder's output.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bass.h"
#include "net.h"
#include "transport.h"

namespace bassx::icy {

constexpr int kHandshakeMs = 10000;  // the whole handshake
constexpr int kDeniedWatchMs = 400;  // after the headers: a 403 or a close means refused
constexpr int kStallMs = 5000;       // sending stalled this long gives a notice

struct CastParams {
    std::string password, content, name, url, genre, desc, headers;
    DWORD bitrate = 0;
    bool pub = false;
};

// The header block sent after the login, ending with the blank line. The name's first line
// is the station name; each further "icy-...: value" line of it is a header line of its own.
// Extra `headers` lines of the form "Name: value" are passed on. Nothing else can add a line.
std::string buildHeaders(const CastParams& p);

enum class Reply { NeedMore, Ok, Denied };
// The server's answer to the password, from the bytes received so far.
Reply loginReply(const std::string& received);
// What arrived after the headers: an HTTP error status means the source was refused.
bool refusedAfterHeaders(const std::string& received);

// Runs the handshake on a connected socket. BASS error code, 0 when the server took the source.
int handshake(int fd, const CastParams& p, net::Deadline deadline, int watchMs = kDeniedWatchMs);

// Carries encoder output to the server on a thread of its own; a bounded queue, so the
// encoder's reader never waits on the network for long.
class Link {
public:
    using Notice = std::function<void(DWORD status)>;
    Link(std::unique_ptr<net::Transport> conn, Notice notice, size_t maxQueued = 2u << 20, int stallMs = kStallMs);
    Link(int fd, Notice notice, size_t maxQueued = 2u << 20, int stallMs = kStallMs)
        : Link(net::plain(fd), std::move(notice), maxQueued, stallMs) {}
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    void push(const void* data, size_t len);
    // Ends the link without a notice.
    void stop();
    uint64_t dropped() const { return dropped_.load(); }
    bool dead() const { return dead_.load(); }

private:
    void run();
    std::unique_ptr<net::Transport> conn_;
    Notice notice_;
    size_t max_;
    int stallMs_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::vector<uint8_t>> queue_;
    size_t queued_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> dead_{false};
    std::atomic<uint64_t> dropped_{0};
    std::thread thread_;
};

}  // namespace bassx::icy

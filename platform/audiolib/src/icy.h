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
constexpr int kQueueMs = 4000;       // more than this much of the stream waiting: the link is dead

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
// What arrived after the headers, as a BASS error code: BASS_ERROR_CAST_INUSE for a 403 (the
// mount is taken), BASS_ERROR_CAST_DENIED for another HTTP error status or a password refusal,
// 0 when nothing refuses the source.
int refusalAfterHeaders(const std::string& received);

// Runs the handshake on a connected socket. BASS error code, 0 when the server took the source.
// A cancel ends it within a fraction of a second (BASS_ERROR_TIMEOUT).
int handshake(int fd, const CastParams& p, net::Deadline deadline, int watchMs = kDeniedWatchMs,
              const std::atomic<bool>* cancel = nullptr);

// How much a link may hold back, in time at the stream's rate.
struct QueueLimit {
    DWORD kbps = 0;                 // declared bitrate; 0: measured from what is pushed
    int queueMs = kQueueMs;         // what waits (queued and unacknowledged) beyond this: dead
    size_t maxBytes = 2u << 20;     // never more than this, whatever the rate
    int stallMs = kStallMs;         // nothing taken this long: a notice, the link lives on
    int livenessMs = net::kLivenessMs;  // nothing taken this long: dead
};

// Carries encoder output to the server on a thread of its own. Nothing is ever dropped from the
// middle of the stream: a server that cannot keep up (more than the limit waiting, or nothing
// taken for the liveness time) is a dead connection, reported once, and the server has only
// ever received a whole prefix of the stream.
class Link {
public:
    using Notice = std::function<void(DWORD status)>;
    // `head` (what the encoder wrote before the link existed) goes first, outside the limit.
    Link(std::unique_ptr<net::Transport> conn, Notice notice, QueueLimit limit = {}, std::vector<uint8_t> head = {});
    Link(int fd, Notice notice, QueueLimit limit = {}, std::vector<uint8_t> head = {})
        : Link(net::plain(fd), std::move(notice), limit, std::move(head)) {}
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    void push(const void* data, size_t len);
    // Ends the link without a notice. cancel() only asks and returns at once; stop() waits.
    void cancel();
    void stop();
    bool dead() const { return dead_.load(); }
    // Bytes the server was sent so far; outlives the link for whoever holds it.
    std::shared_ptr<const std::atomic<uint64_t>> sentCounter() const { return sentTotal_; }

private:
    void run();
    void fail();
    size_t limitLocked(std::chrono::steady_clock::time_point now) const;
    std::unique_ptr<net::Transport> conn_;
    Notice notice_;
    QueueLimit limit_;
    std::vector<uint8_t> head_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::vector<uint8_t>> queue_;
    size_t queued_ = 0;
    uint64_t pushed_ = 0;  // since the first push, for the measured rate
    std::chrono::steady_clock::time_point firstPush_{};
    std::atomic<size_t> inHand_{0};    // taken from the queue by the sender, not yet sent
    std::atomic<size_t> inKernel_{0};  // sent, not yet acknowledged
    std::atomic<bool> stop_{false};
    std::atomic<bool> dead_{false};
    std::shared_ptr<std::atomic<uint64_t>> sentTotal_ = std::make_shared<std::atomic<uint64_t>>(0);
    std::thread thread_;
};

}  // namespace bassx::icy

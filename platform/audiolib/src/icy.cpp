#include "icy.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include <strings.h>

#include "header_text.h"
#include "threads.h"

namespace bassx::icy {
using hdr::headerLine;
using hdr::oneLine;
using hdr::splitLines;
using hdr::startsWithNoCase;

std::string buildHeaders(const CastParams& p) {
    auto nameLines = splitLines(p.name);
    std::string h;
    h += "icy-name:" + (nameLines.empty() ? std::string() : nameLines[0]) + "\r\n";
    h += "icy-genre:" + oneLine(p.genre) + "\r\n";
    h += "icy-url:" + oneLine(p.url) + "\r\n";
    if (!p.desc.empty()) h += "icy-description:" + oneLine(p.desc) + "\r\n";
    h += std::string("icy-pub:") + (p.pub ? "1" : "0") + "\r\n";
    if (p.bitrate) h += "icy-br:" + std::to_string(p.bitrate) + "\r\n";
    if (!p.content.empty()) h += "content-type:" + oneLine(p.content) + "\r\n";
    for (size_t i = 1; i < nameLines.size(); ++i)
        if (startsWithNoCase(nameLines[i], "icy-") && headerLine(nameLines[i])) h += nameLines[i] + "\r\n";
    for (auto& line : splitLines(p.headers))
        if (headerLine(line)) h += line + "\r\n";
    h += "\r\n";
    return h;
}

Reply loginReply(const std::string& received) {
    auto eol = received.find('\n');
    if (eol == std::string::npos) {
        // A refusal may come without a line end; an "OK" never needs more than its line.
        return received.size() > 512 ? Reply::Denied : Reply::NeedMore;
    }
    return received.compare(0, 2, "OK") == 0 ? Reply::Ok : Reply::Denied;
}

int refusalAfterHeaders(const std::string& received) {
    for (auto& line : splitLines(received)) {
        if (startsWithNoCase(line, "HTTP/")) {
            auto sp = line.find(' ');
            // The mount is taken: a 403. Anything else from 400 up refuses the source as such.
            if (line.compare(sp == std::string::npos ? line.size() : sp + 1, 3, "403") == 0) return BASS_ERROR_CAST_INUSE;
            if (sp != std::string::npos && sp + 1 < line.size() && line[sp + 1] >= '4') return BASS_ERROR_CAST_DENIED;
        }
        if (startsWithNoCase(line, "invalid password")) return BASS_ERROR_CAST_DENIED;
    }
    return BASS_OK;
}

int handshake(int fd, const CastParams& p, net::Deadline deadline, int watchMs, const std::atomic<bool>* cancel) {
    auto sendFailed = [&] {
        bool late = std::chrono::steady_clock::now() >= deadline || (cancel && cancel->load());
        return late ? BASS_ERROR_TIMEOUT : BASS_ERROR_CAST_DENIED;
    };
    std::string login = oneLine(p.password) + "\r\n";
    if (!net::sendAll(fd, login.data(), login.size(), deadline, cancel)) return sendFailed();
    std::string got;
    char buf[1024];
    Reply r = Reply::NeedMore;
    while (r == Reply::NeedMore) {
        long n = net::recvSome(fd, buf, sizeof buf, deadline, cancel);
        if (n == -2) return BASS_ERROR_TIMEOUT;
        if (n <= 0) return BASS_ERROR_CAST_DENIED;  // a wrong password closes the connection
        got.append(buf, static_cast<size_t>(n));
        r = loginReply(got);
    }
    if (r == Reply::Denied) return BASS_ERROR_CAST_DENIED;
    std::string rest = got.substr(got.find('\n') + 1);
    std::string headers = buildHeaders(p);
    if (!net::sendAll(fd, headers.data(), headers.size(), deadline, cancel)) return sendFailed();
    // Silence for a short while means the source was taken; a mount in use gets a 403.
    auto watchEnd = std::min(deadline, net::after(watchMs));
    for (;;) {
        if (int refusal = refusalAfterHeaders(rest)) return refusal;
        long n = net::recvSome(fd, buf, sizeof buf, watchEnd, cancel);
        if (n == -2) return cancel && cancel->load() ? BASS_ERROR_TIMEOUT : BASS_OK;
        if (n <= 0) return BASS_ERROR_CAST_DENIED;
        rest.append(buf, static_cast<size_t>(n));
    }
}

namespace {
constexpr size_t kMinLimitBytes = 16 * 1024;  // a few seconds at the lowest bitrates
constexpr auto kRateWarmUp = std::chrono::seconds(2);
}  // namespace

Link::Link(std::unique_ptr<net::Transport> conn, Notice notice, QueueLimit limit, std::vector<uint8_t> head)
    : conn_(std::move(conn)), notice_(std::move(notice)), limit_(limit), head_(std::move(head)) {
    thread_ = startThread([this] { run(); }, [this] { fail(); });  // an error ends the link as dead
}

Link::~Link() { stop(); }

size_t Link::limitLocked(std::chrono::steady_clock::time_point now) const {
    double rate = limit_.kbps * 1000.0 / 8;
    if (pushed_ > 0 && now - firstPush_ >= kRateWarmUp)
        rate = std::max(rate, pushed_ / std::chrono::duration<double>(now - firstPush_).count());
    if (rate <= 0) return limit_.maxBytes;
    auto bytes = static_cast<size_t>(rate * limit_.queueMs / 1000);
    return std::min(limit_.maxBytes, std::max(bytes, kMinLimitBytes));
}

void Link::push(const void* data, size_t len) {
    if (dead_.load() || stop_.load() || len == 0) return;
    bool over;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto now = std::chrono::steady_clock::now();
        if (pushed_ == 0) firstPush_ = now;
        pushed_ += len;
        size_t waiting = queued_ + inHand_.load() + inKernel_.load() + len;
        over = waiting > limitLocked(now);
        if (!over) {
            auto* p = static_cast<const uint8_t*>(data);
            queue_.emplace_back(p, p + len);
            queued_ += len;
        }
    }
    // A server this far behind is not coming back in time; cutting the stream here is what
    // keeps every byte it got a whole prefix of the stream.
    if (over) fail();
    cv_.notify_one();
}

void Link::fail() {
    if (!dead_.exchange(true) && !stop_.load()) notice_(BASS_ENCODE_NOTIFY_CAST);
    cv_.notify_all();
}

void Link::cancel() {
    stop_.store(true);
    cv_.notify_all();
}

void Link::stop() {
    cancel();
    if (thread_.joinable()) thread_.join();
    conn_->close();
}

void Link::run() {
    using Clock = std::chrono::steady_clock;
    net::SendWatch watch(limit_.livenessMs);
    bool stallReported = false;
    std::vector<uint8_t> chunk = std::move(head_);
    size_t sent = 0;
    bool inHead = !chunk.empty();  // the head is not held against the limit
    auto ending = [&] { return stop_.load() || dead_.load(); };
    while (!ending()) {
        if (sent == chunk.size()) {
            chunk.clear();
            sent = 0;
            inHead = false;
            inHand_.store(0);
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait_for(lock, std::chrono::milliseconds(100), [&] { return !queue_.empty() || ending(); });
            if (ending()) break;
            if (queue_.empty()) {
                lock.unlock();
                inKernel_.store(net::unsentBytes(conn_->fd()));
                // Idle: a server that went away shows as a readable end of stream.
                if (net::pollOnce(conn_->fd(), POLLIN, 0) != 0) {
                    char scratch[512];
                    if (conn_->recv(scratch, sizeof scratch) < 0) return fail();
                }
                watch.idle(Clock::now());
                continue;
            }
            chunk = std::move(queue_.front());
            queue_.pop_front();
            queued_ -= chunk.size();
            inHand_.store(chunk.size());
        }
        long n = conn_->send(chunk.data() + sent, chunk.size() - sent);
        auto now = Clock::now();
        if (n > 0) {
            sent += static_cast<size_t>(n);
            sentTotal_->fetch_add(static_cast<uint64_t>(n));
            if (!inHead) inHand_.store(chunk.size() - sent);
            watch.progressed(now);
            stallReported = false;
            continue;
        }
        if (n < 0) return fail();
        inKernel_.store(net::unsentBytes(conn_->fd()));
        if (watch.dead(now)) return fail();
        if (!stallReported && watch.stalledFor(now) > std::chrono::milliseconds(limit_.stallMs)) {
            stallReported = true;
            if (!stop_.load()) notice_(BASS_ENCODE_NOTIFY_CAST_TIMEOUT);
        }
        if (net::pollOnce(conn_->fd(), conn_->waitEvents(), 100) < 0) return fail();
    }
}

}  // namespace bassx::icy

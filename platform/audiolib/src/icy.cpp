#include "icy.h"

#include <cctype>
#include <cerrno>
#include <cstring>

#include <strings.h>

#include "threads.h"

namespace bassx::icy {
namespace {

std::string oneLine(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

std::vector<std::string> splitLines(const std::string& s) {
    std::vector<std::string> out;
    size_t from = 0;
    while (from <= s.size()) {
        size_t to = s.find_first_of("\r\n", from);
        if (to == std::string::npos) to = s.size();
        out.push_back(s.substr(from, to - from));
        if (to < s.size() && s[to] == '\r' && to + 1 < s.size() && s[to + 1] == '\n') ++to;
        from = to + 1;
    }
    return out;
}

bool startsWithNoCase(const std::string& s, const char* prefix) {
    size_t n = std::strlen(prefix);
    return s.size() >= n && strncasecmp(s.c_str(), prefix, n) == 0;
}

// "Name: value" with a token name.
bool headerLine(const std::string& line) {
    auto colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    for (size_t i = 0; i < colon; ++i) {
        char c = line[i];
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) return false;
    }
    return true;
}

}  // namespace

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

bool refusedAfterHeaders(const std::string& received) {
    for (auto& line : splitLines(received)) {
        if (startsWithNoCase(line, "HTTP/")) {
            auto sp = line.find(' ');
            if (sp != std::string::npos && sp + 1 < line.size() && line[sp + 1] >= '4') return true;
        }
        if (startsWithNoCase(line, "invalid password")) return true;
    }
    return false;
}

int handshake(int fd, const CastParams& p, net::Deadline deadline, int watchMs) {
    std::string login = oneLine(p.password) + "\r\n";
    if (!net::sendAll(fd, login.data(), login.size(), deadline))
        return std::chrono::steady_clock::now() >= deadline ? BASS_ERROR_TIMEOUT : BASS_ERROR_CAST_DENIED;
    std::string got;
    char buf[1024];
    Reply r = Reply::NeedMore;
    while (r == Reply::NeedMore) {
        long n = net::recvSome(fd, buf, sizeof buf, deadline);
        if (n == -2) return BASS_ERROR_TIMEOUT;
        if (n <= 0) return BASS_ERROR_CAST_DENIED;  // a wrong password closes the connection
        got.append(buf, static_cast<size_t>(n));
        r = loginReply(got);
    }
    if (r == Reply::Denied) return BASS_ERROR_CAST_DENIED;
    std::string rest = got.substr(got.find('\n') + 1);
    std::string headers = buildHeaders(p);
    if (!net::sendAll(fd, headers.data(), headers.size(), deadline))
        return std::chrono::steady_clock::now() >= deadline ? BASS_ERROR_TIMEOUT : BASS_ERROR_CAST_DENIED;
    // Silence for a short while means the source was taken; a mount in use gets a 403.
    auto watchEnd = std::min(deadline, net::after(watchMs));
    for (;;) {
        if (refusedAfterHeaders(rest)) return BASS_ERROR_CAST_DENIED;
        long n = net::recvSome(fd, buf, sizeof buf, watchEnd);
        if (n == -2) return BASS_OK;
        if (n <= 0) return BASS_ERROR_CAST_DENIED;
        rest.append(buf, static_cast<size_t>(n));
    }
}

Link::Link(int fd, Notice notice, size_t maxQueued, int stallMs)
    : fd_(fd), notice_(std::move(notice)), max_(maxQueued), stallMs_(stallMs) {
    thread_ = startThread([this] { run(); });
}

Link::~Link() { stop(); }

void Link::push(const void* data, size_t len) {
    if (dead_.load() || len == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (queued_ + len > max_) {
        dropped_.fetch_add(len);
        return;
    }
    auto* p = static_cast<const uint8_t*>(data);
    queue_.emplace_back(p, p + len);
    queued_ += len;
    cv_.notify_one();
}

void Link::stop() {
    stop_.store(true);
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    net::closeFd(fd_);
}

void Link::run() {
    auto lastProgress = std::chrono::steady_clock::now();
    bool stallReported = false;
    auto die = [&] {
        dead_.store(true);
        if (!stop_.load()) notice_(BASS_ENCODE_NOTIFY_CAST);
    };
    std::vector<uint8_t> chunk;
    size_t sent = 0;
    while (!stop_.load()) {
        if (sent == chunk.size()) {
            chunk.clear();
            sent = 0;
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait_for(lock, std::chrono::milliseconds(100), [&] { return !queue_.empty() || stop_.load(); });
            if (stop_.load()) break;
            if (queue_.empty()) {
                lock.unlock();
                // Idle: a server that went away shows as a readable end of stream.
                char scratch[512];
                long n = net::recvNow(fd_, scratch, sizeof scratch);
                if (n == 0 || n == -1) return die();
                lastProgress = std::chrono::steady_clock::now();
                continue;
            }
            chunk = std::move(queue_.front());
            queue_.pop_front();
            queued_ -= chunk.size();
        }
        long n = net::sendNow(fd_, chunk.data() + sent, chunk.size() - sent);
        auto now = std::chrono::steady_clock::now();
        if (n > 0) {
            sent += static_cast<size_t>(n);
            lastProgress = now;
            stallReported = false;
            continue;
        }
        if (n < 0) return die();
        if (!stallReported && now - lastProgress > std::chrono::milliseconds(stallMs_)) {
            stallReported = true;
            if (!stop_.load()) notice_(BASS_ENCODE_NOTIFY_CAST_TIMEOUT);
        }
        if (net::waitReady(fd_, true, 100) < 0) return die();
    }
}

}  // namespace bassx::icy

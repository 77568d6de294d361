#include "title.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "fault_point.h"
#include "net.h"
#include "threads.h"
#include "transport.h"

namespace bassx::title {

std::string urlEncode(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string buildRequest(const std::string& host, int port, const std::string& pass, const std::string& song,
                         const std::string& url) {
    std::string r = "GET /admin.cgi?pass=" + urlEncode(pass) + "&mode=updinfo&song=" + urlEncode(song);
    if (!url.empty()) r += "&url=" + urlEncode(url);
    r += " HTTP/1.0\r\nHost: " + host + ":" + std::to_string(port) +
         "\r\nUser-Agent: Mozilla/4.0 (compatible; Larkspur)\r\n\r\n";
    return r;
}

Sender::Sender(std::string host, int port, bool tls, std::function<void()> onDeath)
    : host_(std::move(host)), port_(port), tls_(tls), onDeath_(std::move(onDeath)) {
    thread_ = startThread([this] { run(); }, [this] {
        std::fprintf(stderr, "libbass: title updates to %s:%d ended by an error\n", host_.c_str(), port_);
        if (onDeath_) onDeath_();
    });
}

Sender::~Sender() { stop(); }

void Sender::post(std::string request, std::function<bool()> ready) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Only the newest title matters when updates pile up behind a slow server.
    queued_ = Update{std::move(request), std::move(ready)};
    cv_.notify_one();
}

void Sender::cancel() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_.store(true);
    }
    cv_.notify_all();
}

void Sender::stop() {
    cancel();
    if (thread_.joinable()) thread_.join();
}

namespace {

// A refusal that may pass (a mount not up yet answers 400) or no answer at all; a wrong
// password stays wrong.
bool worthRetrying(int status) { return status != 200 && status != 401 && status != 403; }

}  // namespace

int Sender::sendOnce(const std::string& req) {
    auto deadline = net::after(kDeadlineMs);
    int err = 0;
    auto conn = net::open(host_, port_, tls_, deadline, err, &stop_);
    int status = 0;
    if (conn && net::sendAll(*conn, req.data(), req.size(), deadline, &stop_)) {
        std::string reply;
        char buf[512];
        long n;
        while (reply.find('\n') == std::string::npos &&
               (n = net::recvSome(*conn, buf, sizeof buf, deadline, &stop_)) > 0)
            reply.append(buf, static_cast<size_t>(n));
        auto sp = reply.find(' ');
        if (reply.compare(0, 5, "HTTP/") == 0 && sp != std::string::npos) status = std::atoi(reply.c_str() + sp + 1);
    }
    return status;
}

void Sender::run() {
    using Clock = std::chrono::steady_clock;
    std::optional<Update> current;  // the title being sent, until it is taken or given up
    int tries = 0;
    Clock::time_point nextAt{};
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            auto arrived = [&] { return stop_.load() || queued_.has_value(); };
            if (current)
                cv_.wait_until(lock, nextAt, arrived);  // a newer title wins over a wait
            else
                cv_.wait(lock, arrived);
            if (stop_.load()) return;
            if (queued_) {
                current = std::move(queued_);
                queued_.reset();
                tries = 0;
            } else if (Clock::now() < nextAt) {
                continue;
            }
        }
        if (current->ready && !current->ready()) {
            nextAt = Clock::now() + std::chrono::milliseconds(kGatePollMs);
            continue;
        }
        faults::check(faults::TitleSend);
        const int status = sendOnce(current->request);
        const bool retry = worthRetrying(status) && ++tries < kTries;
        // Never a box: a refused title is only worth a line in the host's log.
        if (status != 200 && !retry && !stop_.load())
            std::fprintf(stderr, "libbass: title update to %s:%d answered %d\n", host_.c_str(), port_, status);
        lastStatus_.store(status);
        completed_.fetch_add(1);
        if (retry)
            nextAt = Clock::now() + std::chrono::milliseconds(kRetryDelayMs);
        else
            current.reset();
    }
}

}  // namespace bassx::title

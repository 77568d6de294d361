// Title updates: GET /admin.cgi?pass=..&mode=updinfo&song=..&url=.. to the server's base
// port (an Icecast 2 mount's request comes from its protocol), sent one at a time on a worker
// thread with a deadline, again a few times when the server refuses it for now, and held back
// while the caller's gate is shut; callers never wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace bassx::title {

constexpr int kDeadlineMs = 5000;
// A refused title is sent again this often, this many times in all, unless a newer one comes.
constexpr int kRetryDelayMs = 1000;
constexpr int kTries = 6;
// A shut gate is looked at again this often.
constexpr int kGatePollMs = 200;

// Every byte but A-Z a-z 0-9 - _ . ~ as %XX; 8-bit text passes through byte for byte.
std::string urlEncode(const std::string& s);
std::string buildRequest(const std::string& host, int port, const std::string& pass, const std::string& song,
                         const std::string& url);

class Sender {
public:
    // onDeath runs on the worker when it ends by an error: titles would stop without a word.
    Sender(std::string host, int port, bool tls = false, std::function<void()> onDeath = {});
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Sends the request once `ready` (when given) says so; a newer post replaces it.
    void post(std::string request, std::function<bool()> ready = {});
    // Abandons what is queued or in flight, name lookup included. cancel() only asks and
    // returns at once; stop() also waits for the worker (a fraction of a second).
    void cancel();
    void stop();
    // HTTP status of the last update (0 when none got an answer); for tests.
    int lastStatus() const { return lastStatus_.load(); }
    unsigned completed() const { return completed_.load(); }

private:
    struct Update {
        std::string request;
        std::function<bool()> ready;
    };
    void run();
    int sendOnce(const std::string& request);  // the HTTP status, 0 when none came
    std::string host_;
    int port_;
    bool tls_;
    std::function<void()> onDeath_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<Update> queued_;
    std::atomic<bool> stop_{false};
    std::atomic<int> lastStatus_{0};
    std::atomic<unsigned> completed_{0};
    std::thread thread_;
};

}  // namespace bassx::title

// The clock's waits on POSIX: a condition variable on the monotonic clock (libstdc++ waits with
// pthread_cond_clockwait on CLOCK_MONOTONIC, so setting the wall clock moves nothing).
#include "ticker.h"

#include <condition_variable>
#include <mutex>

namespace bassx {
namespace {

class CondTicker final : public Ticker {
public:
    bool waitUntil(Clock::time_point due) override {
        std::unique_lock<std::mutex> lock(mutex_);
        // wait_until can return early on a spurious wake-up: only the predicate ends it.
        while (!woken_ && Clock::now() < due) cv_.wait_until(lock, due);
        return !woken_;
    }
    void wake() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
        }
        cv_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
};

}  // namespace

std::unique_ptr<Ticker> makeTicker() { return std::make_unique<CondTicker>(); }

}  // namespace bassx

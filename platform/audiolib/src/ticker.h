// The device clock's sleep: waits for absolute points on the steady clock, so that a late
// wake-up shortens the next wait instead of shifting every period after it. Another thread can
// cut the waits short for good (the clock is stopping). One backend per platform.
#pragma once

#include <chrono>
#include <memory>

namespace bassx {

class Ticker {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~Ticker() = default;
    // Returns true at or after due, false at once (then and for every later wait) after wake().
    virtual bool waitUntil(Clock::time_point due) = 0;
    // Safe from any thread, also before the clock's first wait.
    virtual void wake() = 0;
};

// Throws std::system_error when the system has no timer to give.
std::unique_ptr<Ticker> makeTicker();

}  // namespace bassx

// The clock's waits on Windows: a waitable timer, high resolution where the system has one
// (Windows 10 1803 and later), else a plain one with the system's timer period at 1 ms. The
// due times come from the steady clock's absolute schedule; the timer is armed with what is
// left of the wait (a relative due time), because absolute due times of a waitable timer are on
// the wall clock, which the user or time sync can set back.
#include "ticker.h"

#include <windows.h>
#include <mmsystem.h>

#include <system_error>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace bassx {
namespace {

class WaitableTicker final : public Ticker {
public:
    WaitableTicker() {
        timer_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        if (!timer_) {
            timer_ = CreateWaitableTimerW(nullptr, FALSE, nullptr);
            // Without it a plain timer fires on the 15.6 ms system tick: 20 ms periods would
            // come as 15.6 and 31.2 ms.
            if (timer_) coarse_ = timeBeginPeriod(1) == TIMERR_NOERROR;
        }
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual reset: stays set
        if (!timer_ || !stop_) {
            const DWORD err = GetLastError();
            release();
            throw std::system_error(static_cast<int>(err), std::system_category(), "waitable timer");
        }
    }
    ~WaitableTicker() override { release(); }

    bool waitUntil(Clock::time_point due) override {
        const HANDLE both[2] = {stop_, timer_};
        for (;;) {
            if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) return false;
            const auto left = due - Clock::now();
            if (left <= Clock::duration::zero()) return true;
            // 100 ns units, negative for "from now", rounded up: the timer never fires early
            // on our account, and the loop re-arms if it fires early on its own.
            const auto ticks = (std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() + 99) / 100;
            LARGE_INTEGER when;
            when.QuadPart = -ticks;
            if (!SetWaitableTimer(timer_, &when, 0, nullptr, nullptr, FALSE)) {
                // Cannot happen with a valid handle; sleep in small steps rather than spin.
                if (WaitForSingleObject(stop_, 1) == WAIT_OBJECT_0) return false;
                continue;
            }
            const DWORD r = WaitForMultipleObjects(2, both, FALSE, INFINITE);
            if (r == WAIT_OBJECT_0) return false;
            if (r == WAIT_FAILED) Sleep(1);
        }
    }

    void wake() override { SetEvent(stop_); }

private:
    void release() {
        if (timer_) CloseHandle(timer_);
        if (stop_) CloseHandle(stop_);
        if (coarse_) timeEndPeriod(1);
        timer_ = stop_ = nullptr;
        coarse_ = false;
    }

    HANDLE timer_ = nullptr;
    HANDLE stop_ = nullptr;
    bool coarse_ = false;
};

}  // namespace

std::unique_ptr<Ticker> makeTicker() { return std::make_unique<WaitableTicker>(); }

}  // namespace bassx

// A connection to the sound server on a threaded main loop of its own. Every wait on the
// server has a deadline, so a hung (stopped) server fails the call instead of hanging it.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace bassx {

constexpr int kPulseDeadlineMs = 2000;
// After a deadline passed unanswered, the next operation on that connection waits this long at
// most: a stopped server does not hold every call of a teardown for the whole deadline, and one
// that answers again gets its full deadline back.
constexpr int kPulseUnansweredMs = 250;

// The main loop's lock lives inside libpulse, where race checkers do not see it. Both sides
// of every hand-over to the loop's thread pass through this fence as well, so they can.
inline void loopFence() {
    static std::atomic<unsigned> sync{0};
    sync.fetch_add(1, std::memory_order_acq_rel);
}

struct PulseSourceInfo {
    uint32_t index;
    std::string name;
    std::string description;
    bool monitor;
    uint8_t channels;
};

class PulseConnection {
public:
    PulseConnection() = default;
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // False when there is no server or it does not answer within the deadline.
    bool connect(const char* clientName, int timeoutMs = kPulseDeadlineMs);
    void close();
    // From any thread but the loop's: every wait of this connection, under way or to come,
    // ends at once as failed (a connection being given up).
    void interrupt();

    bool listSources(std::vector<PulseSourceInfo>& out, std::string& defaultSource, int timeoutMs = kPulseDeadlineMs);
    bool setSourceVolume(uint32_t index, uint8_t channels, double factor, int timeoutMs = kPulseDeadlineMs);
    // The source's volume (the average of its channels) as a factor of normal, and its mute.
    bool sourceVolume(uint32_t index, double& factor, bool& muted, int timeoutMs = kPulseDeadlineMs);

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return ctx_; }

    // With the loop locked: waits until done() is true or the deadline passes; false on timeout.
    template <typename F>
    bool waitLocked(F done, int timeoutMs) {
        loopFence();
        if (done()) return true;
        Deadline d{{false}, loop_};
        pa_time_event* ev = pa_context_rttime_new(ctx_, pa_rtclock_now() + static_cast<pa_usec_t>(timeoutMs) * 1000,
                                                  &PulseConnection::onDeadline, &d);
        if (!ev) return false;
        while (!done() && !d.expired && !interrupted_.load()) {
            pa_threaded_mainloop_wait(loop_);
            loopFence();
        }
        if (ev) pa_threaded_mainloop_get_api(loop_)->time_free(ev);
        return done();
    }
    // With the loop locked: waits for an operation, cancelling it at the deadline (shortened
    // while the server has not answered since a deadline passed).
    bool waitOperation(pa_operation* op, int timeoutMs);

    // From a callback on the loop's thread.
    void signal() {
        loopFence();
        pa_threaded_mainloop_signal(loop_, 0);
    }

private:
    // Atomic: the loop's own lock is invisible to race checkers run over the engine.
    struct Deadline {
        std::atomic<bool> expired;
        pa_threaded_mainloop* loop;
    };
    static void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* flag);
    static void onState(pa_context* c, void* self);

    std::mutex loopMutex_;  // guards loop_ against interrupt(); taken before the loop's lock
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* ctx_ = nullptr;
    std::atomic<bool> unanswered_{false};
    std::atomic<bool> interrupted_{false};
};

}  // namespace bassx

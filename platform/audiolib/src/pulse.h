// A connection to the sound server on a threaded main loop of its own. Every wait on the
// server has a deadline, so a hung (stopped) server fails the call instead of hanging it.
#pragma once

#include <pulse/pulseaudio.h>

#include <string>
#include <vector>

namespace bassx {

constexpr int kPulseDeadlineMs = 2000;

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

    bool listSources(std::vector<PulseSourceInfo>& out, std::string& defaultSource, int timeoutMs = kPulseDeadlineMs);
    bool setSourceVolume(uint32_t index, uint8_t channels, double factor, int timeoutMs = kPulseDeadlineMs);

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return ctx_; }

    // With the loop locked: waits until done() is true or the deadline passes; false on timeout.
    template <typename F>
    bool waitLocked(F done, int timeoutMs) {
        if (done()) return true;
        Deadline d{false, loop_};
        pa_time_event* ev = pa_context_rttime_new(ctx_, pa_rtclock_now() + static_cast<pa_usec_t>(timeoutMs) * 1000,
                                                  &PulseConnection::onDeadline, &d);
        if (!ev) return false;
        while (!done() && !d.expired) pa_threaded_mainloop_wait(loop_);
        if (ev) pa_threaded_mainloop_get_api(loop_)->time_free(ev);
        return done();
    }
    // With the loop locked: waits for an operation, cancelling it at the deadline.
    bool waitOperation(pa_operation* op, int timeoutMs);

    void signal() { pa_threaded_mainloop_signal(loop_, 0); }

private:
    struct Deadline {
        bool expired;
        pa_threaded_mainloop* loop;
    };
    static void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* flag);
    static void onState(pa_context* c, void* self);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* ctx_ = nullptr;
};

}  // namespace bassx

#include <algorithm>
#include <atomic>

#include "output.h"
#include "pulse.h"

namespace bassx::device {
namespace {

// Playback to the sound server; silence or nothing when the mixer's volume is 0.
class PulseOutput final : public Output {
public:
    bool open(DWORD freq) override {
        if (!conn_.connect("Larkspur output")) return false;
        pa_sample_spec spec{PA_SAMPLE_S16LE, freq, 2};
        pa_threaded_mainloop_lock(conn_.loop());
        stream_ = pa_stream_new(conn_.context(), "Mixer output", &spec, nullptr);
        bool ok = false;
        if (stream_) {
            pa_stream_set_state_callback(
                stream_, [](pa_stream*, void* u) { static_cast<PulseConnection*>(u)->signal(); }, &conn_);
            pa_buffer_attr attr{};
            attr.maxlength = static_cast<uint32_t>(-1);
            attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(100000, &spec));
            attr.prebuf = static_cast<uint32_t>(-1);
            attr.minreq = static_cast<uint32_t>(-1);
            attr.fragsize = static_cast<uint32_t>(-1);
            if (pa_stream_connect_playback(stream_, nullptr, &attr, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) == 0) {
                auto settled = [&] {
                    auto s = pa_stream_get_state(stream_);
                    return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
                };
                ok = conn_.waitLocked(settled, kPulseDeadlineMs) && pa_stream_get_state(stream_) == PA_STREAM_READY;
            }
        }
        pa_threaded_mainloop_unlock(conn_.loop());
        if (!ok) close();
        return ok;
    }

    void close() override {
        if (stream_ && conn_.loop()) {
            pa_threaded_mainloop_lock(conn_.loop());
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
            pa_threaded_mainloop_unlock(conn_.loop());
        }
        stream_ = nullptr;
        conn_.close();
    }

    // Never waits for the server: what does not fit now is dropped.
    void write(const int16_t* stereo, size_t bytes) override {
        if (!stream_) return;
        pa_threaded_mainloop_lock(conn_.loop());
        if (pa_stream_get_state(stream_) == PA_STREAM_READY) {
            size_t room = pa_stream_writable_size(stream_);
            size_t n = std::min(room, bytes) & ~size_t{3};
            if (n && pa_stream_write(stream_, stereo, n, nullptr, 0, PA_SEEK_RELATIVE) == 0)
                written_.fetch_add(n, std::memory_order_relaxed);
        }
        pa_threaded_mainloop_unlock(conn_.loop());
    }

    // Corks the stream while nothing audible is played, so the server does not mix it either.
    // Never waits for the server.
    void setQuiet(bool quiet) override {
        if (!stream_ || quiet == quiet_) return;
        quiet_ = quiet;
        pa_threaded_mainloop_lock(conn_.loop());
        if (pa_operation* op = pa_stream_cork(stream_, quiet ? 1 : 0, nullptr, nullptr)) pa_operation_unref(op);
        pa_threaded_mainloop_unlock(conn_.loop());
    }

    bool isOpen() const override { return stream_ != nullptr; }
    uint64_t written() const override { return written_.load(std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> written_{0};
    bool quiet_ = false;  // clock thread only
    PulseConnection conn_;
    pa_stream* stream_ = nullptr;
};

}  // namespace

std::unique_ptr<Output> makeOutput() { return std::make_unique<PulseOutput>(); }

}  // namespace bassx::device

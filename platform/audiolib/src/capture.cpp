#include "capture.h"

#include <algorithm>
#include <mutex>
#include <set>

#include "pulse.h"

namespace bassx::capture {

class RecordChannel : public Source {
public:
    RecordChannel(DWORD rate, DWORD chans)
        : Source(Kind::Record, rate, chans, kCaptureRingSeconds, kCapturePrebufferMs, true) {}
    pa_stream* stream = nullptr;
};

namespace {

struct State {
    std::mutex mutex;
    std::unique_ptr<PulseConnection> conn;
    PulseSourceInfo source{};
    std::shared_ptr<RecordChannel> channel;
    std::vector<DeviceEntry> list;
    std::set<std::string> names;  // keeps every name handed out alive
};

State& state() {
    static State* s = new State;
    return *s;
}

const char* keep(State& s, const std::string& text) { return s.names.insert(text).first->c_str(); }

bool listSources(std::vector<PulseSourceInfo>& out, std::string& def) {
    PulseConnection c;
    return c.connect("Larkspur devices") && c.listSources(out, def);
}

void dropStream(State& s) {
    if (!s.channel || !s.channel->stream) return;
    pa_threaded_mainloop_lock(s.conn->loop());
    pa_stream_set_read_callback(s.channel->stream, nullptr, nullptr);
    pa_stream_set_state_callback(s.channel->stream, nullptr, nullptr);
    pa_stream_disconnect(s.channel->stream);
    pa_stream_unref(s.channel->stream);
    s.channel->stream = nullptr;
    pa_threaded_mainloop_unlock(s.conn->loop());
}

void onRead(pa_stream* st, size_t, void* user) {
    loopFence();
    auto* ch = static_cast<RecordChannel*>(user);
    const void* data = nullptr;
    size_t len = 0;
    while (pa_stream_readable_size(st) > 0) {
        if (pa_stream_peek(st, &data, &len) < 0) return;
        if (len == 0) break;
        if (data) ch->put(data, len);  // a hole (data null) is skipped
        pa_stream_drop(st);
    }
}

}  // namespace

bool deviceInfo(DWORD n, DeviceEntry& out, int& err) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (n == 0 || s.list.empty()) {
        // Asking for the first device reads the list afresh; later numbers use that reading.
        std::vector<PulseSourceInfo> sources;
        std::string def;
        s.list.clear();
        if (listSources(sources, def))
            for (auto& src : sources) {
                DWORD flags = BASS_DEVICE_ENABLED;
                if (src.name == def) flags |= BASS_DEVICE_DEFAULT;
                if (src.monitor) flags |= BASS_DEVICE_LOOPBACK;
                if (s.conn && s.source.name == src.name) flags |= BASS_DEVICE_INIT;
                s.list.push_back({keep(s, src.description), keep(s, src.name), flags});
            }
    }
    if (n >= s.list.size()) {
        err = BASS_ERROR_DEVICE;
        return false;
    }
    out = s.list[n];
    err = BASS_OK;
    return true;
}

int open(int device) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.conn) return BASS_ERROR_ALREADY;
    if (device < -1) return BASS_ERROR_DEVICE;
    auto conn = std::make_unique<PulseConnection>();
    if (!conn->connect("Larkspur capture")) return BASS_ERROR_DRIVER;
    std::vector<PulseSourceInfo> sources;
    std::string def;
    if (!conn->listSources(sources, def)) return BASS_ERROR_DRIVER;
    const PulseSourceInfo* pick = nullptr;
    if (device == -1) {
        for (auto& src : sources)
            if (src.name == def) pick = &src;
    } else if (static_cast<size_t>(device) < sources.size()) {
        pick = &sources[static_cast<size_t>(device)];
    }
    if (!pick) return BASS_ERROR_DEVICE;
    s.source = *pick;
    s.conn = std::move(conn);
    return BASS_OK;
}

int close() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.conn) return BASS_ERROR_INIT;
    dropStream(s);
    if (s.channel) s.channel->setActive(false);
    s.channel.reset();
    s.conn.reset();
    return BASS_OK;
}

bool isOpen() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().conn != nullptr;
}

std::shared_ptr<Source> start(DWORD freq, DWORD chans, bool paused, int& err) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.conn) {
        err = BASS_ERROR_INIT;
        return nullptr;
    }
    if (s.channel) {
        err = BASS_ERROR_ALREADY;  // one capture channel per device
        return nullptr;
    }
    if (chans < 1 || chans > 8 || freq < 1000 || freq > 384000) {
        err = BASS_ERROR_FORMAT;
        return nullptr;
    }
    auto ch = std::make_shared<RecordChannel>(freq, chans);
    pa_sample_spec spec{PA_SAMPLE_S16LE, freq, static_cast<uint8_t>(chans)};
    PulseConnection& c = *s.conn;
    pa_threaded_mainloop_lock(c.loop());
    pa_stream* st = pa_stream_new(c.context(), "Capture", &spec, nullptr);
    bool ok = false;
    if (st) {
        ch->stream = st;
        pa_stream_set_state_callback(st, [](pa_stream*, void* u) { static_cast<PulseConnection*>(u)->signal(); }, &c);
        pa_stream_set_read_callback(st, onRead, ch.get());
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(20000, &spec));
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | (paused ? PA_STREAM_START_CORKED : 0));
        if (pa_stream_connect_record(st, s.source.name.c_str(), &attr, flags) == 0) {
            auto settled = [&] {
                auto state = pa_stream_get_state(st);
                return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
            };
            ok = c.waitLocked(settled, kPulseDeadlineMs) && pa_stream_get_state(st) == PA_STREAM_READY;
        }
    }
    pa_threaded_mainloop_unlock(c.loop());
    if (!ok) {
        if (st) {
            s.channel = ch;
            dropStream(s);
            s.channel.reset();
        }
        err = BASS_ERROR_DRIVER;
        return nullptr;
    }
    ch->setActive(!paused);
    s.channel = ch;
    err = BASS_OK;
    return ch;
}

int setRunning(Source& channel, bool run) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.channel || s.channel.get() != &channel || !s.channel->stream) return BASS_ERROR_HANDLE;
    PulseConnection& c = *s.conn;
    pa_threaded_mainloop_lock(c.loop());
    auto* op = pa_stream_cork(
        s.channel->stream, run ? 0 : 1, [](pa_stream*, int, void* u) { static_cast<PulseConnection*>(u)->signal(); },
        &c);
    bool ok = c.waitOperation(op, kPulseDeadlineMs);
    pa_threaded_mainloop_unlock(c.loop());
    if (!ok) return BASS_ERROR_DRIVER;
    channel.setActive(run);
    return BASS_OK;
}

int setLevel(float level) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.conn) return BASS_ERROR_INIT;
    if (!(level >= 0.0f)) return BASS_ERROR_ILLPARAM;
    return s.conn->setSourceVolume(s.source.index, s.source.channels, std::min(level, 1.0f)) ? BASS_OK
                                                                                           : BASS_ERROR_DRIVER;
}

int level(float& volume, bool& off) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.conn) return BASS_ERROR_INIT;
    double factor = 0.0;
    bool muted = false;
    if (!s.conn->sourceVolume(s.source.index, factor, muted)) return BASS_ERROR_DRIVER;
    // Boosted beyond normal is reported as the most a level can be set to.
    volume = static_cast<float>(std::min(factor, 1.0));
    off = muted;
    return BASS_OK;
}

}  // namespace bassx::capture

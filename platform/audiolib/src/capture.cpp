#include "capture.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "fault_point.h"
#include "pulse.h"
#include "threads.h"

namespace bassx::capture {

// A device that went away (its stream failed, or the whole sound server) is looked for again
// this often at most: a server that is not back yet costs one refused connect per period.
constexpr auto kReopenPeriod = std::chrono::milliseconds(500);

class RecordChannel : public Source {
public:
    RecordChannel(DWORD rate, DWORD chans)
        : Source(Kind::Record, rate, chans, kCaptureRingSeconds, kCapturePrebufferMs, true) {}
    // The stream and its connection; both change when the device is reopened.
    std::atomic<PulseConnection*> conn{nullptr};
    pa_stream* stream = nullptr;
    // Set once the stream is the channel's: from then on its failure is a lost device.
    std::atomic<bool> watched{false};
    std::atomic<bool> lost{false};

    // The reopener's side: woken by a loss, ended by close().
    std::mutex wakeMutex;  // innermost: taken under a loop's lock by the stream's callbacks
    std::condition_variable wake;
    bool lossPending = false;                  // under wakeMutex
    bool stopping = false;                     // under wakeMutex
    std::shared_ptr<PulseConnection> attempt;  // under wakeMutex: a reopen under way

    void markLost() noexcept {
        lost.store(true);
        {
            std::lock_guard<std::mutex> lock(wakeMutex);
            lossPending = true;
        }
        wake.notify_all();
    }
};

namespace {

// Lock order: State::mutex, then cancelMutex, then a connection's loop lock, then a channel's
// wakeMutex.
struct State {
    std::mutex mutex;
    // An open or a device listing holds State::mutex for as long as the server takes to
    // answer (a hung one: the deadline); a cancel reaches its connection through this lock.
    std::mutex cancelMutex;
    bool opensCancelled = false;               // under cancelMutex
    std::shared_ptr<PulseConnection> opening;  // under cancelMutex: the open or listing under way
    bool open = false;
    std::shared_ptr<PulseConnection> conn;  // null while the device is lost
    PulseSourceInfo source{};               // the device; reopened by its name
    float level = -1.0f;                    // the level last set, applied again on reopening; < 0: none
    bool running = false;                   // the channel should record (not corked)
    std::shared_ptr<RecordChannel> channel;
    std::thread reopener;
    std::vector<DeviceEntry> list;
    std::set<std::string> names;  // keeps every name handed out alive
};

State& state() {
    static State* s = new State;
    return *s;
}

const char* keep(State& s, const std::string& text) { return s.names.insert(text).first->c_str(); }

// With State::mutex held: conn is the open or listing under way; false once opens are cancelled.
bool beginOpening(State& s, const std::shared_ptr<PulseConnection>& conn) {
    std::lock_guard<std::mutex> guard(s.cancelMutex);
    if (s.opensCancelled) return false;
    s.opening = conn;
    return true;
}

// Done with the server: a cancel from now on is too late to matter, one before it fails the
// open or listing (its connection was interrupted for good). The result, `failure` unless so.
int endOpening(State& s, int failure) {
    std::lock_guard<std::mutex> guard(s.cancelMutex);
    s.opening.reset();
    return s.opensCancelled ? BASS_ERROR_RECORD_CANCEL : failure;
}

// With State::mutex held. BASS error code.
int listSources(State& s, std::vector<PulseSourceInfo>& out, std::string& def) {
    auto c = std::make_shared<PulseConnection>();
    if (!beginOpening(s, c)) return BASS_ERROR_RECORD_CANCEL;
    const bool listed = c->connect("Larkspur devices") && c->listSources(out, def);
    return endOpening(s, listed ? BASS_OK : BASS_ERROR_DRIVER);
}

void dropStream(PulseConnection& c, pa_stream*& st) {
    if (!st) return;
    pa_threaded_mainloop_lock(c.loop());
    pa_stream_set_read_callback(st, nullptr, nullptr);
    pa_stream_set_state_callback(st, nullptr, nullptr);
    pa_stream_disconnect(st);
    pa_stream_unref(st);
    st = nullptr;
    pa_threaded_mainloop_unlock(c.loop());
}

// With State::mutex held.
void dropStream(PulseConnection& c, RecordChannel& ch) {
    ch.watched.store(false);
    dropStream(c, ch.stream);
}

// On the loop's thread: nothing thrown here may unwind into libpulse.
void onRead(pa_stream* st, size_t, void* user) noexcept {
    loopFence();
    auto* ch = static_cast<RecordChannel*>(user);
    try {
        faults::check(faults::CaptureRead);
        const void* data = nullptr;
        size_t len = 0;
        while (pa_stream_readable_size(st) > 0) {
            if (pa_stream_peek(st, &data, &len) < 0) return;
            if (len == 0) break;
            if (data) ch->put(data, len);  // a hole (data null) is skipped
            pa_stream_drop(st);
        }
    } catch (...) {
        // This stream is of no use any more: the reopener gives the channel a new one.
        if (ch->watched.load()) ch->markLost();
    }
}

void onStreamState(pa_stream* st, void* user) noexcept {
    auto* ch = static_cast<RecordChannel*>(user);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(st)) && ch->watched.load()) ch->markLost();
    if (PulseConnection* c = ch->conn.load()) c->signal();
}

// A corked or running stream for the channel from the named source; null when it is not
// there or does not answer.
pa_stream* connectStream(PulseConnection& c, RecordChannel& ch, const std::string& source, bool corked) {
    pa_sample_spec spec{PA_SAMPLE_S16LE, ch.rate, static_cast<uint8_t>(ch.chans)};
    ch.conn.store(&c);
    pa_threaded_mainloop_lock(c.loop());
    pa_stream* st = pa_stream_new(c.context(), "Capture", &spec, nullptr);
    bool ok = false;
    if (st) {
        pa_stream_set_state_callback(st, onStreamState, &ch);
        pa_stream_set_read_callback(st, onRead, &ch);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(20000, &spec));
        // Not moved to another source when this one goes: it is reopened by its name instead.
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                                    (corked ? PA_STREAM_START_CORKED : 0));
        if (pa_stream_connect_record(st, source.c_str(), &attr, flags) == 0) {
            auto settled = [&] {
                auto state = pa_stream_get_state(st);
                return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
            };
            ok = c.waitLocked(settled, kPulseDeadlineMs) && pa_stream_get_state(st) == PA_STREAM_READY;
        }
    }
    pa_threaded_mainloop_unlock(c.loop());
    if (!ok) dropStream(c, st);
    return st;
}

// With State::mutex held: from now on a failure of the channel's stream is a loss, also one
// that came before this.
void watch(PulseConnection& c, RecordChannel& ch) {
    ch.watched.store(true);
    pa_threaded_mainloop_lock(c.loop());
    const bool good = PA_STREAM_IS_GOOD(pa_stream_get_state(ch.stream));
    pa_threaded_mainloop_unlock(c.loop());
    if (!good) ch.markLost();
}

// With State::mutex held.
bool cork(PulseConnection& c, RecordChannel& ch, bool corked) {
    pa_threaded_mainloop_lock(c.loop());
    auto* op = pa_stream_cork(
        ch.stream, corked ? 1 : 0, [](pa_stream*, int, void* u) { static_cast<PulseConnection*>(u)->signal(); }, &c);
    bool ok = c.waitOperation(op, kPulseDeadlineMs);
    pa_threaded_mainloop_unlock(c.loop());
    return ok;
}

// One try at giving a lost channel its device back. True when there is nothing more to do
// (back, or the channel is closed).
bool reopen(State& s, const std::shared_ptr<RecordChannel>& ch) {
    std::string name;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.channel != ch) return true;
        // The failed stream and its connection go first: the channel has one producer at a time.
        if (s.conn) dropStream(*s.conn, *ch);
        s.conn.reset();
        name = s.source.name;
    }
    auto conn = std::make_shared<PulseConnection>();
    {
        std::lock_guard<std::mutex> lock(ch->wakeMutex);
        if (ch->stopping) return true;
        ch->attempt = conn;
    }
    std::vector<PulseSourceInfo> sources;
    std::string def;
    const PulseSourceInfo* found = nullptr;
    if (conn->connect("Larkspur capture") && conn->listSources(sources, def))
        for (auto& src : sources)
            if (src.name == name) found = &src;
    // Corked until it is the channel's: the lock below decides whether it runs.
    pa_stream* st = found ? connectStream(*conn, *ch, name, true) : nullptr;
    {
        std::lock_guard<std::mutex> lock(ch->wakeMutex);
        ch->attempt.reset();
    }
    if (!st) return false;
    PulseSourceInfo source = *found;  // copied here: nothing below throws
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.channel != ch) {
        dropStream(*conn, st);
        return true;
    }
    ch->stream = st;
    if (s.running && !cork(*conn, *ch, false)) {
        dropStream(*conn, *ch);
        return false;
    }
    s.conn = conn;
    s.source = std::move(source);
    if (s.level >= 0.0f) conn->setSourceVolume(s.source.index, s.source.channels, s.level);
    ch->lost.store(false);
    watch(*conn, *ch);
    return true;
}

void reopenLoop(std::shared_ptr<RecordChannel> ch) {
    State& s = state();
    std::unique_lock<std::mutex> lock(ch->wakeMutex);
    for (;;) {
        ch->wake.wait(lock, [&] { return ch->stopping || ch->lossPending; });
        if (ch->stopping) return;
        ch->lossPending = false;  // a loss of the stream made below is noted afresh
        lock.unlock();
        const auto tried = std::chrono::steady_clock::now();
        bool done = false;
        try {
            done = reopen(s, ch);
        } catch (...) {
            // Out of memory: this try failed like any other, and the next one comes.
        }
        lock.lock();
        if (!done) {
            ch->lossPending = true;
            ch->wake.wait_until(lock, tried + kReopenPeriod, [&] { return ch->stopping; });
        }
    }
}

// Ends the channel's reopener. Without State::mutex held: the reopener takes it.
void stopReopener(RecordChannel& ch, std::thread& reopener) {
    std::shared_ptr<PulseConnection> attempt;
    {
        std::lock_guard<std::mutex> lock(ch.wakeMutex);
        ch.stopping = true;
        attempt = ch.attempt;
    }
    ch.wake.notify_all();
    if (attempt) attempt->interrupt();
    if (reopener.joinable()) reopener.join();
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
        const int listed = listSources(s, sources, def);
        if (listed == BASS_ERROR_RECORD_CANCEL) {
            err = listed;
            return false;
        }
        if (listed == BASS_OK)
            for (auto& src : sources) {
                DWORD flags = BASS_DEVICE_ENABLED;
                if (src.name == def) flags |= BASS_DEVICE_DEFAULT;
                if (src.monitor) flags |= BASS_DEVICE_LOOPBACK;
                if (s.open && s.source.name == src.name) flags |= BASS_DEVICE_INIT;
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
    if (s.open) return BASS_ERROR_ALREADY;
    if (device < -1) return BASS_ERROR_DEVICE;
    auto conn = std::make_shared<PulseConnection>();
    if (!beginOpening(s, conn)) return BASS_ERROR_RECORD_CANCEL;
    std::vector<PulseSourceInfo> sources;
    std::string def;
    const bool listed = conn->connect("Larkspur capture") && conn->listSources(sources, def);
    if (int err = endOpening(s, listed ? BASS_OK : BASS_ERROR_DRIVER)) return err;
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
    s.open = true;
    s.level = -1.0f;
    s.running = false;
    return BASS_OK;
}

void cancelOpen() {
    State& s = state();
    std::shared_ptr<PulseConnection> opening;
    {
        std::lock_guard<std::mutex> guard(s.cancelMutex);
        s.opensCancelled = true;
        opening = s.opening;
    }
    if (opening) opening->interrupt();
}

int close() {
    State& s = state();
    std::shared_ptr<RecordChannel> ch;
    std::shared_ptr<PulseConnection> conn;
    std::thread reopener;
    {
        std::lock_guard<std::mutex> guard(s.cancelMutex);
        s.opensCancelled = false;
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.open) return BASS_ERROR_INIT;
        ch = std::move(s.channel);
        conn = std::move(s.conn);
        reopener = std::move(s.reopener);
        if (ch && conn) dropStream(*conn, *ch);
        if (ch) ch->setActive(false);
        s.open = false;
    }
    if (ch) stopReopener(*ch, reopener);
    return BASS_OK;
}

bool isOpen() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().open;
}

std::shared_ptr<Source> start(DWORD freq, DWORD chans, bool paused, int& err) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.open) {
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
    if (s.conn) ch->stream = connectStream(*s.conn, *ch, s.source.name, paused);
    if (!ch->stream) {
        err = BASS_ERROR_DRIVER;
        return nullptr;
    }
    try {
        s.reopener = startThread([ch] { reopenLoop(ch); });
    } catch (...) {
        dropStream(*s.conn, *ch);
        throw;
    }
    watch(*s.conn, *ch);
    ch->setActive(!paused);
    s.running = !paused;
    s.channel = ch;
    err = BASS_OK;
    return ch;
}

int setRunning(Source& channel, bool run) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.channel || s.channel.get() != &channel) return BASS_ERROR_HANDLE;
    // While the device is lost the choice is kept for the reopened stream.
    if (s.conn && s.channel->stream && !s.channel->lost.load() && !cork(*s.conn, *s.channel, !run))
        return BASS_ERROR_DRIVER;
    s.running = run;
    channel.setActive(run);
    return BASS_OK;
}

bool isLost(const Source& channel) {
    return channel.kind == Kind::Record && static_cast<const RecordChannel&>(channel).lost.load();
}

int setLevel(float level) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.open) return BASS_ERROR_INIT;
    if (!(level >= 0.0f)) return BASS_ERROR_ILLPARAM;
    s.level = std::min(level, 1.0f);
    if (!s.conn) return BASS_OK;  // lost: applied when the device is back
    return s.conn->setSourceVolume(s.source.index, s.source.channels, s.level) ? BASS_OK : BASS_ERROR_DRIVER;
}

int level(float& volume, bool& off) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.open) return BASS_ERROR_INIT;
    if (!s.conn) return BASS_ERROR_DRIVER;
    double factor = 0.0;
    bool muted = false;
    if (!s.conn->sourceVolume(s.source.index, factor, muted)) return BASS_ERROR_DRIVER;
    // Boosted beyond normal is reported as the most a level can be set to.
    volume = static_cast<float>(std::min(factor, 1.0));
    off = muted;
    return BASS_OK;
}

}  // namespace bassx::capture

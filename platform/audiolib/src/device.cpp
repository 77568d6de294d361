#include "device.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "fault_point.h"
#include "output.h"
#include "threads.h"
#include "ticker.h"

namespace bassx::device {
namespace {

using Clock = std::chrono::steady_clock;

struct Playing {
    std::shared_ptr<Mixer> mixer;
    Clock::time_point start;
    uint64_t frames = 0;
    bool failed = false;  // could not be rendered: off the clock, its encoders told
};

struct State {
    std::mutex mutex;  // guards everything below; held by the clock while it renders
    bool initialised = false;
    bool running = false;
    DWORD freq = 44100;
    std::vector<Playing> playing;
    std::thread clock;
    bool clockDied = false;          // the clock ended by an error; the next play starts another
    std::unique_ptr<Ticker> ticker;  // the clock's sleep; lives until the clock is joined
    std::condition_variable wake;    // the figures' thread
    std::unique_ptr<Output> output;
    std::thread stats;  // only with LARKSPUR_ENGINE_STATS
};

State& state() {
    static State* s = new State;
    return *s;
}

void clockLoop(Ticker& ticker) {
    State& s = state();
    const auto period = std::chrono::milliseconds(kPeriodMs);
    auto start = Clock::now();
    int64_t tick = 0;  // signed: unsigned arithmetic would make "late" wrap around
    std::vector<int16_t> block, out;
    std::unique_lock<std::mutex> lock(s.mutex);
    while (s.running) {
        ++tick;
        auto next = start + tick * period;
        if (Clock::now() - next > std::chrono::seconds(1)) {
            // Suspended for a long time: start the schedule afresh rather than burst.
            start = Clock::now();
            tick = 0;
            for (auto& p : s.playing) p.start = start, p.frames = 0;
            continue;
        }
        // The mixers may be played and stopped while the clock sleeps.
        lock.unlock();
        const bool on = ticker.waitUntil(next);
        lock.lock();
        if (!on || !s.running) break;
        auto now = Clock::now();
        size_t outFrames = 0;
        for (auto& p : s.playing) {
            Mixer& m = *p.mixer;
            auto due = static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(now - p.start).count() * (m.rate / 1e9));
            if (due <= p.frames) continue;
            size_t frames = static_cast<size_t>(std::min<uint64_t>(due - p.frames, m.rate));
            if (due - p.frames > m.rate) p.frames = due - frames;  // skip what we can no longer catch up
            try {
                faults::check(faults::ClockRender);
                block.resize(frames * m.chans);
                m.render(block.data(), frames);
                float vol = m.volume.load();
                // A mixer at volume 0 adds nothing to the output, so it is not mixed in at all.
                if (s.output && vol != 0.0f && m.rate == s.freq && (m.chans == 1 || m.chans == 2)) {
                    if (out.size() < frames * 2) out.resize(frames * 2, 0);
                    for (size_t f = 0; f < frames; ++f)
                        for (int c = 0; c < 2; ++c) {
                            int32_t x = static_cast<int32_t>(block[f * m.chans + (m.chans == 2 ? c : 0)] * vol);
                            out[f * 2 + c] = static_cast<int16_t>(std::clamp(out[f * 2 + c] + x, -32768, 32767));
                        }
                    outFrames = std::max(outFrames, frames);
                }
            } catch (...) {
                // Out of memory: this mixer is not fed again, and its encoders say so, so the
                // caller's reconnect builds a new one. The other mixers go on.
                p.failed = true;
                m.starveSinks();
            }
            p.frames += frames;
        }
        std::erase_if(s.playing, [](const Playing& p) { return p.failed; });
        // While every mixer is silent nothing is written: sending the server silence every
        // period only costs it CPU. The clock keeps running, and writing resumes when a volume
        // goes above 0 (the server may take a moment, up to about a second, to take data again).
        if (s.output) s.output->setQuiet(outFrames == 0);
        if (outFrames) {
            s.output->write(out.data(), outFrames * 4);
            std::fill(out.begin(), out.begin() + outFrames * 2, 0);
        }
    }
}

// A clock that ends by an error leaves no mixer waiting for it: every mixer on it is starved
// (its encoders report their death) and the next play starts a new clock.
void clockDied() noexcept {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& p : s.playing) p.mixer->starveSinks();
    s.playing.clear();
    s.clockDied = true;
}

std::thread startClock(Ticker& ticker) {
    return startThread([t = &ticker] { clockLoop(*t); }, clockDied);
}

// Once a second, one line per source of each playing mixer, for long runs (bench/soak):
// monotonic ns, "host" or "mic", fill min and max (ms), underruns, bytes dropped (overflow),
// ratio. Off the clock thread, so the mix path does no I/O.
void statsLoop(std::FILE* f) {
    State& s = state();
    std::string lines;
    std::unique_lock<std::mutex> lock(s.mutex);
    while (s.running) {
        s.wake.wait_for(lock, std::chrono::seconds(1), [&] { return !s.running; });
        if (!s.running) break;
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        lines.clear();
        for (auto& p : s.playing)
            p.mixer->forEachSource([&](Source& src) {
                Source::Stats st = src.takeStats();
                double ms = 1000.0 / src.rate;
                char line[200];
                std::snprintf(line, sizeof line, "%lld %s %.1f %.1f %llu %llu %.6f\n",
                              static_cast<long long>(ns), src.kind == Kind::Record ? "mic" : "host",
                              st.fillMin * ms, st.fillMax * ms, static_cast<unsigned long long>(st.underruns),
                              static_cast<unsigned long long>(st.droppedBytes), st.ratio);
                lines += line;
            });
        faults::check(faults::EngineFigures);
        lock.unlock();  // the clock does not wait for the disk
        std::fputs(lines.c_str(), f);
        std::fflush(f);
        lock.lock();
    }
    std::fclose(f);
}

}  // namespace

int init(int dev, DWORD freq) {
    if (dev < -1 || dev > 1) return BASS_ERROR_DEVICE;
    if (freq != 0 && (freq < 1000 || freq > 384000)) return BASS_ERROR_FREQ;
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.initialised) return BASS_ERROR_ALREADY;
    s.freq = freq ? freq : 44100;
    s.output.reset();
    if (dev != 0) {
        // Device 0 is "no sound": a pure clock. Otherwise the server is optional too.
        lock.unlock();
        auto out = makeOutput();
        bool opened = out->open(s.freq);
        lock.lock();
        if (s.initialised) return BASS_ERROR_ALREADY;
        if (opened) s.output = std::move(out);
    }
    // The clock waits for the lock we hold, so it sees these set; without a clock the device
    // stays closed.
    s.running = true;
    try {
        s.ticker = makeTicker();
        s.clock = startClock(*s.ticker);
    } catch (const std::system_error&) {
        s.running = false;
        s.ticker.reset();
        s.output.reset();
        return BASS_ERROR_MEM;
    }
    s.initialised = true;
    if (const char* path = std::getenv("LARKSPUR_ENGINE_STATS"); path && *path)
        if (std::FILE* f = std::fopen(path, "a")) {
            try {
                // Figures that stop say why where the host logs: the file is only figures.
                s.stats = startThread([f] { statsLoop(f); }, [f] {
                    std::fclose(f);
                    std::fputs("libbass: engine figures ended by an error\n", stderr);
                });
            } catch (const std::system_error&) {
                std::fclose(f);  // figures are optional; the device works without them
            }
        }
    return BASS_OK;
}

int free() {
    State& s = state();
    std::thread clock, stats;
    std::unique_ptr<Output> out;
    std::unique_ptr<Ticker> ticker;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.initialised) return BASS_ERROR_INIT;
        s.running = false;
        s.initialised = false;
        s.playing.clear();
        clock = std::move(s.clock);
        stats = std::move(s.stats);
        out = std::move(s.output);
        ticker = std::move(s.ticker);
    }
    ticker->wake();
    s.wake.notify_all();
    if (clock.joinable()) clock.join();
    if (stats.joinable()) stats.join();
    if (out) out->close();
    return BASS_OK;
}

bool isInit() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().initialised;
}

bool hasOutput() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().output != nullptr;
}

uint64_t bytesWritten() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().output ? state().output->written() : 0;
}

int play(const std::shared_ptr<Mixer>& m) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.initialised) return BASS_ERROR_INIT;
    if (s.clockDied) {
        // The dead clock's thread is past its last use of the lock.
        if (s.clock.joinable()) s.clock.join();
        try {
            s.clock = startClock(*s.ticker);
        } catch (const std::system_error&) {
            return BASS_ERROR_MEM;
        }
        s.clockDied = false;
    }
    for (auto& p : s.playing)
        if (p.mixer == m) return BASS_OK;
    s.playing.push_back({m, Clock::now(), 0});
    return BASS_OK;
}

void stop(const Mixer* m) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::erase_if(s.playing, [&](const Playing& p) { return p.mixer.get() == m; });
}

}  // namespace bassx::device

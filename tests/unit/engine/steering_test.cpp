// Clock steering on a simulated clock: the host, the microphone and the device clock tick at
// rates of their own, and hours of it run in seconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "capture.h"
#include "mixer.h"
#include "push_stream.h"
#include "steering.h"

using namespace bassx;

namespace {

constexpr int64_t kSecond = 1000000000;
constexpr int64_t kPeriodNs = 20000000;  // the device clock's period

// LARKSPUR_SIM_HOURS shortens the long runs (the sanitizer builds are slow).
double simulatedHours(double normal) {
    const char* v = std::getenv("LARKSPUR_SIM_HOURS");
    double h = v ? std::atof(v) : 0;
    return h > 0 ? h : normal;
}

// A producer on its own clock: blocks of `frames` frames, every block `ppm` fast against the
// device clock, with a repeatable lateness of up to `jitterNs` (a playback thread's wake-up).
struct Producer {
    Producer(Source& s, DWORD r, size_t f, double p, int64_t j, int16_t v)
        : sink(s), rate(r), frames(f), ppm(p), jitterNs(j), value(v) {}
    Source& sink;
    DWORD rate;
    size_t frames;
    double ppm;
    int64_t jitterNs;
    int16_t value;       // every sample carries it: a hole in the output shows as a wrong sum
    bool running = true;
    uint64_t block = 0;
    uint32_t seed = 12345;
    std::vector<int16_t> buf;

    int64_t due() const {
        double ideal = double(block) * double(frames) / rate / (1 + ppm * 1e-6) * kSecond;
        return int64_t(ideal) + lateness();
    }
    int64_t lateness() const { return jitterNs ? int64_t((block * 2654435761u + seed) % uint64_t(jitterNs)) : 0; }

    // Delivers every block due by `now`.
    void runUntil(int64_t now) {
        buf.assign(frames * sink.chans, value);
        while (due() <= now) {
            if (running) sink.put(buf.data(), buf.size() * 2);
            ++block;
        }
    }
};

struct Station {
    static constexpr DWORD kChans = 1;
    DWORD rate;
    std::shared_ptr<Mixer> mixer;
    std::shared_ptr<PushStream> host;
    std::shared_ptr<Source> mic;

    explicit Station(DWORD r)
        : rate(r),
          mixer(std::make_shared<Mixer>(r, kChans, BASS_MIXER_NONSTOP)),
          host(std::make_shared<PushStream>(r, kChans)),
          mic(std::make_shared<Source>(Kind::Record, r, kChans, capture::kCaptureRingSeconds,
                                       capture::kCapturePrebufferMs, true)) {
        EXPECT_EQ(mixer->addSource(mic), BASS_OK);
        EXPECT_EQ(mixer->addSource(host), BASS_OK);
        mixer->playing = true;
    }
    size_t periodFrames() const { return size_t(int64_t(rate) * kPeriodNs / kSecond); }
};

double ms(size_t frames, DWORD rate) { return 1000.0 * double(frames) / rate; }

// Drives the host at hostPpm and the microphone at micPpm for `hours`; checks every period's
// output and each queue's fill (mean over each second, from the first minute on).
void runDrift(double hostPpm, double micPpm, double hours) {
    // A low rate keeps a day of audio cheap; the loop works in seconds, not frames.
    const DWORD rate = 500;
    Station st(rate);
    Producer host(*st.host, rate, 7, hostPpm, 4000000, 1000);  // 14 ms blocks, up to 4 ms late
    Producer mic(*st.mic, rate, 10, micPpm, 0, 2000);           // the server's 20 ms fragments
    const size_t pf = st.periodFrames();
    std::vector<int16_t> out(pf * Station::kChans);
    const int64_t end = int64_t(hours * 3600 * kSecond);
    const double target = capture::kCapturePrebufferMs;
    bool started = false;
    size_t badPeriods = 0;
    double hostSum = 0, micSum = 0, worstHost = 0, worstMic = 0;
    int samples = 0;
    for (int64_t now = 0; now < end; now += kPeriodNs) {
        host.runUntil(now);
        mic.runUntil(now);
        hostSum += ms(st.host->queued() / st.host->frameBytes(), rate);
        micSum += ms(st.mic->queued() / st.mic->frameBytes(), rate);
        st.mixer->render(out.data(), pf);
        // Both sources playing: every sample is the sum; before that, only a start may show.
        bool full = std::all_of(out.begin(), out.end(), [](int16_t v) { return std::abs(v - 3000) <= 2; });
        if (full) started = true;
        else if (started && ++badPeriods == 1) ADD_FAILURE() << "a hole at " << double(now) / kSecond << " s";
        if (++samples == 50) {
            if (now >= 60 * kSecond) {
                worstHost = std::max(worstHost, std::abs(hostSum / samples - target));
                worstMic = std::max(worstMic, std::abs(micSum / samples - target));
            }
            hostSum = micSum = 0;
            samples = 0;
        }
    }
    EXPECT_TRUE(started);
    EXPECT_EQ(badPeriods, 0u);
    for (Source* s : {static_cast<Source*>(st.host.get()), st.mic.get()}) {
        Source::Stats stats = s->takeStats();
        EXPECT_EQ(stats.underruns, 0u);
        EXPECT_EQ(stats.droppedBytes, 0u);
        (void)stats;
    }
    EXPECT_NEAR(st.host->drift(), hostPpm * 1e-6, 50e-6);  // the loop has learnt each clock's drift
    EXPECT_NEAR(st.mic->drift(), micPpm * 1e-6, 50e-6);
    EXPECT_LT(worstHost, 20.0) << "host queue off its target (ms)";
    EXPECT_LT(worstMic, 20.0) << "microphone queue off its target (ms)";
    std::string tag = hostPpm > 0 ? "_fast_host" : "_slow_host";
    testing::Test::RecordProperty("worst_host_ms" + tag, std::to_string(worstHost));
    testing::Test::RecordProperty("worst_mic_ms" + tag, std::to_string(worstMic));
}

}  // namespace

TEST(Steering, DayWithDriftingClocksNeverRunsDryOrOverflows) {
    const double hours = simulatedHours(24);
    runDrift(+1000, -700, hours);
    runDrift(-1000, +700, hours);
}

// The host stops for 3 s: its share of the mix is silent from the moment its queue is spent, and
// when it comes back the stream waits for its full jitter buffer, then plays only fresh blocks.
TEST(Steering, HostGapGivesSilenceThenRefillsWithoutStaleAudio) {
    const DWORD rate = 1000;
    Station st(rate);
    Producer host(*st.host, rate, 13, 300, 2000000, 1000);
    Producer mic(*st.mic, rate, 20, -300, 0, 2000);
    const size_t pf = st.periodFrames();
    std::vector<int16_t> out(pf * Station::kChans);
    int64_t stopAt = 120 * kSecond, resumeAt = stopAt + 3 * kSecond, silentFrom = -1, backAt = -1;
    for (int64_t now = 0; now < resumeAt + 60 * kSecond; now += kPeriodNs) {
        host.running = now < stopAt || now >= resumeAt;
        if (now == resumeAt) host.value = 500;  // what plays after the gap is told apart
        host.runUntil(now);
        mic.runUntil(now);
        st.mixer->render(out.data(), pf);
        if (now == resumeAt + 30 * kSecond) st.host->takeStats();  // from here on: the fill again
        if (now < 30 * kSecond) continue;
        bool micOnly = std::all_of(out.begin(), out.end(), [](int16_t v) { return std::abs(v - 2000) <= 2; });
        bool fresh = std::all_of(out.begin(), out.end(), [](int16_t v) { return std::abs(v - 2500) <= 2; });
        bool old = std::all_of(out.begin(), out.end(), [](int16_t v) { return std::abs(v - 3000) <= 2; });
        if (now >= stopAt && silentFrom < 0 && micOnly) silentFrom = now;
        if (now >= resumeAt && backAt < 0 && !micOnly) backAt = now;
        if (now < stopAt) {
            ASSERT_TRUE(old) << double(now) / kSecond;
        } else if (now < resumeAt) {
            if (silentFrom >= 0) {
                ASSERT_TRUE(micOnly) << "sound in the gap at " << double(now) / kSecond;
            }
        } else {
            ASSERT_FALSE(old) << "stale audio after the gap";
            if (backAt >= 0 && now > backAt) {
                ASSERT_TRUE(fresh) << "a hole after the refill at " << double(now) / kSecond;
            }
        }
    }
    // The queue plays out (at most its target and a period), then silence.
    ASSERT_GE(silentFrom, 0);
    EXPECT_LE(silentFrom - stopAt, 120000000);
    // Back once the jitter buffer has refilled: not at the first block, not much later.
    ASSERT_GE(backAt, 0);
    EXPECT_GE(backAt - resumeAt, 40000000);
    EXPECT_LE(backAt - resumeAt, 140000000);
    Source::Stats s = st.host->takeStats();
    EXPECT_EQ(s.underruns, 1u);  // the gap itself
    EXPECT_GE(ms(s.fillMin, rate), 60 - 20.0) << "back at the target fill";
    EXPECT_LE(ms(s.fillMax, rate), 60 + 20.0 + ms(pf, rate)) << "back at the target fill";
}

// A stall of the producer's side ends in a burst: 400 ms arrive at once. The ratio works it off
// at its bound, then settles back on the drift without winding up (which would empty the queue
// once the burst is gone).
TEST(Steering, BurstIsWorkedOffWithoutWindingUp) {
    const DWORD rate = 500;
    Station st(rate);
    Producer host(*st.host, rate, 7, 300, 0, 1000);
    Producer mic(*st.mic, rate, 10, 0, 0, 2000);
    std::vector<int16_t> burst(size_t(rate) * 4 / 10 * Station::kChans, 2000);
    std::vector<int16_t> out(st.periodFrames() * Station::kChans);
    for (int64_t now = 0; now < 20 * 60 * kSecond; now += kPeriodNs) {
        host.runUntil(now);
        mic.runUntil(now);
        if (now == 60 * kSecond) st.mic->put(burst.data(), burst.size() * 2);
        st.mixer->render(out.data(), st.periodFrames());
        if (now == 15 * 60 * kSecond) st.mic->takeStats();
    }
    Source::Stats s = st.mic->takeStats();
    EXPECT_EQ(s.underruns, 0u);
    EXPECT_EQ(s.droppedBytes, 0u);
    EXPECT_NEAR(ms(s.fillMin, rate), 60, 20);  // back at the target in the last five minutes
    EXPECT_NEAR(ms(s.fillMax, rate), 60, 20 + 20);
    EXPECT_NEAR(st.mic->drift(), 0, 100e-6);
}

namespace {

void fft(std::vector<std::complex<double>>& a) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        std::complex<double> w = std::polar(1.0, -2 * std::numbers::pi / double(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> x = 1;
            for (size_t k = 0; k < len / 2; ++k, x *= w) {
                auto u = a[i + k], v = a[i + k + len / 2] * x;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
}

}  // namespace

// A steady tone through a source steered against a fast host: the ratio moves all the time,
// and nothing but the tone may show above the floor (no sidebands, no images, no clicks).
TEST(Steering, SteadyToneCarriesNoSteeringArtefacts) {
    const DWORD rate = 44100;
    constexpr double kFloorDb = -90;  // every bin away from the tone, against the tone
    for (double ppm : {+1000.0, -1000.0}) {
        // Stereo: the tone on the left, silence on the right, which must stay silent.
        auto m = std::make_shared<Mixer>(rate, 2, BASS_MIXER_NONSTOP);
        auto s = std::make_shared<Source>(Kind::Push, rate, 2, kPushRingSeconds, kPushPrebufferMs, true);
        ASSERT_EQ(m->addSource(s), BASS_OK);
        m->playing = true;
        const size_t block = 576, pf = 882, n = 1 << 16;
        std::vector<int16_t> in(block * 2), out(pf * 2);
        int worstRight = 0;
        std::vector<double> got;
        uint64_t frame = 0, blocks = 0;
        const double f0 = 1000.0 + 1.0 / 3, w0 = 2 * std::numbers::pi * f0 / rate;
        for (int64_t now = 0; got.size() < n; now += kPeriodNs) {
            while (double(blocks) * block / rate / (1 + ppm * 1e-6) * kSecond <= double(now)) {
                for (size_t i = 0; i < block; ++i)
                    in[2 * i] = int16_t(std::lround(16000 * std::sin(w0 * double(frame++))));
                s->put(in.data(), in.size() * 2);
                ++blocks;
            }
            m->render(out.data(), pf);
            if (now >= 90 * kSecond)  // settled; the ratio still moves with the lumps
                for (size_t i = 0; i < pf; ++i) {
                    got.push_back(out[2 * i]);
                    worstRight = std::max(worstRight, std::abs(int(out[2 * i + 1])));
                }
        }
        got.resize(n);
        std::vector<std::complex<double>> spec(n);
        for (size_t i = 0; i < n; ++i) {  // 4-term Blackman-Harris: side lobes at -92 dB
            double t = 2 * std::numbers::pi * double(i) / double(n);
            double w = 0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2 * t) - 0.01168 * std::cos(3 * t);
            spec[i] = got[i] * w;
        }
        fft(spec);
        size_t peak = 1;
        for (size_t i = 1; i < n / 2; ++i)
            if (std::abs(spec[i]) > std::abs(spec[peak])) peak = i;
        EXPECT_NEAR(double(peak) * rate / n, f0 * (1 + ppm * 1e-6), 2.0);
        double worst = -400;
        for (size_t i = 1; i < n / 2; ++i) {
            if (i + 6 > peak && i < peak + 6) continue;  // the tone's own main lobe
            worst = std::max(worst, 20 * std::log10(std::abs(spec[i]) / std::abs(spec[peak]) + 1e-30));
        }
        EXPECT_LT(worst, kFloorDb) << "at " << ppm << " ppm";
        EXPECT_EQ(worstRight, 0) << "the channels stay apart";
        testing::Test::RecordProperty(ppm > 0 ? "worst_bin_db_fast" : "worst_bin_db_slow", std::to_string(worst));
    }
}

TEST(Steering, ControllerRatioStaysWithinItsBound) {
    FillController c;
    for (int i = 0; i < 10000; ++i) {
        double r = c.update(i % 2 ? 5.0 : 0.0, 0.06, 0.02);  // a wildly lumpy fill
        ASSERT_GE(r, 1 - FillController::kMaxDeviation - 1e-12);
        ASSERT_LE(r, 1 + FillController::kMaxDeviation + 1e-12);
    }
    EXPECT_GT(c.ratio(), 1.0);  // on average far too full: reads faster
}

// The engine's costs: one mixer period, and CPU per second of audio on the device clock.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "bass.h"
#include "mixer.h"
#include "source.h"

namespace {

using namespace bassx;

// Steered (resampling, like the push stream and the capture channel) or plain copying.
struct BenchSource : Source {
    explicit BenchSource(bool steered) : Source(Kind::Push, 44100, 2, 1.0, 60, steered) {}
};

struct NullSink : MixSink {
    uint64_t bytes = 0;
    void feed(const int16_t*, size_t n) override { bytes += n; }
};

// One 20 ms period: both sources refilled (the producers' share) and mixed, one with the
// volume effect at 0.5, the mix handed to a sink. Argument 1: steered sources, 0: plain.
void MixerPull20ms(benchmark::State& state) {
    auto mixer = std::make_shared<Mixer>(44100, 2, BASS_MIXER_NONSTOP);
    auto music = std::make_shared<BenchSource>(state.range(0) != 0);
    auto mic = std::make_shared<BenchSource>(state.range(0) != 0);
    music->setVolume(0.5f);
    mixer->addSource(music);
    mixer->addSource(mic);
    auto sink = std::make_shared<NullSink>();
    mixer->addSink(sink);
    const size_t frames = 882;
    std::vector<int16_t> block(frames * 2), out(frames * 2);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<int16_t>(std::sin(i * 0.05) * 20000);
    for (int i = 0; i < 3; ++i) {  // the jitter buffer, so that the sources play from the start
        music->put(block.data(), block.size() * 2);
        mic->put(block.data(), block.size() * 2);
    }
    for (auto _ : state) {
        music->put(block.data(), block.size() * 2);
        mic->put(block.data(), block.size() * 2);
        mixer->render(out.data(), frames);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frames * 4));
    state.counters["periods_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(MixerPull20ms)->Arg(1)->Arg(0);

// The sample tap's call for one host block of 576 stereo frames, through the handle table.
// A fresh stream every 256 blocks keeps the ring from filling (its 4 s hold about 300).
void StreamPutData576Frames(benchmark::State& state) {
    HSTREAM h = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
    std::vector<int16_t> block(576 * 2, 1234);
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(BASS_StreamPutData(h, block.data(), static_cast<DWORD>(block.size() * 2)));
        if (++n == 256) {
            state.PauseTiming();
            BASS_StreamFree(h);
            h = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
            n = 0;
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size() * 2));
    BASS_StreamFree(h);
}
BENCHMARK(StreamPutData576Frames);

// One tick of the window's meters: the peaks of the host stream, the capture channel (here a
// second push stream) and the mixer over the last 40 ms, through the handle table.
void MeterTickThreeLevels(benchmark::State& state) {
    HSTREAM host = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
    HSTREAM mic = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
    HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    BASS_Mixer_StreamAddChannel(mixer, host, 0);
    BASS_Mixer_StreamAddChannel(mixer, mic, 0);
    float level = 0;
    for (auto _ : state) {
        for (DWORD h : {host, mic, mixer}) benchmark::DoNotOptimize(BASS_ChannelGetLevelEx(h, &level, 0.04f, BASS_LEVEL_MONO));
    }
    BASS_StreamFree(host);
    BASS_StreamFree(mic);
    BASS_StreamFree(mixer);
}
BENCHMARK(MeterTickThreeLevels);

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The graph as the plug-in builds it (push stream with its volume effect, mixer on the
// device clock, no encoder process), fed in real time in 10 ms blocks for a fixed span.
void CpuPerAudioSecond(benchmark::State& state) {
    const auto span = std::chrono::seconds(state.range(0));
    for (auto _ : state) {
        if (!BASS_Init(0, 44100, 0, nullptr, nullptr)) {
            state.SkipWithError("BASS_Init failed");
            return;
        }
        HSTREAM host = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
        HFX fx = BASS_ChannelSetFX(host, BASS_FX_BFX_VOLUME, 0);
        BASS_BFX_VOLUME v{0, 0.5f};
        BASS_FXSetParameters(fx, &v);
        HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
        BASS_Mixer_StreamAddChannel(mixer, host, 0);
        BASS_ChannelSetAttribute(mixer, BASS_ATTRIB_VOL, 0.0f);
        std::vector<int16_t> block(441 * 2, 1000);
        double cpu0 = cpuSeconds();
        auto t0 = std::chrono::steady_clock::now();
        BASS_ChannelPlay(mixer, FALSE);
        auto next = t0;
        while (std::chrono::steady_clock::now() - t0 < span) {
            BASS_StreamPutData(host, block.data(), static_cast<DWORD>(block.size() * 2));
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
        }
        double audio = BASS_ChannelBytes2Seconds(host, BASS_Mixer_ChannelGetPosition(host, BASS_POS_BYTE));
        double cpu = cpuSeconds() - cpu0;
        BASS_ChannelStop(mixer);
        BASS_StreamFree(host);
        BASS_Free();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        state.counters["audio_s"] = audio;
        state.counters["cpu_s_per_audio_s"] = audio > 0 ? cpu / audio : 0;
    }
}
BENCHMARK(CpuPerAudioSecond)->Arg(5)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();

// DSPProc's cost per block on a live push stream, and proof that it allocates nothing.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "bass.h"
#include "plugin/sample_tap.h"
#include "settings/larkspur.h"

namespace {
std::atomic<long> allocations{0};
}

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr int frames = 576;

// A decoding push stream as connect builds it; the output device first where there is one.
HSTREAM liveStream() {
    static HSTREAM stream = [] {
        if (!BASS_Init(-1, 44100, 0, nullptr, nullptr)) BASS_Init(0, 44100, 0, nullptr, nullptr);
        return BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
    }();
    return stream;
}

void run(benchmark::State& state, int bps) {
    Larkspur record;
    record.hostStream = liveStream();
    if (record.hostStream == 0) {
        state.SkipWithError("the engine refused the push stream");
        return;
    }
    std::vector<unsigned char> block(static_cast<std::size_t>(frames) * 2 * (bps / 8));
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7);

    const long before = allocations.load();
    for (auto _ : state) benchmark::DoNotOptimize(dspProc(&record, block.data(), frames, bps, 2, 44100));
    const long made = allocations.load() - before;

    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * frames * 4);
    state.counters["allocs_per_call"] =
        benchmark::Counter(static_cast<double>(made) / static_cast<double>(state.iterations()));
}

void BM_DSPProc16BitStereo(benchmark::State& state) { run(state, 16); }
void BM_DSPProc24BitConverted(benchmark::State& state) { run(state, 24); }

// Without a connection the tap only reads the handle.
void BM_DSPProcNoStream(benchmark::State& state) {
    Larkspur record;
    std::vector<short> block(frames * 2);
    for (auto _ : state) benchmark::DoNotOptimize(dspProc(&record, block.data(), frames, 16, 2, 44100));
}

}  // namespace

BENCHMARK(BM_DSPProc16BitStereo);
BENCHMARK(BM_DSPProc24BitConverted);
BENCHMARK(BM_DSPProcNoStream);
BENCHMARK_MAIN();

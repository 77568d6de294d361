// DSPProc's cost per block on a live push stream, and proof that it allocates nothing.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
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

constexpr int blocksPerRound = 32;  // ~0.4 s of sound: well inside the push stream's ring

// A decoding push stream as connect builds it; a fresh one per round, so that every push
// lands in an empty ring instead of being dropped by a full one.
HSTREAM freshStream(HSTREAM old) {
    static const bool ready = BASS_Init(-1, 44100, 0, nullptr, nullptr) || BASS_Init(0, 44100, 0, nullptr, nullptr);
    (void)ready;
    if (old) BASS_StreamFree(old);
    return BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
}

void run(benchmark::State& state, int bps) {
    Larkspur record;
    std::vector<unsigned char> block(static_cast<std::size_t>(frames) * 2 * (bps / 8));
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7);

    long made = 0;
    HSTREAM stream = 0;
    for (auto _ : state) {
        stream = freshStream(stream);
        if (stream == 0) {
            state.SkipWithError("the engine refused the push stream");
            return;
        }
        record.hostStream = stream;
        const long before = allocations.load();
        const auto start = std::chrono::steady_clock::now();
        for (int b = 0; b < blocksPerRound; ++b)
            benchmark::DoNotOptimize(dspProc(&record, block.data(), frames, bps, 2, 44100));
        const auto end = std::chrono::steady_clock::now();
        made += allocations.load() - before;
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    if (stream) BASS_StreamFree(stream);

    const auto blocks = static_cast<std::int64_t>(state.iterations()) * blocksPerRound;
    state.SetItemsProcessed(blocks);
    state.SetBytesProcessed(blocks * frames * 4);
    state.counters["ns_per_block"] = benchmark::Counter(static_cast<double>(blocks) * 1e-9,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocs_per_call"] = benchmark::Counter(static_cast<double>(made) / static_cast<double>(blocks));
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

BENCHMARK(BM_DSPProc16BitStereo)->UseManualTime();
BENCHMARK(BM_DSPProc24BitConverted)->UseManualTime();
BENCHMARK(BM_DSPProcNoStream);
BENCHMARK_MAIN();

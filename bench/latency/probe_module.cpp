// A DSP module that stands between the player and the real module: it notes when each marker
// enters DSPProc, and how long the real DSPProc takes, then passes every call on unchanged.
// The real module's path is in LARKSPUR_PROBE_MODULE, the log goes to LARKSPUR_PROBE_LOG.
#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "onset.h"

namespace {

struct DspModule {
    const char* description;
    std::uintptr_t hwndParent;
    void* hDllInstance;
    int (*Config)(DspModule*);
    int (*Init)(DspModule*);
    int (*ModifySamples)(DspModule*, short*, int, int, int, int);
    int (*Quit)(DspModule*);
    void* userData;
};

struct DspHeader {
    int version;
    const char* description;
    DspModule* (*getModule)(int);
};

void* realHandle = nullptr;
DspHeader* realHeader = nullptr;
DspModule* real = nullptr;
DspModule wrapped{};
DspHeader header{0x20, "latency probe", nullptr};

// Filled on the playback thread, written out once at Quit: no allocation on that path.
struct Onset {
    std::int64_t ns;
    std::int64_t frame;
};
std::array<Onset, 1 << 16> onsets;
std::atomic<std::size_t> onsetCount{0};
std::int64_t framesSeen = 0;
latency::OnsetDetector detector;
// Time spent in the real DSPProc, in microsecond buckets (the last one collects the rest).
std::array<std::uint64_t, 2001> callMicros{};
std::int64_t maxCallNs = 0;
bool logWritten = false;

void writeLog() {
    if (logWritten) return;
    logWritten = true;
    const char* path = std::getenv("LARKSPUR_PROBE_LOG");
    if (!path) return;
    FILE* f = std::fopen(path, "w");
    if (!f) return;
    std::size_t n = std::min(onsetCount.load(), onsets.size());
    for (std::size_t i = 0; i < n; ++i)
        std::fprintf(f, "onset %lld %lld\n", (long long)onsets[i].ns, (long long)onsets[i].frame);
    std::fprintf(f, "frames %lld\n", (long long)framesSeen);
    for (std::size_t us = 0; us < callMicros.size(); ++us)
        if (callMicros[us]) std::fprintf(f, "call_us %zu %llu\n", us, (unsigned long long)callMicros[us]);
    std::fprintf(f, "call_max_ns %lld\n", (long long)maxCallNs);
    std::fclose(f);
}

int probeConfig(DspModule*) { return real->Config(real); }

int probeInit(DspModule* self) {
    real->hwndParent = self->hwndParent;
    real->hDllInstance = realHandle;
    return real->Init(real);
}

int probeQuit(DspModule*) {
    int r = real->Quit(real);
    writeLog();
    return r;
}

int probeModifySamples(DspModule*, short* samples, int numsamples, int bps, int nch, int srate) {
    std::int64_t t = latency::nowNs();
    if (bps == 16 && nch >= 1) {
        for (int i = 0; i < numsamples; ++i) {
            if (detector.push(samples[i * nch])) {
                std::size_t k = onsetCount.load(std::memory_order_relaxed);
                if (k < onsets.size()) onsets[k] = {t, framesSeen + i};
                onsetCount.store(k + 1, std::memory_order_relaxed);
            }
        }
    }
    framesSeen += numsamples;
    int r = real->ModifySamples(real, samples, numsamples, bps, nch, srate);
    std::int64_t spent = latency::nowNs() - t;
    maxCallNs = std::max(maxCallNs, spent);
    ++callMicros[std::min<std::size_t>(std::size_t(spent / 1000), callMicros.size() - 1)];
    return r;
}

DspModule* probeGetModule(int index) {
    if (index != 0 || !realHeader) return nullptr;
    real = realHeader->getModule(0);
    if (!real) return nullptr;
    wrapped = *real;
    wrapped.Config = probeConfig;
    wrapped.Init = probeInit;
    wrapped.ModifySamples = probeModifySamples;
    wrapped.Quit = probeQuit;
    return &wrapped;
}

struct Flush {
    ~Flush() { writeLog(); }
} flushAtExit;

}  // namespace

extern "C" __attribute__((visibility("default"))) DspHeader* winampDSPGetHeader2() {
    if (!realHeader) {
        const char* path = std::getenv("LARKSPUR_PROBE_MODULE");
        if (!path) {
            std::fprintf(stderr, "latency probe: LARKSPUR_PROBE_MODULE is not set\n");
            return nullptr;
        }
        realHandle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!realHandle) {
            std::fprintf(stderr, "latency probe: %s\n", dlerror());
            return nullptr;
        }
        auto get = reinterpret_cast<DspHeader* (*)()>(dlsym(realHandle, "winampDSPGetHeader2"));
        realHeader = get ? get() : nullptr;
        if (!realHeader) {
            std::fprintf(stderr, "latency probe: %s is not a DSP module\n", path);
            return nullptr;
        }
        header.description = realHeader->description;
        header.getModule = probeGetModule;
    }
    return &header;
}

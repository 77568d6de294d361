// Test double of a DSP module: records what the host calls, with which arguments and from which
// thread, into the file named by LARKSPUR_TEST_DSP_LOG (one line per event); with
// LARKSPUR_TEST_DSP_RAW it also keeps the samples it was given and writes them at Quit.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host_interface.h"

namespace {

void logLine(const std::string& line) {
    const char* path = std::getenv("LARKSPUR_TEST_DSP_LOG");
    if (!path) return;
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

std::size_t threadId() { return std::hash<std::thread::id>{}(std::this_thread::get_id()); }

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::size_t initThread = 0;
std::atomic<bool> dspOffInitThread{true};
std::atomic<std::int64_t> blocks{0}, badBlocks{0}, firstNs{0}, lastNs{0}, lateBlocks{0};
std::vector<std::int16_t> raw;  // sized at Init
std::atomic<std::size_t> rawUsed{0};

std::atomic<bool> quitDone{false};

int Config(winampDSPModule*) {
    logLine("config same_thread=" + std::to_string(threadId() == initThread));
    // Like an about box the user leaves open.
    if (std::getenv("LARKSPUR_TEST_DSP_CONFIG_BLOCKS"))
        while (true) std::this_thread::sleep_for(std::chrono::seconds(1));
    return 0;
}

int Init(winampDSPModule* m) {
    initThread = threadId();
    // The host hands its dlopen handle as the instance; dlopen of ourselves must give it back.
    Dl_info info{};
    bool instanceOk = false;
    if (dladdr(reinterpret_cast<void*>(&Init), &info) && info.dli_fname) {
        void* self = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
        instanceOk = self && self == m->hDllInstance;
        if (self) dlclose(self);
    }
    if (std::getenv("LARKSPUR_TEST_DSP_RAW")) raw.resize(std::size_t(44100) * 2 * 120);
    logLine("init hwnd=" + std::to_string(m->hwndParent) + " instance=" + std::to_string(instanceOk));
    return 0;
}

int ModifySamples(winampDSPModule*, short int* samples, int numsamples, int bps, int nch, int srate) {
    std::int64_t t = nowNs();
    if (quitDone.load()) ++lateBlocks;
    if (blocks.fetch_add(1) == 0) firstNs = t;
    lastNs = t;
    if (numsamples != 576 || bps != 16 || nch != 2 || srate != 44100) ++badBlocks;
    if (threadId() == initThread) dspOffInitThread = false;
    std::size_t n = static_cast<std::size_t>(numsamples) * 2;
    std::size_t at = rawUsed.load();
    if (at + n <= raw.size()) {
        std::memcpy(&raw[at], samples, n * sizeof(short));
        rawUsed = at + n;
    }
    return numsamples;
}

int Quit(winampDSPModule*) {
    if (quitDone.exchange(true)) logLine("quit again");
    logLine("quit blocks=" + std::to_string(blocks.load()) + " bad=" + std::to_string(badBlocks.load()) +
            " span_ns=" + std::to_string(lastNs.load() - firstNs.load()) +
            " same_thread=" + std::to_string(threadId() == initThread) +
            " dsp_off_ui=" + std::to_string(dspOffInitThread.load()));
    if (const char* path = std::getenv("LARKSPUR_TEST_DSP_RAW")) {
        if (FILE* f = std::fopen(path, "wb")) {
            std::fwrite(raw.data(), sizeof(std::int16_t), rawUsed.load(), f);
            std::fclose(f);
        }
    }
    return 0;
}

winampDSPModule* getModule(int index);

winampDSPModule module{const_cast<char*>("Counting DSP"), 0, nullptr, Config, Init, ModifySamples, Quit, nullptr};
winampDSPHeader header{DSP_HDRVER, const_cast<char*>("Counting DSP test double"), getModule};

winampDSPModule* getModule(int index) {
    logLine("module " + std::to_string(index));
    return index == 0 ? &module : nullptr;
}

struct Unload {
    ~Unload() { logLine("unload late=" + std::to_string(lateBlocks.load())); }
} unload;

}  // namespace

extern "C" __attribute__((visibility("default"))) winampDSPHeader* winampDSPGetHeader2() {
    logLine("header");
    return &header;
}

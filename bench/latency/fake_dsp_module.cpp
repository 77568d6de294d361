// A stand-in for the real module in the probe's tests: it negates every sample it is given
// and remembers what the probe handed on.
#include <cstdint>

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

int calls[4];  // Config, Init, ModifySamples, Quit
std::uintptr_t initParent = 0;

int config(DspModule*) { return ++calls[0], 7; }
int init(DspModule* self) {
    initParent = self->hwndParent;
    return ++calls[1], 0;
}
int modify(DspModule*, short* s, int n, int, int nch, int) {
    ++calls[2];
    for (int i = 0; i < n * nch; ++i) s[i] = short(-s[i]);
    return n;
}
int quit(DspModule*) { return ++calls[3], 0; }

DspModule module{"fake", 0, nullptr, config, init, modify, quit, nullptr};
DspModule* getModule(int i) { return i == 0 ? &module : nullptr; }
DspHeader header{0x20, "fake header", getModule};

}  // namespace

extern "C" __attribute__((visibility("default"))) DspHeader* winampDSPGetHeader2() { return &header; }
extern "C" __attribute__((visibility("default"))) int fakeCalls(int which) { return calls[which]; }
extern "C" __attribute__((visibility("default"))) std::uintptr_t fakeInitParent() { return initParent; }

// The DSP module records as the host sees them: the published header version 0x20 layout.
#pragma once

#include <cstdint>

namespace host {

struct DspModule {
    const char* description;
    std::uintptr_t hwndParent;  // the host's main window (X11 id); 0 = none
    void* hDllInstance;         // the loader's handle of the module
    int (*Config)(DspModule* self);
    int (*Init)(DspModule* self);
    int (*ModifySamples)(DspModule* self, short* samples, int numsamples, int bps, int nch, int srate);
    int (*Quit)(DspModule* self);
    void* userData;
};

struct DspHeader {
    int version;
    const char* description;
    DspModule* (*getModule)(int index);
};

using GetHeaderProc = DspHeader* (*)();

constexpr int kHeaderVersion = 0x20;

}  // namespace host

// The host's DSP plug-in records, in the published layout (header version 0x20).
#pragma once

#include <cstddef>

#include "desktop/desktop.h"

constexpr int DSP_HDRVER = 0x20;

struct winampDSPModule {
    char* description;
    desktop::NativeWindow hwndParent;  // filled in by the host before Init
    void* hDllInstance;                // filled in by the host
    int (*Config)(winampDSPModule* module);
    int (*Init)(winampDSPModule* module);
    int (*ModifySamples)(winampDSPModule* module, short int* samples, int numsamples, int bps, int nch,
                         int srate);
    int (*Quit)(winampDSPModule* module);
    void* userData;
};

struct winampDSPHeader {
    int version;
    char* description;
    winampDSPModule* (*getModule)(int index);
};

// The host reads the records by offset: every field is one machine word after its
// predecessor, the version's int padded to a word.
static_assert(offsetof(winampDSPModule, description) == 0 * sizeof(void*));
static_assert(offsetof(winampDSPModule, hwndParent) == 1 * sizeof(void*));
static_assert(offsetof(winampDSPModule, hDllInstance) == 2 * sizeof(void*));
static_assert(offsetof(winampDSPModule, Config) == 3 * sizeof(void*));
static_assert(offsetof(winampDSPModule, Init) == 4 * sizeof(void*));
static_assert(offsetof(winampDSPModule, ModifySamples) == 5 * sizeof(void*));
static_assert(offsetof(winampDSPModule, Quit) == 6 * sizeof(void*));
static_assert(offsetof(winampDSPModule, userData) == 7 * sizeof(void*));
static_assert(sizeof(winampDSPModule) == 8 * sizeof(void*));
static_assert(offsetof(winampDSPHeader, version) == 0);
static_assert(offsetof(winampDSPHeader, description) == sizeof(void*));
static_assert(offsetof(winampDSPHeader, getModule) == 2 * sizeof(void*));
static_assert(sizeof(winampDSPHeader) == 3 * sizeof(void*));
#if defined(_WIN32) && !defined(_WIN64)
// The shipped 32-bit module, in the published numbers.
static_assert(sizeof(winampDSPModule) == 32 && offsetof(winampDSPModule, ModifySamples) == 20 &&
              offsetof(winampDSPModule, userData) == 28);
static_assert(sizeof(winampDSPHeader) == 12 && offsetof(winampDSPHeader, getModule) == 8);
#endif

// The functions the records point at: the module's exports.
struct HostEntryPoints {
    winampDSPModule* (*getModule)(int index);
    int (*Config)(winampDSPModule* module);
    int (*Init)(winampDSPModule* module);
    int (*ModifySamples)(winampDSPModule* module, short int* samples, int numsamples, int bps, int nch,
                         int srate);
    int (*Quit)(winampDSPModule* module);
};

// Fills both records (header first) and returns the header; always the same address.
winampDSPHeader* fillHostRecords(const HostEntryPoints& entries);
// The module record for index 0, null for any other: the plug-in offers one module.
winampDSPModule* moduleRecord(int index);

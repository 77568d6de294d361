// The host's DSP plug-in records, in the published layout (header version 0x20).
#pragma once

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

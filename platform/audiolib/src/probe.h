// What the engine holds, for tests of lifetimes: read through the library without a name of
// the audio library's own.
#pragma once

#include <cstddef>

struct LarkspurEngineCounts {
    size_t handles;        // live handles
    size_t objects;        // engine objects alive, freed or not
    size_t heldNotices;    // deaths waiting for a notification callback
    size_t queuedNotices;  // notices waiting for the delivery thread
};

#if defined(_WIN32)
#define LARKSPUR_PROBE __declspec(dllexport)
#else
#define LARKSPUR_PROBE __attribute__((visibility("default")))
#endif

LARKSPUR_PROBE void larkspurEngineCounts(LarkspurEngineCounts* out);

// What the engine holds, for tests of lifetimes: read through the library without a name of
// the audio library's own.
#pragma once

#include <cstddef>

struct addrinfo;

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

// Makes the next pass of engine threads fail as running out of memory would there, once per
// point (fault_point.h: 1 the device clock, 2 an encoder's feeding thread, 4 its reading
// thread, 8 the capture callback, 16 a name lookup, 32 a title sender, 64 the figures'
// thread): their deaths must be reported, never silent.
LARKSPUR_PROBE void larkspurEngineFailThreads(unsigned points);

// The name lookup of every connect (getaddrinfo and freeaddrinfo when null): a name with
// addresses of a test's choosing, as a resolver would answer. Set while no connect starts.
typedef int (*LarkspurLookup)(const char* host, const char* service, const addrinfo* hints, addrinfo** res);
typedef void (*LarkspurRelease)(addrinfo* res);
LARKSPUR_PROBE void larkspurEngineSetLookup(LarkspurLookup lookup, LarkspurRelease release);

// Places where an engine thread can be made to fail on purpose, as running out of memory
// would make it fail there: tests show that such a death is reported, not silent.
#pragma once

#include <atomic>
#include <new>

namespace bassx::faults {

enum Point : unsigned {
    ClockRender = 1,     // the device clock, rendering a mixer
    EncoderWriter = 2,   // an encoder's thread that feeds its program
    EncoderReader = 4,   // an encoder's thread that reads its program's output
    CaptureRead = 8,     // the capture callback on the sound server's loop thread
    NameLookup = 16,     // a name lookup's own thread
    TitleSend = 32,      // a cast's title sender
    EngineFigures = 64,  // the thread that writes the engine's figures (LARKSPUR_ENGINE_STATS)
};

inline std::atomic<unsigned> armed{0};

// The next pass through each of these points throws once.
inline void arm(unsigned points) { armed.fetch_or(points); }

inline void check(Point p) {
    if (armed.load(std::memory_order_relaxed) & p && armed.fetch_and(~unsigned(p)) & p) throw std::bad_alloc();
}

}  // namespace bassx::faults

// Optional audible output through the sound server (libpulse simple API) or Windows' wave
// output. The playback thread
// only copies into a ring; a thread of its own does the blocking writes, so a slow or hung
// sound server never holds up the blocks handed to the module.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace host {

class AudioOut {
public:
    AudioOut();
    ~AudioOut();  // only after stop() returned true
    void start();
    // Playback thread: no lock, no allocation, no system call; drops what does not fit.
    void push(const std::int16_t* frames, std::size_t count);
    // True when the writer ended; false when it is stuck in the sound server (then this
    // object must be left alive: the writer still uses it).
    bool stop();

private:
    void run();

    std::vector<std::int16_t> ring_;  // stereo frames
    std::size_t capacity_;            // frames
    std::atomic<std::size_t> head_{0}, tail_{0};
    std::atomic<bool> stop_{false}, finished_{false};
    std::thread thread_;
};

// The platform's output, used by the writer thread alone. Blocking writes of stereo frames;
// false (the reason printed) when the output failed for good.
class SoundDevice {
public:
    virtual ~SoundDevice() = default;
    virtual bool write(const std::int16_t* frames, std::size_t count) = 0;
};

// Null (the reason printed) when there is no output: the player then plays silently.
std::unique_ptr<SoundDevice> openSoundDevice();

}  // namespace host

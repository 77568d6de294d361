// Peak levels of what a channel last delivered: noted by the mixer for each block it renders
// (for every source after its effects, and for the mix itself), read by BASS_ChannelGetLevel
// and BASS_ChannelGetLevelEx from any thread. No lock: each block's peaks are one atomic word.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace bassx {

class LevelMeter {
public:
    using Clock = std::chrono::steady_clock;
    // At the device clock's 20 ms periods, a little more than a second of blocks.
    static constexpr size_t kBlocks = 64;

    // Consumer side: `frames` frames of `chans` channels were delivered in a block of
    // `blockFrames` (the rest of the block was silence).
    void note(const int16_t* samples, size_t frames, size_t chans, size_t blockFrames, Clock::time_point now);

    struct Peaks {
        uint32_t left = 0, right = 0;  // 0..32768; a mono channel gives the same in both
    };
    // The highest peaks of the newest blocks that cover `frames` frames (at least one block).
    // Nothing noted within `staleAfter` (a stopped or stalled channel): silence.
    Peaks read(size_t frames, Clock::time_point now, Clock::duration staleAfter) const;

private:
    // left peak (16 bits) | right peak (16 bits) << 16 | block frames << 32
    std::array<std::atomic<uint64_t>, kBlocks> blocks_{};
    std::atomic<uint64_t> written_{0};
    std::atomic<int64_t> lastNs_{0};
};

}  // namespace bassx

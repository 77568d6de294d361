#include "level.h"

#include <algorithm>

namespace bassx {

namespace {

uint32_t magnitude(int16_t s) { return s < 0 ? uint32_t(-int32_t(s)) : uint32_t(s); }

}  // namespace

void LevelMeter::note(const int16_t* samples, size_t frames, size_t chans, size_t blockFrames,
                      Clock::time_point now) {
    uint32_t left = 0, right = 0;
    for (size_t f = 0; f < frames; ++f) {
        const int16_t* frame = samples + f * chans;
        left = std::max(left, magnitude(frame[0]));
        right = std::max(right, magnitude(frame[chans > 1 ? 1 : 0]));
    }
    const uint64_t word = uint64_t(left) | uint64_t(right) << 16 | uint64_t(uint32_t(blockFrames)) << 32;
    const uint64_t n = written_.load(std::memory_order_relaxed);
    blocks_[n % kBlocks].store(word, std::memory_order_relaxed);
    written_.store(n + 1, std::memory_order_release);
    lastNs_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count(),
                  std::memory_order_release);
}

LevelMeter::Peaks LevelMeter::read(size_t frames, Clock::time_point now, Clock::duration staleAfter) const {
    const uint64_t n = written_.load(std::memory_order_acquire);
    const auto last = Clock::time_point(std::chrono::nanoseconds(lastNs_.load(std::memory_order_acquire)));
    Peaks p;
    if (n == 0 || now - last > staleAfter) return p;
    size_t covered = 0;
    for (uint64_t i = 0; i < std::min<uint64_t>(n, kBlocks) && (i == 0 || covered < frames); ++i) {
        const uint64_t word = blocks_[(n - 1 - i) % kBlocks].load(std::memory_order_relaxed);
        p.left = std::max(p.left, uint32_t(word & 0xFFFF));
        p.right = std::max(p.right, uint32_t((word >> 16) & 0xFFFF));
        covered += size_t(word >> 32);
    }
    return p;
}

}  // namespace bassx

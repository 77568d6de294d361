// Marker onsets: a loud sample after a run of near-silence. Every stage of the latency
// measurement uses this one detector, so the same sample is found at each tap point.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace latency {

constexpr int kRate = 44100;
constexpr int kMarkPeriodFrames = kRate;        // one marker a second
constexpr int kMarkFrames = kRate / 20;         // 50 ms burst
constexpr int kMarkLevel = 16000;

// The marked programme: silence, then a 1 kHz square burst at the start of every period.
// The first burst comes half a period in, so a stream starting at 0 opens with silence.
inline std::int16_t markSample(std::int64_t frame) {
    std::int64_t p = (frame + kMarkPeriodFrames / 2) % kMarkPeriodFrames;
    if (p >= kMarkFrames) return 0;
    return ((p * 2000 / kRate) % 2) ? -kMarkLevel : kMarkLevel;
}

class OnsetDetector {
public:
    // One frame's left sample; true when it starts a marker. A band-limited path (the engine
    // resamples its sources) rings a little ahead of an edge: up to kLeadFrames of such
    // ringing between the quiet run and the first loud sample still make an onset.
    bool push(int sample) {
        int a = std::abs(sample);
        if (a < kLow) {
            ++quiet_;
            lead_ = 0;
            return false;
        }
        if (quiet_ >= kQuietFrames && lead_ < kLeadFrames) {
            if (a >= kHigh) {
                quiet_ = lead_ = 0;
                return true;
            }
            ++lead_;
            return false;
        }
        quiet_ = lead_ = 0;
        return false;
    }

private:
    static constexpr int kLow = 500, kHigh = 4000, kQuietFrames = kRate / 50, kLeadFrames = 32;
    int quiet_ = 0;
    int lead_ = 0;
};

inline std::int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace latency

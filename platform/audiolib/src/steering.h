// Clock steering for a mixer's sources. The producer (the host's sound card, the capture device)
// and the consumer (the engine's device clock) tick on different crystals, so a queue between
// them drifts empty or full. FillController turns the queue's fill into a resampling ratio that
// holds it at a target; Interpolator applies that ratio with a band-limited (windowed-sinc,
// polyphase) kernel, so the steering itself is inaudible. Both run on the consumer's thread only
// and allocate nothing after construction.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bassx {

// A PI loop on a low-passed fill, in seconds of queue. The loop's natural frequency is slow
// (about 0.05 rad/s, damping 0.7): a drift step of 1000 ppm moves the fill by under 10 ms. The
// fill seen at each pull ripples by a block or a period as a lumpy producer beats against the
// clock; any ripple left in the ratio frequency-modulates the audio, so the fill estimate is
// low-passed hard (three stages) before it reaches the ratio.
class FillController {
public:
    static constexpr double kMaxDeviation = 0.005;  // the ratio stays within 1 +- 0.5 %
    static constexpr double kMaxDrift = 0.002;      // the drift it learns: twice what a crystal does

    // dt: seconds since the last update; fill: seconds queued now. Returns the new ratio
    // (input frames per output frame).
    double update(double fill, double target, double dt);
    // After a gap: the fill estimate restarts at the target; the learnt drift is kept, since
    // the clocks did not change.
    void restart(double target) {
        for (double& e : estimate_) e = target;
    }
    double ratio() const { return ratio_; }
    // The integral term: the drift between producer and consumer the loop has learnt.
    double drift() const { return integral_; }

private:
    double estimate_[3] = {0, 0, 0};  // three low-pass stages: a lump must not reach the ratio
    double integral_ = 0;
    double ratio_ = 1.0;
};

// Interpolates planar samples at fractional positions.
class Interpolator {
public:
    static constexpr int kHalfTaps = 16;  // frames each side of the position
    static constexpr int kTaps = 2 * kHalfTaps;

    // out[c] = the signal at position `frame + frac` of channel c, whose samples are the plane
    // in[c * stride ...]. Needs frames frame - kHalfTaps + 1 .. frame + kHalfTaps in each plane.
    static void at(const float* in, size_t stride, size_t chans, size_t frame, double frac, float* out);

    // n interleaved 16-bit output frames from position `pos` on, one every `step` input
    // frames; pos is left at the next output's position.
    static void run(const float* in, size_t stride, size_t chans, double& pos, double step, size_t n, int16_t* out);
};

}  // namespace bassx

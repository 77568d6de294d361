#include "steering.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

namespace bassx {

namespace {

// Loop constants for omega 0.05 rad/s, damping 0.7 (see the header).
constexpr double kOmega = 0.05;
constexpr double kKp = 2 * 0.7 * kOmega;
constexpr double kKi = kOmega * kOmega;
constexpr double kEstimateSeconds = 2.0;  // time constant of each stage of the fill estimate

constexpr int kPhases = 512;  // between two phases the coefficients are interpolated linearly
constexpr double kCutoff = 0.45;  // cycles per frame: below the band edge, above 19 kHz at 44.1 kHz
constexpr double kBeta = 9.0;     // Kaiser window: images about 90 dB down

double besselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 40; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
        if (term < sum * 1e-17) break;
    }
    return sum;
}

using Table = std::array<std::array<float, Interpolator::kTaps>, kPhases + 1>;

// Row p holds the kernel for the fraction p / kPhases; tap j weighs frame (floor - kHalfTaps + 1 + j).
Table makeTable() {
    Table t{};
    const double norm = besselI0(kBeta);
    for (int p = 0; p <= kPhases; ++p) {
        double frac = double(p) / kPhases, sum = 0;
        std::array<double, Interpolator::kTaps> h{};
        for (int j = 0; j < Interpolator::kTaps; ++j) {
            double x = (Interpolator::kHalfTaps - 1 - j) + frac;  // distance from the position
            double arg = 2 * kCutoff * x;
            double sinc = std::abs(arg) < 1e-12 ? 1.0 : std::sin(std::numbers::pi * arg) / (std::numbers::pi * arg);
            double w = x / Interpolator::kHalfTaps;
            double win = std::abs(w) >= 1 ? 0.0 : besselI0(kBeta * std::sqrt(1 - w * w)) / norm;
            h[size_t(j)] = sinc * win;
            sum += h[size_t(j)];
        }
        for (int j = 0; j < Interpolator::kTaps; ++j) t[size_t(p)][size_t(j)] = float(h[size_t(j)] / sum);  // DC gain 1
    }
    return t;
}

const Table& table() {
    static const Table t = makeTable();
    return t;
}

// Built when the engine loads, not on the mixer's first period.
[[maybe_unused]] const Table& kBuiltEarly = table();

}  // namespace

double FillController::update(double fill, double target, double dt) {
    const double a = std::min(1.0, dt / kEstimateSeconds);
    double x = fill;
    for (double& e : estimate_) x = e += (x - e) * a;
    const double err = x - target;  // too full: read faster
    const double p = kKp * err;
    // The integral learns the clocks' drift only: not while the ratio is pinned at its bound by
    // a lump (a burst after a stall), or it winds up and empties the queue once the lump is gone.
    const double u = p + integral_;
    const bool pinned = (u >= kMaxDeviation && err > 0) || (u <= -kMaxDeviation && err < 0);
    if (!pinned) integral_ = std::clamp(integral_ + kKi * err * dt, -kMaxDrift, kMaxDrift);
    ratio_ = 1.0 + std::clamp(p + integral_, -kMaxDeviation, kMaxDeviation);
    return ratio_;
}

namespace {

// Four floats in one register (GCC and Clang vector extensions; SSE on x86).
typedef float Vec4 __attribute__((vector_size(16)));

inline Vec4 load4(const float* p) {
    Vec4 v;
    std::memcpy(&v, p, sizeof v);  // unaligned
    return v;
}

inline void kernelAt(const Table& t, double frac, float* k) {
    double ph = frac * kPhases;
    int p = std::min(int(ph), kPhases - 1);
    float mix = float(ph - p);
    const float* a = t[size_t(p)].data();
    const float* b = t[size_t(p) + 1].data();
    for (int j = 0; j < Interpolator::kTaps; ++j) k[j] = a[j] + (b[j] - a[j]) * mix;
}

inline float dot(const float* k, const float* x) {
    Vec4 a = load4(k) * load4(x), b = load4(k + 4) * load4(x + 4);
    for (int j = 8; j < Interpolator::kTaps; j += 8) {
        a += load4(k + j) * load4(x + j);
        b += load4(k + j + 4) * load4(x + j + 4);
    }
    a += b;
    return (a[0] + a[2]) + (a[1] + a[3]);
}

// Rounded to the nearest, saturated; no library call (without SSE4.1 std::nearbyint is one).
inline int16_t toSample(float x) {
    x = std::clamp(x, -32768.0f, 32767.0f);
    return static_cast<int16_t>(static_cast<int>(x + (x >= 0 ? 0.5f : -0.5f)));
}

}  // namespace

void Interpolator::at(const float* in, size_t stride, size_t chans, size_t frame, double frac, float* out) {
    alignas(32) float k[kTaps];
    kernelAt(table(), frac, k);
    for (size_t c = 0; c < chans; ++c) out[c] = dot(k, in + c * stride + frame + 1 - kHalfTaps);
}

void Interpolator::run(const float* in, size_t stride, size_t chans, double& pos, double step, size_t n,
                       int16_t* out) {
    const Table& t = table();
    alignas(32) float k[kTaps];
    for (size_t i = 0; i < n; ++i, pos += step) {
        size_t whole = static_cast<size_t>(pos);  // pos is never negative
        kernelAt(t, pos - double(whole), k);
        const float* x = in + whole + 1 - kHalfTaps;
        for (size_t c = 0; c < chans; ++c) out[i * chans + c] = toSample(dot(k, x + c * stride));
    }
}

}  // namespace bassx

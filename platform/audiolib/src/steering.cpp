#include "steering.h"

#include <algorithm>
#include <array>
#include <cmath>

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
            double sinc = std::abs(arg) < 1e-12 ? 1.0 : std::sin(M_PI * arg) / (M_PI * arg);
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
    double err = x - target;  // too full: read faster
    integral_ = std::clamp(integral_ + kKi * err * dt, -kMaxDeviation, kMaxDeviation);
    ratio_ = 1.0 + std::clamp(kKp * err + integral_, -kMaxDeviation, kMaxDeviation);
    return ratio_;
}

void Interpolator::at(const int16_t* in, size_t chans, size_t frame, double frac, float* out) {
    const Table& t = table();
    double ph = frac * kPhases;
    int p = std::min(int(ph), kPhases - 1);
    float mix = float(ph - p);
    const auto& a = t[size_t(p)];
    const auto& b = t[size_t(p) + 1];
    float k[kTaps];
    for (int j = 0; j < kTaps; ++j) k[j] = a[size_t(j)] + (b[size_t(j)] - a[size_t(j)]) * mix;
    const int16_t* base = in + (frame + 1 - kHalfTaps) * chans;
    for (size_t c = 0; c < chans; ++c) {
        float acc = 0;
        for (int j = 0; j < kTaps; ++j) acc += k[j] * float(base[size_t(j) * chans + c]);
        out[c] = acc;
    }
}

}  // namespace bassx

// The player's rate conversion on its own: what a listener would notice (pitch, aliasing,
// duration) and that feeding it in pieces changes nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "track_source.h"

namespace {

std::vector<float> sine(double hz, int rate, std::size_t frames, double amp = 0.5) {
    std::vector<float> st(frames * 2);
    for (std::size_t i = 0; i < frames; ++i)
        st[2 * i] = st[2 * i + 1] = static_cast<float>(amp * std::sin(2 * M_PI * hz * double(i) / rate));
    return st;
}

std::vector<float> convert(const std::vector<float>& in, int from, int to, std::size_t piece) {
    host::Resampler r(from, to);
    std::vector<float> out, tmp(2 * 1000);
    for (std::size_t at = 0; at < in.size() / 2; at += piece) {
        std::size_t n = std::min(piece, in.size() / 2 - at);
        r.push(&in[2 * at], n);
        while (std::size_t got = r.pull(tmp.data(), 1000, false))
            out.insert(out.end(), tmp.begin(), tmp.begin() + 2 * got);
    }
    while (std::size_t got = r.pull(tmp.data(), 1000, true))
        out.insert(out.end(), tmp.begin(), tmp.begin() + 2 * got);
    return out;
}

double rms(const std::vector<float>& st, std::size_t from, std::size_t to) {
    double s = 0;
    for (std::size_t i = from; i < to; ++i) s += double(st[2 * i]) * st[2 * i];
    return std::sqrt(s / double(to - from));
}

TEST(Resampler, UpsamplingFollowsTheTrueWaveform) {
    auto out = convert(sine(1000, 22050, 22050), 22050, 44100, 4096);
    ASSERT_EQ(out.size() / 2, 44100u);
    double worst = 0;
    for (std::size_t i = 1000; i < 43000; ++i)
        worst = std::max(worst, std::abs(out[2 * i] - 0.5 * std::sin(2 * M_PI * 1000 * double(i) / 44100)));
    EXPECT_LT(worst, 2e-3) << "interpolation error of a 1 kHz tone";
}

TEST(Resampler, DownsamplingRemovesWhatTheNewRateCannotCarry) {
    // 23 kHz fits 48000 Hz but not 44100 Hz: it must go, not fold back to 21.1 kHz.
    auto out = convert(sine(23000, 48000, 48000), 48000, 44100, 4096);
    ASSERT_EQ(out.size() / 2, 44100u) << "one second stays one second";
    EXPECT_LT(rms(out, 2000, 42000), 0.5 / std::sqrt(2.0) * 0.01) << "less than -40 dB left";
    auto kept = convert(sine(10000, 48000, 48000), 48000, 44100, 4096);
    EXPECT_NEAR(rms(kept, 2000, 42000), 0.5 / std::sqrt(2.0), 0.01) << "the pass band keeps its level";
}

TEST(Resampler, PiecesAndLengthsDoNotMatter) {
    auto in = sine(440, 32000, 32001);
    auto whole = convert(in, 32000, 44100, 32001);
    auto bits = convert(in, 32000, 44100, 7);
    EXPECT_EQ(whole.size() / 2, static_cast<std::size_t>(std::ceil(32001.0 * 44100 / 32000)));
    ASSERT_EQ(whole.size(), bits.size());
    for (std::size_t i = 0; i < whole.size(); ++i) ASSERT_FLOAT_EQ(whole[i], bits[i]) << i;

    auto same = convert(in, 44100, 44100, 100);
    EXPECT_EQ(same, in) << "equal rates pass through";
}

}  // namespace

#include "latency_analysis.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace latency;

namespace {

std::string markedPcm(std::int64_t frames) {
    std::string out;
    for (std::int64_t f = 0; f < frames; ++f) {
        std::int16_t s = markSample(f);
        out.append(reinterpret_cast<const char*>(&s), 2);
        out.append(reinterpret_cast<const char*>(&s), 2);
    }
    return out;
}

// One MPEG-1 layer III frame at 128 kb/s, 44100 Hz: 417 bytes, 418 with the padding bit.
std::string frame(bool padded, const std::string& body = "") {
    std::string f = {char(0xff), char(0xfb), char(padded ? 0x92 : 0x90), char(0x00)};
    f += body;
    f.resize(padded ? 418 : 417, '\0');
    return f;
}

}  // namespace

TEST(PcmOnsets, FindsEachMarkerWhateverTheReadSizes) {
    const std::string pcm = markedPcm(3 * kRate);
    const std::vector<std::int64_t> want = {kRate / 2, kRate / 2 + kRate, kRate / 2 + 2 * kRate};

    PcmOnsets whole;
    EXPECT_EQ(whole.push(pcm.data(), pcm.size()), want);

    // Reads that split frames and even samples must not shift or lose a marker.
    for (std::size_t piece : {1u, 3u, 7u, 4096u, 65537u}) {
        PcmOnsets split;
        std::vector<std::int64_t> got;
        for (std::size_t i = 0; i < pcm.size(); i += piece) {
            auto found = split.push(pcm.data() + i, std::min(piece, pcm.size() - i));
            got.insert(got.end(), found.begin(), found.end());
        }
        EXPECT_EQ(got, want) << "piece " << piece;
        EXPECT_EQ(split.frames(), 3 * kRate);
    }
}

TEST(PcmOnsets, NeedsSilenceBeforeAnOnset) {
    // A loud signal with no quiet run (music, a tone) is not a marker.
    std::string loud;
    for (int f = 0; f < kRate; ++f) {
        std::int16_t s = (f / 20) % 2 ? 9000 : -9000;
        loud.append(reinterpret_cast<const char*>(&s), 2);
        loud.append(reinterpret_cast<const char*>(&s), 2);
    }
    PcmOnsets d;
    EXPECT_TRUE(d.push(loud.data(), loud.size()).empty());
}

TEST(PcmOnsets, ToleratesRingingAheadOfABandLimitedEdge) {
    // Quiet, a few samples of pre-ringing above the quiet level, then the edge: one onset, at
    // the first loud sample. Ringing that goes on is not an edge.
    auto pcm = [](std::initializer_list<std::pair<int, std::int16_t>> runs) {
        std::string out;
        for (auto [n, v] : runs)
            for (int f = 0; f < n; ++f) {
                out.append(reinterpret_cast<const char*>(&v), 2);
                out.append(reinterpret_cast<const char*>(&v), 2);
            }
        return out;
    };
    std::string edge = pcm({{kRate / 10, 0}, {3, 900}, {2, -1400}, {1, 200}, {4, 16000}});
    PcmOnsets d;
    EXPECT_EQ(d.push(edge.data(), edge.size()), std::vector<std::int64_t>{kRate / 10 + 6});
    std::string noise = pcm({{kRate / 10, 0}, {200, 900}, {4, 16000}});
    PcmOnsets n;
    EXPECT_TRUE(n.push(noise.data(), noise.size()).empty());
}

TEST(Mp3Frames, CountsFramesSkipsTheInfoFrameAndResynchronises) {
    int spf = 0;
    std::string stream = "garbage" + frame(false, std::string(32, '\0') + "Info") + frame(false) + frame(true) +
                         frame(false);
    auto ends = mp3FrameEnds(stream, spf);
    EXPECT_EQ(spf, 1152);
    // The Info frame is skipped; offsets count from the start of the stream, garbage included.
    const std::int64_t base = 7 + 417;
    EXPECT_EQ(ends, (std::vector<std::int64_t>{base + 417, base + 417 + 418, base + 417 + 418 + 417}));

    // A frame cut off at the end has not fully left the encoder yet.
    stream.resize(stream.size() - 1);
    EXPECT_EQ(mp3FrameEnds(stream, spf).size(), 2u);
    EXPECT_TRUE(mp3FrameEnds("", spf).empty());
}

TEST(Mp3Frames, Mpeg2FramesCarry576Samples) {
    // MPEG-2 layer III, 64 kb/s, 22050 Hz: 72000 * 64 / 22050 = 208 bytes.
    std::string f = {char(0xff), char(0xf3), char(0x80), char(0x00)};
    f.resize(208, '\0');
    int spf = 0;
    auto ends = mp3FrameEnds(f + f, spf);
    EXPECT_EQ(spf, 576);
    EXPECT_EQ(ends, (std::vector<std::int64_t>{208, 416}));
}

TEST(AudioStart, FollowsTheSourceHeader) {
    EXPECT_EQ(audioStart("secret\r\nicy-name:x\r\ncontent-type:audio/mpeg\r\n\r\n\xff\xfb"), 47);
    EXPECT_EQ(audioStart("secret\r\nicy-name:x\r\n"), -1);
}

TEST(Follow, SplitsEachMarkerIntoItsStages) {
    // Three 417-byte frames after no Info frame; the encoder emits them at 100, 200, 300 ms.
    Timeline t;
    t.frameEnds = {417, 834, 1251};
    t.encOut = {{100'000'000, 417}, {200'000'000, 834}, {300'000'000, 1251}};
    // A marker at encoder frame 0 is carried by frame (0 + 1105) / 1152 = 0; one at 100 by frame 1;
    // one at 2000 by frame 2.
    t.encIn = {{50'000'000, 0}, {60'000'000, 100}, {70'000'000, 2000}};
    // Before the connection a marker entered DSPProc that never reached the encoder.
    t.dsp = {{-2'000'000'000, 0}, {40'000'000, 0}, {45'000'000, 0}, {69'000'000, 0}};
    t.sent = {{110'000'000, 50 + 417}, {330'000'000, 50 + 1251}};
    t.sentAudioStart = 50;

    Latencies l = follow(t);
    EXPECT_EQ(l.queueing, (std::vector<double>{5, 15, 1}));
    EXPECT_EQ(l.encoder, (std::vector<double>{50, 140, 230}));
    EXPECT_EQ(l.sending, (std::vector<double>{10, 130, 30}));
    EXPECT_EQ(l.total, (std::vector<double>{65, 285, 261}));
}

TEST(Follow, LeavesOutMarkersItCannotFollow) {
    Timeline t;
    t.frameEnds = {417};
    t.encOut = {{100'000'000, 417}};
    // The second marker's frame was never emitted (the encoder ended first).
    t.encIn = {{50'000'000, 0}, {60'000'000, 5000}};
    EXPECT_EQ(follow(t).encoder, (std::vector<double>{50}));

    // A marker with no DSPProc onset within a period before it is not matched to an old one.
    t.dsp = {{50'000'000 - 2'000'000'000, 0}};
    Latencies l = follow(t);
    EXPECT_TRUE(l.queueing.empty());
    EXPECT_TRUE(l.encoder.empty());

    // With a proxy, a frame that never left for the server leaves the marker out.
    t.dsp.clear();
    t.sentAudioStart = 10;
    t.sent = {{120'000'000, 100}};
    EXPECT_TRUE(follow(t).encoder.empty());
}

TEST(GridSlips, ShowsSilenceInsertedOrSamplesLost) {
    std::vector<Event> in = {{0, 22050}, {0, 22050 + kRate}, {0, 22050 + 2 * kRate + 300}, {0, 22050 + 3 * kRate}};
    EXPECT_EQ(gridSlips(in), (std::vector<std::int64_t>{0, 300, -300}));
    // A marker the detector missed leaves a two-period step, not a slip.
    EXPECT_EQ(gridSlips({{0, 100}, {0, 100 + 2 * kRate}}), (std::vector<std::int64_t>{0}));
    EXPECT_TRUE(gridSlips({{0, 100}}).empty());
}

TEST(Summarise, NearestRankQuantiles) {
    std::vector<double> v;
    for (int i = 100; i >= 1; --i) v.push_back(i);
    Summary s = summarise(v);
    EXPECT_EQ(s.n, 100u);
    EXPECT_EQ(s.median, 50);
    EXPECT_EQ(s.p95, 95);
    EXPECT_EQ(s.max, 100);
    // Few values: the 95th percentile is the largest, not an interpolation below it.
    s = summarise({3, 1, 2});
    EXPECT_EQ(s.median, 2);
    EXPECT_EQ(s.p95, 3);
    EXPECT_EQ(summarise({}).n, 0u);
}

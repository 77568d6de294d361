// The sample tap: what reaches the host stream for each kind of block the host renders.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fake_bass.h"
#include "plugin/sample_tap.h"
#include "settings/larkspur.h"

namespace {

constexpr HSTREAM stream = 7;

class SampleTap : public ::testing::Test {
protected:
    void SetUp() override {
        fake_bass::reset();
        record.hostStream = stream;
    }

    // Every pushed byte, as 16-bit samples, in push order.
    static std::vector<std::int16_t> pushedSamples() {
        std::vector<unsigned char> bytes;
        for (const auto& c : fake_bass::callsTo("BASS_StreamPutData")) {
            EXPECT_EQ(c.ints.at(0), stream);
            bytes.insert(bytes.end(), c.bytes.begin(), c.bytes.end());
        }
        std::vector<std::int16_t> samples(bytes.size() / 2);
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
        return samples;
    }

    Larkspur record;
};

std::vector<std::uint8_t> little(std::initializer_list<std::int64_t> values, int width) {
    std::vector<std::uint8_t> out;
    for (std::int64_t v : values)
        for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i)));
    return out;
}

}  // namespace

TEST_F(SampleTap, SixteenBitStereoIsPushedAsItIs) {
    std::vector<std::int16_t> block(576 * 2);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::int16_t>(i * 37 - 20000);
    const auto copy = block;

    EXPECT_EQ(dspProc(&record, block.data(), 576, 16, 2, 44100), 576);
    const auto pushes = fake_bass::callsTo("BASS_StreamPutData");
    ASSERT_EQ(pushes.size(), 1u);
    EXPECT_EQ(pushes[0].ints.at(1), 2304);
    EXPECT_EQ(pushedSamples(), block);
    EXPECT_EQ(block, copy);
}

TEST_F(SampleTap, WiderAndNarrowerSamplesArriveAsTheirTopSixteenBits) {
    struct Case {
        int bps;
        std::vector<std::uint8_t> bytes;  // two stereo frames
        std::vector<std::int16_t> expected;
    };
    const std::vector<Case> cases{
        {24, little({0x123456, -1, 0x7fffff, -0x800000}, 3), {0x1234, -1, 0x7fff, -32768}},
        {32, little({0x12345678, -1, 0x7fffffff, -0x80000000LL}, 4), {0x1234, -1, 0x7fff, -32768}},
        {8, {128, 0, 255, 129}, {0, -32768, 32512, 256}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bps);
        fake_bass::reset();
        auto block = c.bytes;
        EXPECT_EQ(dspProc(&record, block.data(), 2, c.bps, 2, 44100), 2);
        EXPECT_EQ(pushedSamples(), c.expected);
        EXPECT_EQ(block, c.bytes);  // the host's block is left alone
    }
}

TEST_F(SampleTap, MonoIsSpreadOverBothChannels) {
    std::vector<std::int16_t> mono{100, -200, 300};
    EXPECT_EQ(dspProc(&record, mono.data(), 3, 16, 1, 22050), 3);
    EXPECT_EQ(pushedSamples(), (std::vector<std::int16_t>{100, 100, -200, -200, 300, 300}));

    fake_bass::reset();
    std::vector<std::uint8_t> mono8{0, 192};
    dspProc(&record, mono8.data(), 2, 8, 1, 22050);
    EXPECT_EQ(pushedSamples(), (std::vector<std::int16_t>{-32768, -32768, 16384, 16384}));
}

TEST_F(SampleTap, OfMoreChannelsTheFrontPairIsCarried) {
    // 5.1 in 16 bit, long enough to cross a chunk; then 24-bit quad.
    const int frames = 700;
    std::vector<std::int16_t> surround;
    std::vector<std::int16_t> expected;
    for (int f = 0; f < frames; ++f)
        for (int ch = 0; ch < 6; ++ch) {
            surround.push_back(static_cast<std::int16_t>(f * 10 + ch));
            if (ch < 2) expected.push_back(static_cast<std::int16_t>(f * 10 + ch));
        }
    const auto copy = surround;
    EXPECT_EQ(dspProc(&record, surround.data(), frames, 16, 6, 48000), frames);
    EXPECT_EQ(pushedSamples(), expected);
    EXPECT_EQ(fake_bass::pushedBytes(), std::uint64_t(frames) * 4);
    EXPECT_EQ(surround, copy);

    fake_bass::reset();
    auto quad = little({0x010000, 0x020000, 0x030000, 0x040000, -0x800000, 0x7fffff, 0, 0}, 3);
    EXPECT_EQ(dspProc(&record, quad.data(), 2, 24, 4, 44100), 2);
    EXPECT_EQ(pushedSamples(), (std::vector<std::int16_t>{0x0100, 0x0200, -32768, 0x7fff}));
}

TEST_F(SampleTap, LongBlocksAreConvertedInOrderAcrossChunks) {
    const int frames = 1500;
    std::vector<std::uint8_t> block;
    std::vector<std::int16_t> expected;
    for (int f = 0; f < frames; ++f)
        for (int ch = 0; ch < 2; ++ch) {
            const std::int16_t top = static_cast<std::int16_t>(f * 2 + ch - 1500);
            const auto value = static_cast<std::uint32_t>(static_cast<std::int32_t>(top) * 256 + 0x55);
            for (int i = 0; i < 3; ++i) block.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
            expected.push_back(top);
        }
    EXPECT_EQ(dspProc(&record, block.data(), frames, 24, 2, 44100), frames);
    EXPECT_GT(fake_bass::count("BASS_StreamPutData"), 1u);
    EXPECT_EQ(pushedSamples(), expected);
    EXPECT_EQ(fake_bass::pushedBytes(), 6000u);
}

TEST_F(SampleTap, BlocksItCannotCarryQueueNothing) {
    std::vector<std::int16_t> block(64 * 6, 1000);
    struct Case {
        int numsamples, bps, nch;
    };
    for (const Case& c : {Case{64, 12, 2}, Case{64, 12, 6}, Case{64, 16, 0}, Case{64, 16, -2}, Case{0, 16, 2}, Case{-5, 16, 2}}) {
        SCOPED_TRACE(testing::Message() << c.numsamples << " " << c.bps << " " << c.nch);
        fake_bass::reset();
        EXPECT_EQ(dspProc(&record, block.data(), c.numsamples, c.bps, c.nch, 44100), c.numsamples);
        const auto pushes = fake_bass::callsTo("BASS_StreamPutData");
        ASSERT_EQ(pushes.size(), 1u);
        EXPECT_EQ(pushes[0].ints.at(1), 0);
    }
    fake_bass::reset();
    EXPECT_EQ(dspProc(&record, nullptr, 576, 16, 2, 44100), 576);
    EXPECT_EQ(fake_bass::pushedBytes(), 0u);
}

TEST_F(SampleTap, NothingIsPushedWithoutAHostStream) {
    record.hostStream = 0;
    std::vector<std::int16_t> block(576 * 2, 5);
    for (int bps : {8, 16, 24, 32}) EXPECT_EQ(dspProc(&record, block.data(), 576, bps, 2, 44100), 576);
    EXPECT_EQ(fake_bass::count("BASS_StreamPutData"), 0u);
}

TEST_F(SampleTap, ARefusedPushDoesNotStopTheNextBlock) {
    fake_bass::fail("BASS_StreamPutData", BASS_ERROR_HANDLE);
    std::vector<std::int16_t> block(8, 3);
    EXPECT_EQ(dspProc(&record, block.data(), 4, 16, 2, 44100), 4);
    EXPECT_EQ(dspProc(&record, block.data(), 4, 16, 2, 44100), 4);
    EXPECT_EQ(fake_bass::pushedBytes(), 16u);
}

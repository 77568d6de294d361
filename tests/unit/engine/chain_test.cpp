// Chained Ogg streams with the real opusenc and flac: a title starts a link that carries it,
// and the audio goes on across the seam without a sample lost or repeated.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../support/encoder_output.h"
#include "../../support/ogg_links.h"
#include "chain.h"
#include "encoder.h"

namespace {

using namespace std::chrono_literals;
using bassx::Encoder;

constexpr int kRate = 44100;
constexpr int kBlock = 882;  // frames per mixer period

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A signal no block repeats: a seam that drops or doubles samples cannot hide in it.
std::vector<int16_t> programme(int frames) {
    std::vector<int16_t> s(static_cast<size_t>(frames) * 2);
    std::uint32_t noise = 12345;
    for (int i = 0; i < frames; ++i) {
        noise = noise * 1664525u + 1013904223u;
        const double tone = 8000 * std::sin(2 * M_PI * 440 * i / kRate) + 4000 * std::sin(2 * M_PI * 1250.5 * i / kRate);
        s[2 * size_t(i)] = static_cast<int16_t>(tone + static_cast<int16_t>(noise >> 16) / 16);
        s[2 * size_t(i) + 1] = static_cast<int16_t>(-tone);
    }
    return s;
}

// Feeds as a mixer would, block by block, at the encoder's pace instead of the clock's: a title
// falls between two blocks. Ends once every link but the last is read to its end.
void run(Encoder& enc, const std::vector<int16_t>& samples, const std::vector<std::pair<int, std::string>>& titles) {
    const size_t blocks = samples.size() / 2 / kBlock;
    size_t next = 0;
    for (size_t b = 0; b < blocks; ++b) {
        if (next < titles.size() && size_t(titles[next].first) == b) {
            ASSERT_EQ(enc.castSetTitle(titles[next++].second, ""), BASS_OK);
        }
        ASSERT_TRUE(eventually([&] { return enc.inputQueued() < size_t(kRate) * 4 / 2; }, 20s));
        enc.feed(samples.data() + b * kBlock * 2, kBlock * 4);
    }
    ASSERT_EQ(enc.inputDropped(), 0u);
    ASSERT_TRUE(eventually([&] { return enc.runs() == 1; }, 20s));
}

std::string tempPath(const char* tag) {
    return "/tmp/larkspur-chain-" + std::to_string(::getpid()) + "-" + tag;
}

std::vector<int16_t> decode(const std::string& command) {
    std::vector<int16_t> out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    int16_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 2, 4096, p)) > 0) out.insert(out.end(), buf, buf + n);
    EXPECT_EQ(::pclose(p), 0) << command;
    return out;
}

void save(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

TEST(ChainArgs, TagsAndSerialGoRightAfterTheProgram) {
    const std::vector<std::string> opus{"/x y/opusenc", "--raw", "-", "-"};
    EXPECT_EQ(bassx::chain::linkArgs(BASS_ENCODE_CHAIN_OPUS, opus, 0x80000007u, "Chet Baker - Almost Blue - Live"),
              (std::vector<std::string>{"/x y/opusenc", "--serial", "7", "--title", "Almost Blue - Live", "--artist",
                                        "Chet Baker", "--raw", "-", "-"}));
    EXPECT_EQ(bassx::chain::linkArgs(BASS_ENCODE_CHAIN_OPUS, opus, 8, ""),
              (std::vector<std::string>{"/x y/opusenc", "--serial", "8", "--raw", "-", "-"}));
    EXPECT_EQ(bassx::chain::linkArgs(BASS_ENCODE_CHAIN_FLAC, {"flac", "-"}, 9, "No Artist-Here"),
              (std::vector<std::string>{"flac", "--serial-number=9", "--no-utf8-convert", "-T", "TITLE=No Artist-Here",
                                        "-"}));
    EXPECT_EQ(bassx::chain::linkArgs(0, {"lame", "-"}, 9, "A - B"), (std::vector<std::string>{"lame", "-"}));
    EXPECT_EQ(bassx::chain::formatOf(BASS_ENCODE_CHAIN_OPUS | BASS_ENCODE_CHAIN_FLAC | 1), 0u);
}

// FLAC is lossless: every link decodes to exactly the samples fed between its titles.
TEST(ChainedOgg, FlacLinksCarryTheirTitlesAndJoinWithoutASampleLostOrRepeated) {
    const auto samples = programme(kBlock * 150);
    EncoderOutput out;
    auto enc = std::make_shared<Encoder>(kRate, 2, &EncoderOutput::proc, &out);
    ASSERT_EQ(enc->start("flac --silent --ogg --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 "
                         "--sample-rate=44100 -",
                         false, 0, BASS_ENCODE_CHAIN_FLAC),
              BASS_OK);
    enc->releaseOutput();
    run(*enc, samples, {{40, "Chet Baker - Almost Blue"}, {41, "Ünïcödé \"quoted\" - "}, {100, "No artist"}});
    enc->shutdown();

    std::lock_guard<std::mutex> lock(out.m);
    const auto parsed = ogg_links::parse(out.bytes);
    ASSERT_TRUE(parsed.wellFormed);
    ASSERT_EQ(parsed.links.size(), 4u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(parsed.links[i].ended) << i;
        EXPECT_NE(parsed.links[i].serial, parsed.links[i + 1].serial) << i;
    }
    EXPECT_EQ(parsed.links[0].tags.count("TITLE"), 0u);
    EXPECT_EQ(parsed.links[1].tags.at("TITLE"), "Almost Blue");
    EXPECT_EQ(parsed.links[1].tags.at("ARTIST"), "Chet Baker");
    EXPECT_EQ(parsed.links[2].tags.count("TITLE"), 0u);  // a link of one block, nothing after " - "
    EXPECT_EQ(parsed.links[2].tags.at("ARTIST"), "Ünïcödé \"quoted\"");
    EXPECT_EQ(parsed.links[3].tags.at("TITLE"), "No artist");
    EXPECT_EQ(parsed.links[3].tags.count("ARTIST"), 0u);

    const int bounds[] = {0, 40, 41, 100};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const std::string file = tempPath("link.oga");
        save(file, parsed.links[i].bytes);
        const auto decoded = decode("flac -d -s -c --ogg --force-raw-format --endian=little --sign=signed " + file);
        std::remove(file.c_str());
        const auto from = samples.begin() + bounds[i] * kBlock * 2, to = samples.begin() + bounds[i + 1] * kBlock * 2;
        EXPECT_EQ(decoded.size(), size_t(to - from));
        EXPECT_TRUE(std::equal(from, to, decoded.begin(), decoded.end()));
    }
}

// A title every 2 s for a minute of audio (on the encoder's pace, not the clock's): the whole
// stream decodes without an error, and its length is the audio's within the codec's delay.
TEST(ChainedOgg, OpusWithATitleEveryTwoSecondsForAMinuteDecodesWholeAndKeepsItsLength) {
    constexpr int seconds = 60, perLink = 2;
    constexpr int blocksPerSecond = kRate / kBlock;
    const auto samples = programme(kBlock * blocksPerSecond * seconds);
    EncoderOutput out;
    auto enc = std::make_shared<Encoder>(kRate, 2, &EncoderOutput::proc, &out);
    ASSERT_EQ(enc->start("opusenc --quiet --raw --raw-rate 44100 --raw-chan 2 --bitrate 64 - -", false, 0,
                         BASS_ENCODE_CHAIN_OPUS),
              BASS_OK);
    enc->releaseOutput();
    std::vector<std::pair<int, std::string>> titles;
    for (int s = perLink; s < seconds; s += perLink)
        titles.emplace_back(s * blocksPerSecond, "Artist " + std::to_string(s) + " - Song " + std::to_string(s));
    run(*enc, samples, titles);
    enc->shutdown();

    std::lock_guard<std::mutex> lock(out.m);
    const auto parsed = ogg_links::parse(out.bytes);
    ASSERT_TRUE(parsed.wellFormed);
    // Every link a title ended is whole; the last may have written nothing yet.
    const size_t whole = titles.size();
    ASSERT_GE(parsed.links.size(), whole);
    for (size_t i = 1; i < whole; ++i) {
        EXPECT_EQ(parsed.links[i].tags.at("TITLE"), "Song " + std::to_string(i * perLink)) << i;
        EXPECT_EQ(parsed.links[i].tags.at("ARTIST"), "Artist " + std::to_string(i * perLink)) << i;
    }
    const std::string file = tempPath("chain.opus");
    save(file, ogg_links::bytesOf(parsed.links, 0, whole));
    const std::string errors = tempPath("opusdec.err");
    const auto decoded = decode("opusdec --quiet --rate 44100 " + file + " - 2>" + errors);
    std::ifstream err(errors);
    const std::string said((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
    std::remove(file.c_str());
    std::remove(errors.c_str());
    EXPECT_EQ(said, "");
    // opusdec's own resampler to 44.1 kHz may round each link's end by a sample.
    const long expected = long(whole) * perLink * kRate * 2;
    EXPECT_NEAR(long(decoded.size()), expected, long(whole) * 2 * 2);
}

// A title on one thread while another stops the encoder: whichever comes first, no program
// is left running and nothing waits.
TEST(ChainedOgg, TitlesRacingAStopLeaveNoProgramBehind) {
    const auto samples = programme(kBlock * 10);
    for (int round = 0; round < 20; ++round) {
        auto enc = std::make_shared<Encoder>(kRate, 2, nullptr, nullptr);
        ASSERT_EQ(enc->start("flac --silent --ogg --force-raw-format --endian=little --sign=signed --channels=2 "
                             "--bps=16 --sample-rate=44100 -",
                             false, 0, BASS_ENCODE_CHAIN_FLAC),
                  BASS_OK);
        enc->releaseOutput();
        std::atomic<bool> refused{false};
        std::thread titles([&] {
            for (int i = 0; i < 50 && !refused; ++i) refused = enc->castSetTitle("A - " + std::to_string(i), "") != 0;
        });
        for (int b = 0; b < round % 10; ++b) enc->feed(samples.data() + b * kBlock * 2, kBlock * 4);
        enc->shutdown();
        titles.join();
        EXPECT_EQ(enc->castSetTitle("after", ""), BASS_ERROR_HANDLE);
    }
    EXPECT_TRUE(::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
}

}  // namespace

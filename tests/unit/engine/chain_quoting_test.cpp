// A title of any characters reaches the comment header of its link whole, through each
// system's command line: split by the engine itself on POSIX, Windows' own quoting there.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../support/encoder_output.h"
#include "../../support/ogg_links.h"
#include "encoder.h"

namespace {

TEST(ChainedOgg, ATitleOfAnyCharactersReachesItsLinkWhole) {
    // The title is UTF-8 in the engine; "é" goes through Windows 1252, Wine's default code page.
    const std::string artist = R"(Chet "Chesney" Baker \)", song = R"(Almost \"Blué\" \\ -x --serial 1)";
    const struct {
        const char* command;
        DWORD format;
    } encoders[] = {
        {LARKSPUR_CHAIN_FLAC " --silent --ogg --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 "
                             "--sample-rate=44100 -",
         BASS_ENCODE_CHAIN_FLAC},
        {LARKSPUR_CHAIN_OPUS " --quiet --raw --raw-rate 44100 --raw-chan 2 --bitrate 64 --cvbr - -",
         BASS_ENCODE_CHAIN_OPUS},
    };
    const std::vector<int16_t> block(882 * 2, 1000);
    for (const auto& e : encoders) {
        SCOPED_TRACE(e.command);
        EncoderOutput out;
        auto enc = std::make_shared<bassx::Encoder>(44100, 2, &EncoderOutput::proc, &out);
        ASSERT_EQ(enc->start(e.command, false, 0, e.format), BASS_OK);
        enc->releaseOutput();
        for (int i = 0; i < 150; ++i) {
            if (i == 50) {
                ASSERT_EQ(enc->castSetTitle(artist + " - " + song, ""), BASS_OK);
            }
            if (i == 100) {
                ASSERT_EQ(enc->castSetTitle("Third", ""), BASS_OK);
            }
            enc->feed(block.data(), block.size() * 2);
        }
        // Until the second link is read to its end (Wine starts programs slowly).
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (enc->runs() > 1 && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(enc->runs(), 1u);
        enc->shutdown();
        std::lock_guard<std::mutex> lock(out.m);
        const auto parsed = ogg_links::parse(out.bytes);
        ASSERT_GE(parsed.links.size(), 2u);
        EXPECT_EQ(parsed.links[1].tag("ARTIST"), artist);
        EXPECT_EQ(parsed.links[1].tag("TITLE"), song);
        EXPECT_NE(parsed.links[0].serial, parsed.links[1].serial);
    }
}

}  // namespace

// This binary lives in a folder without Plugins/Larkspur/: the encoder cannot be started.
#include "broadcast/connection.h"
#include "desktop/headless.h"
#include "on_air.h"

namespace {

const auto* services = ::testing::AddGlobalTestEnvironment(new on_air::Services);

class NoEncoder : public on_air::Station {};

TEST_F(NoEncoder, ConnectSaysWhereTheEncoderBelongs) {
    for (const std::string type : {"audio/mpeg", "application/ogg"}) {
        configure(type);
        openWindow();
        EXPECT_EQ(toggleConnection(&station, true), 0);
        auto boxes = boxTexts();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].rfind("Couldn't start encoding...\r\n Make sure OGGENC.EXE (if encoding to OGG) is in "
                                 "\\Plugins\\Larkspur\\ \r\n, or LAME.EXE (if encoding to MP3).  ",
                                 0),
                  0u)
            << boxes[0];
        EXPECT_EQ(station.recordChannel, 0u);
        toggleConnection(&station, false);
        EXPECT_TRUE(ice.sourceField("server_type").empty());
        EXPECT_TRUE(on_air::noEncoderLeft());
    }
}

TEST_F(NoEncoder, AMissingOpusencOrFlacIsNamed) {
    const std::pair<const char*, const char*> cases[] = {
        {"audio/ogg; codecs=opus", "OPUSENC.EXE (if encoding to Opus)"},
        {"audio/ogg; codecs=flac", "FLAC.EXE (if encoding to FLAC)"},
    };
    for (const auto& [type, named] : cases) {
        configure(type);
        openWindow();
        EXPECT_EQ(toggleConnection(&station, true), 0);
        EXPECT_EQ(boxTexts(), std::vector<std::string>{std::string("Couldn't start encoding...\r\n Make sure ") + named +
                                                       " is in \\Plugins\\Larkspur\\ .  Bass Error: 0x" +
                                                       std::to_string(BASS_ERROR_FILEOPEN)});
        toggleConnection(&station, false);
        EXPECT_TRUE(ice.sourceField("server_type").empty());
    }
}

}  // namespace

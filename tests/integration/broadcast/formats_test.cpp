// Every format on the air at a real Icecast, as a SHOUTcast v1 source and as an Icecast 2
// source: what a listener hears, what the server shows, and where the title reaches him.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "../../support/ogg_links.h"
#include "audio/talk_over.h"
#include "broadcast/connection.h"
#include "broadcast/formats.h"
#include "broadcast/title_status.h"
#include "desktop/headless.h"
#include "on_air.h"
#include "plugin/globals.h"

namespace {

using namespace std::chrono_literals;
using on_air::eventually;

const auto* services = ::testing::AddGlobalTestEnvironment(new on_air::Services);

class Formats : public on_air::Station, public ::testing::WithParamInterface<const StreamFormat*> {
protected:
    void SetUp() override {
        on_air::Station::SetUp();
        dir = fixtures::makeTempDir("larkspur-formats");
    }
    void TearDown() override {
        fixtures::run("rm -rf '" + dir + "'");
        on_air::Station::TearDown();
    }
    // What a listener receives in `seconds`, as it comes, into the file `stream`.
    std::thread receive(int seconds) {
        return std::thread([this, seconds] {
            fixtures::run("curl -s --max-time " + std::to_string(seconds) + " -o '" + dir + "/stream' http://127.0.0.1:" +
                          std::to_string(ice.port()) + "/live");
        });
    }
    std::vector<std::uint8_t> received() const {
        std::ifstream in(dir + "/stream", std::ios::binary);
        return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // The received stream decoded as a listener's player does: mono samples at 44100 Hz.
    std::vector<int16_t> decoded() {
        fixtures::run("ffmpeg -nostdin -loglevel error -y -i '" + dir + "/stream' -ac 1 -ar 44100 -f s16le '" + dir +
                          "/decoded' 2>&1",
                      &decoderSaid);
        std::ifstream in(dir + "/decoded", std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<int16_t> samples(bytes.size() / 2);
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
        return samples;
    }
    std::string dir, decoderSaid;
};

TEST_P(Formats, OnTheAirAsBothSourcesWithTheToneAndTheTitle) {
    const StreamFormat& format = *GetParam();
    fixtures::SoundServer& sound = on_air::Services::sound();
    ASSERT_TRUE(sound.feedTone(1000, 60));
    hostWindow = 0x4321;
    int round = 0;
    for (const char* server : {"127.0.0.1", "127.0.0.1/live"}) {
        SCOPED_TRACE(server);
        configure(std::string(format.contentType));
        storeText(station.server, server);
        station.deviceVolumeSpeaking = 100;
        ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
        EXPECT_EQ(ice.waitSourceField("server_type", std::string(format.serverType)), format.serverType)
            << ice.statusJson();
        EXPECT_EQ(ice.sourceField("bitrate"), format.bitrates.empty() ? "" : "128");
        setSpeaking(&station, 1);

        // A listener tunes in, then the track changes: for a title in the stream, while he
        // listens (Icecast holds back an Ogg Vorbis listener for a while after a URL update).
        std::thread listener = receive(6);
        EXPECT_TRUE(eventually([&] { return ice.sourceField("listeners") == "1"; }, 5s));
        const std::string artist = "Chet Baker " + std::to_string(++round), song = "Almost Blue";
        desktop::headless::setWindowTitle(0x4321, "7. " + artist + " - " + song + " - Winamp");
        if (format.titlesInStream) updateTitle(&station);
        listener.join();
        if (!format.titlesInStream) updateTitle(&station);

        // Icecast hands a new listener seconds of the past first (from before Speak): the last
        // second is what the station sends now.
        const auto heard = decoded();
        ASSERT_GT(heard.size(), 44100u * 2) << decoderSaid << received().size() << " bytes";
        EXPECT_NEAR(fixtures::dominantFrequency(heard.data() + heard.size() - 44100, 44100, 44100), 1000, 5);
        if (!format.titlesInStream) {
            EXPECT_EQ(ice.waitSourceField("title", artist + " - " + song, 15000), artist + " - " + song);
        } else {
            // The listener got the new link; its comment header names the track.
            const auto parsed = ogg_links::parse(received());
            EXPECT_TRUE(parsed.wellFormed);
            ASSERT_GE(parsed.links.size(), 2u);
            EXPECT_EQ(parsed.links[0].tag("TITLE"), "<none>");
            EXPECT_EQ(parsed.links.back().tag("TITLE"), song);
            EXPECT_EQ(parsed.links.back().tag("ARTIST"), artist);
            // One who comes in later gets the titled link too; Icecast's burst may start him in
            // the link before it, with that link's own headers, when the change was recent.
            receive(1).join();
            const auto later = ogg_links::parse(received());
            ASSERT_FALSE(later.links.empty());
            EXPECT_TRUE(later.wellFormed);
            EXPECT_EQ(later.links.back().tag("ARTIST"), artist);
        }
        toggleConnection(&station, false);
        EXPECT_TRUE(sourceGone());
        EXPECT_TRUE(on_air::noEncoderLeft());
    }
    sound.stopTone();
    EXPECT_TRUE(boxTexts().empty()) << ::testing::PrintToString(boxTexts());
}

INSTANTIATE_TEST_SUITE_P(EachFormat, Formats,
                         ::testing::Values(&formats::mp3, &formats::vorbis, &formats::opus, &formats::flac),
                         [](const auto& info) { return std::string(info.param->key); });

}  // namespace

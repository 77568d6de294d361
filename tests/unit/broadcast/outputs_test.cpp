// Outputs 2 to 5 beside the station's own server: each connects, fails and reconnects on its
// own, and a failure of one leaves output 1 and the others as they are.
#include "broadcast/outputs.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "broadcast/connection.h"
#include "broadcast/title_status.h"
#include "fake_bass.h"
#include "test_station.h"

namespace {

using namespace std::chrono_literals;

class Outputs : public ::testing::Test {
protected:
    void SetUp() override {
        test_station::prepare(station);
        TextSettings text;
        auto& two = text.output(2);
        two = {true, "127.0.0.1/two", 8000, "two-pass", "mp3", 64};
        auto& three = text.output(3);
        three = {true, "http://dj@127.0.0.1/three", 8010, "three-pass", "vorbis", 96};
        text.output(4) = {true, "", 0, "", "mp3", 128};  // enabled without a server
        text.output(5) = {false, "127.0.0.1/five", 8000, "", "mp3", 128};
        storeTextSettings(station, text);
    }
    void TearDown() override {
        shutdownBroadcast(&station);
        showErrors = 1;
    }
    // The encoder whose cast went to that address (the newest when it reconnected).
    static HENCODE encoderAt(const std::string& address) {
        HENCODE h = 0;
        for (const auto& c : fake_bass::callsTo("BASS_Encode_CastInit"))
            if (c.texts[0] == address) h = static_cast<HENCODE>(c.ints[0]);
        return h;
    }
    static bool phaseIs(int n, OutputPhase phase) {
        return test_station::eventually([&] { return outputState(n).phase == phase; }, 5s);
    }
    static std::size_t stopsOf(HENCODE h) {
        auto stops = fake_bass::callsTo("BASS_Encode_Stop");
        return static_cast<std::size_t>(
            std::count_if(stops.begin(), stops.end(), [&](const auto& c) { return c.ints[0] == h; }));
    }
};

}  // namespace

TEST_F(Outputs, EachEnabledOutputGoesOnTheAirWithItsOwnFormatAndTheStationsTexts) {
    storeText(station.genre, "Jazz");
    station.isPublic = 1;
    ASSERT_EQ(connectStream(&station), 1);
    ASSERT_TRUE(phaseIs(2, OutputPhase::onAir));
    ASSERT_TRUE(phaseIs(3, OutputPhase::onAir));
    EXPECT_EQ(outputState(1).phase, OutputPhase::onAir);
    EXPECT_EQ(outputState(4).phase, OutputPhase::off);
    EXPECT_EQ(outputState(4).failure, "Server or Port isn't configurated!");
    EXPECT_EQ(outputState(5).phase, OutputPhase::off);
    EXPECT_EQ(fake_bass::count("BASS_Encode_Start"), 3u);  // output 1, 2 and 3 on the one mixer
    for (const auto& start : fake_bass::callsTo("BASS_Encode_Start")) EXPECT_EQ(start.ints[0], station.mixer);

    auto casts = fake_bass::callsTo("BASS_Encode_CastInit");
    auto castTo = [&](const std::string& address) {
        return *std::find_if(casts.begin(), casts.end(), [&](const auto& c) { return c.texts[0] == address; });
    };
    const auto two = castTo("127.0.0.1:8000/two");
    EXPECT_EQ(two.texts, (std::vector<std::string>{"127.0.0.1:8000/two", "two-pass", "audio/mpeg", "Larkspur FM", "",
                                                   "Jazz", "", ""}));
    EXPECT_EQ(two.ints, (std::vector<std::int64_t>{two.ints[0], 64, 1}));
    const auto three = castTo("http://dj@127.0.0.1:8010/three");
    EXPECT_EQ(three.texts[2], "application/ogg");
    auto startOf = [&](HENCODE h) {
        for (const auto& c : fake_bass::callsTo("BASS_Encode_Start"))
            if (c.result == h) return c.texts[0];
        return std::string();
    };
    EXPECT_NE(startOf(encoderAt("http://dj@127.0.0.1:8010/three")).find("oggenc\" -r -R 44100 -b 96 -m 96 -"),
              std::string::npos);

    // A title goes to every output on the air.
    hostWindow = 7001;
    desktop::headless::setWindowTitle(7001, "1. Artist - Song - Winamp");
    updateTitle(&station);
    auto titles = fake_bass::callsTo("BASS_Encode_CastSetTitle");
    ASSERT_EQ(titles.size(), 3u);
    std::vector<std::int64_t> to;
    for (const auto& t : titles) {
        EXPECT_EQ(t.texts[0], "Artist - Song");
        to.push_back(t.ints[0]);
    }
    EXPECT_EQ(to, (std::vector<std::int64_t>{station.encoder, encoderAt("127.0.0.1:8000/two"),
                                             encoderAt("http://dj@127.0.0.1:8010/three")}));

    disconnectStream(&station);
    EXPECT_EQ(outputState(2).phase, OutputPhase::off);
    EXPECT_EQ(outputState(3).phase, OutputPhase::off);
    EXPECT_EQ(stopsOf(encoderAt("127.0.0.1:8000/two")), 1u);
}

TEST_F(Outputs, AFailedOutputReconnectsAloneOrStaysOffWithItsFailure) {
    station.autoReconnect = 1;
    ASSERT_EQ(connectStream(&station), 1);
    ASSERT_TRUE(phaseIs(2, OutputPhase::onAir));
    ASSERT_TRUE(phaseIs(3, OutputPhase::onAir));
    const HENCODE two = encoderAt("127.0.0.1:8000/two");
    const HENCODE three = encoderAt("http://dj@127.0.0.1:8010/three");
    // Its server refuses for a while: it retries about once a second, showing why.
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_CAST_AUTH, 1);
    ASSERT_TRUE(fake_bass::notify(two, BASS_ENCODE_NOTIFY_CAST));
    ASSERT_TRUE(phaseIs(2, OutputPhase::reconnecting));
    EXPECT_EQ(outputState(2).failure, "The server connection died!");
    ASSERT_TRUE(test_station::eventually(
        [] { return outputState(2).failure == "Couldn't setup connection with server (Bass Error: 2104)"; }, 5s))
        << outputState(2).failure;
    ASSERT_TRUE(phaseIs(2, OutputPhase::onAir));
    EXPECT_NE(encoderAt("127.0.0.1:8000/two"), two);
    EXPECT_EQ(stopsOf(two), 1u);
    // Nobody else noticed: output 1 and 3 kept their encoders, the station stayed on the air.
    EXPECT_EQ(stopsOf(three), 0u);
    EXPECT_EQ(stopsOf(station.encoder), 0u);
    EXPECT_EQ(fake_bass::count("BASS_ChannelStop"), 0u);
    EXPECT_EQ(station.streaming, 1);
    EXPECT_EQ(outputState(3).phase, OutputPhase::onAir);

    // Without automatic reconnection a failed output stays off with its failure.
    station.autoReconnect = 0;
    ASSERT_TRUE(fake_bass::notify(three, BASS_ENCODE_NOTIFY_ENCODER));
    ASSERT_TRUE(phaseIs(3, OutputPhase::off));
    EXPECT_EQ(outputState(3).failure, "The encoder died!");
    EXPECT_EQ(outputState(2).phase, OutputPhase::onAir);
    EXPECT_EQ(station.streaming, 1);
    EXPECT_TRUE(desktop::headless::boxes().empty());
}

TEST_F(Outputs, OutputOneFailsAloneWhileOthersRunOnTheMixer) {
    station.autoReconnect = 1;
    ASSERT_EQ(connectStream(&station), 1);
    ASSERT_TRUE(phaseIs(2, OutputPhase::onAir));
    ASSERT_TRUE(phaseIs(3, OutputPhase::onAir));  // no cast of theirs left to take the failure below
    const HENCODE one = station.encoder;
    const HENCODE two = encoderAt("127.0.0.1:8000/two");
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_TIMEOUT, 1);  // the first attempt
    ASSERT_TRUE(fake_bass::notify(one, BASS_ENCODE_NOTIFY_CAST));
    ASSERT_TRUE(phaseIs(1, OutputPhase::reconnecting));
    EXPECT_EQ(outputState(1).failure, "The server connection died!");
    ASSERT_TRUE(test_station::eventually([&] { return station.encoder != one; }, 5s));
    ASSERT_TRUE(phaseIs(1, OutputPhase::onAir));
    EXPECT_EQ(outputState(1).failure, "Couldn't setup connection with server (Bass Error: 40)");
    // A new encoder and cast for output 1 on the same mixer; nothing else was touched.
    EXPECT_EQ(stopsOf(one), 1u);
    EXPECT_EQ(stopsOf(two), 0u);
    EXPECT_EQ(fake_bass::count("BASS_ChannelStop"), 0u);
    EXPECT_EQ(fake_bass::count("BASS_Mixer_StreamCreate"), 1u);
    EXPECT_EQ(encoderAt("127.0.0.1:8000"), station.encoder);
    EXPECT_EQ(station.streaming, 1);
    EXPECT_EQ(outputState(2).phase, OutputPhase::onAir);
    EXPECT_TRUE(desktop::headless::boxes().empty());
    // Its next death is handled the same way.
    station.autoReconnect = 0;
    ASSERT_TRUE(fake_bass::notify(station.encoder, BASS_ENCODE_NOTIFY_ENCODER));
    ASSERT_TRUE(phaseIs(1, OutputPhase::off));
    EXPECT_EQ(outputState(1).failure, "The encoder died!");
    EXPECT_EQ(outputState(2).phase, OutputPhase::onAir);
    EXPECT_EQ(station.streaming, 1);
}

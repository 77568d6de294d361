#include "broadcast/title_status.h"

#include <gtest/gtest.h>

#include "broadcast/connection.h"
#include "fake_bass.h"
#include "test_station.h"

namespace {

constexpr desktop::NativeWindow host = 0x77;

TEST(TrackTitle, DropsTheFirstWordAndTheHostSuffix) {
    EXPECT_EQ(trackTitle("12. Miles Davis - So What - Winamp"), "Miles Davis - So What");
    EXPECT_EQ(trackTitle("Intro: Miles Davis - So What - Winamp"), "Miles Davis - So What");
    EXPECT_EQ(trackTitle("NoSpace"), "NoSpace");
    EXPECT_EQ(trackTitle("1. - Winamp"), "- Winamp");  // after the first word, no " - Winamp" is left
    EXPECT_EQ(trackTitle("1.  - Winamp"), "");
}

TEST(TrackTitle, ATitleWithoutTheSuffixIsKeptWhole) {
    EXPECT_EQ(trackTitle("3. Nina Simone - Feeling Good"), "Nina Simone - Feeling Good");
    EXPECT_EQ(trackTitle("3. Short"), "Short");
    EXPECT_EQ(trackTitle("3. A - Winamp Remix"), "A - Winamp Remix");
}

TEST(StreamingTime, MinutesAndTwoDigitSeconds) {
    EXPECT_EQ(streamingTime(7), "0:07");
    EXPECT_EQ(streamingTime(59), "0:59");
    EXPECT_EQ(streamingTime(60), "1:00");
    EXPECT_EQ(streamingTime(599), "9:59");
    EXPECT_EQ(streamingTime(3725), "62:05");
}

class TitleStatus : public ::testing::Test {
protected:
    void SetUp() override {
        test_station::prepare(station);
        storeText(station.url, "http://larkspur.example");
        hostWindow = host;
    }
    void TearDown() override { shutdownBroadcast(&station); }

    void goOnAir() {
        ASSERT_EQ(connectStream(&station), 1);
        fake_bass::clearCalls();
    }
    static void hostShows(const std::string& title) { desktop::headless::setWindowTitle(host, title); }
    static std::vector<std::string> sentTitles() {
        std::vector<std::string> titles;
        for (const auto& c : fake_bass::callsTo("BASS_Encode_CastSetTitle")) titles.push_back(c.texts[0]);
        return titles;
    }
};

TEST_F(TitleStatus, TitleIsSentOncePerChangeWithTheStationUrl) {
    goOnAir();
    hostShows("4. Artist - Song - Winamp");
    updateTitle(&station);
    updateTitle(&station);
    auto sent = fake_bass::callsTo("BASS_Encode_CastSetTitle");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].ints[0], station.encoder);
    EXPECT_EQ(sent[0].texts, (std::vector<std::string>{"Artist - Song", "http://larkspur.example"}));
    hostShows("5. Artist - Other Song - Winamp");
    updateTitle(&station);
    EXPECT_EQ(sentTitles(), (std::vector<std::string>{"Artist - Song", "Artist - Other Song"}));
    EXPECT_EQ(station.lastTitle, "Artist - Other Song");
}

TEST_F(TitleStatus, NothingIsSentOffTheAir) {
    hostShows("1. A - B - Winamp");
    updateTitle(&station);
    EXPECT_TRUE(fake_bass::calls().empty());
    EXPECT_EQ(station.lastTitle, "");
}

TEST_F(TitleStatus, AnEmptyTitleIsSentOnlyAfterANonEmptyOne) {
    goOnAir();
    hostShows("Winamp");
    updateTitle(&station);  // "Winamp" has no space: kept whole
    hostShows("");
    updateTitle(&station);
    EXPECT_EQ(sentTitles(), (std::vector<std::string>{"Winamp", ""}));
    fake_bass::clearCalls();
    station.lastTitle.clear();
    updateTitle(&station);
    EXPECT_TRUE(sentTitles().empty());
}

TEST_F(TitleStatus, AFailedTitleIsNotRetried) {
    goOnAir();
    fake_bass::fail("BASS_Encode_CastSetTitle", BASS_ERROR_NONET);
    hostShows("1. A - B - Winamp");
    updateTitle(&station);
    updateTitle(&station);
    EXPECT_EQ(fake_bass::count("BASS_Encode_CastSetTitle"), 1u);
}

TEST_F(TitleStatus, LastTitleSurvivesAReconnect) {
    goOnAir();
    hostShows("1. A - B - Winamp");
    updateTitle(&station);
    disconnectStream(&station);
    ASSERT_EQ(connectStream(&station), 1);
    fake_bass::clearCalls();
    updateTitle(&station);
    EXPECT_TRUE(sentTitles().empty());
    hostShows("2. C - D - Winamp");
    updateTitle(&station);
    EXPECT_EQ(sentTitles(), std::vector<std::string>{"C - D"});
}

// Opus and FLAC carry the title in the stream, which every connect starts without one.
TEST_F(TitleStatus, AStreamThatCarriesItsTitlesGetsTheCurrentOneAfterEachConnect) {
    storeText(station.contentType, "audio/ogg; codecs=opus");
    goOnAir();
    hostShows("4. Artist - Song - Winamp");
    updateTitle(&station);
    updateTitle(&station);
    EXPECT_EQ(sentTitles(), std::vector<std::string>{"Artist - Song"});
    disconnectStream(&station);
    goOnAir();
    updateTitle(&station);
    updateTitle(&station);
    EXPECT_EQ(sentTitles(), std::vector<std::string>{"Artist - Song"});
    EXPECT_EQ(fake_bass::callsTo("BASS_Encode_CastSetTitle")[0].ints[0], station.encoder);

    // No title to give: nothing is sent.
    hostShows("");
    updateTitle(&station);
    disconnectStream(&station);
    goOnAir();
    updateTitle(&station);
    EXPECT_TRUE(sentTitles().empty());
}

TEST_F(TitleStatus, AVeryLongTitleIsCutWithoutBreakingACharacter) {
    goOnAir();
    std::string title = "1. " + std::string(294, 'a') + "\xC3\xA9\xC3\xA9";  // byte 299 splits the second é
    hostShows(title);
    updateTitle(&station);
    ASSERT_EQ(sentTitles().size(), 1u);
    EXPECT_EQ(sentTitles()[0], std::string(294, 'a') + "\xC3\xA9");
}

TEST_F(TitleStatus, OfflineIsShownInRedWhateverWasThere) {
    setStatus("reconnecting...");
    updateStatus(&station);
    EXPECT_EQ(desktop::text(statusLine), "offline!");
    EXPECT_EQ(desktop::textColor(statusLine), 0xFF0000u);
    EXPECT_TRUE(fake_bass::calls().empty());
}

TEST_F(TitleStatus, StreamingTimeShowsInGreenFromTheFirstWholeSecond) {
    updateStatus(&station);  // red "offline!" before the connect
    goOnAir();
    for (double secs : {0.0, 0.4}) {
        fake_bass::seconds(secs);
        updateStatus(&station);
        EXPECT_EQ(desktop::text(statusLine), "online... but no data.. please play sound..");
        EXPECT_EQ(desktop::textColor(statusLine), 0xFF0000u);
    }
    const struct {
        double secs;
        const char* shown;
    } cases[] = {{0.6, "0:01"}, {7, "0:07"}, {59.4, "0:59"}, {60, "1:00"}, {599, "9:59"}, {3725, "62:05"}};
    for (const auto& c : cases) {
        fake_bass::seconds(c.secs);
        updateStatus(&station);
        EXPECT_EQ(desktop::text(statusLine), std::string("online! | streaming since: ") + c.shown);
        EXPECT_EQ(desktop::textColor(statusLine), 0x00FF00u);
    }
    auto position = fake_bass::callsTo("BASS_Mixer_ChannelGetPosition");
    ASSERT_FALSE(position.empty());
    EXPECT_EQ(position[0].ints, (std::vector<std::int64_t>{station.hostStream, BASS_POS_BYTE}));
}

TEST_F(TitleStatus, ALostMicrophoneIsShownUntilItIsBack) {
    goOnAir();
    fake_bass::seconds(65);
    fake_bass::setResult("BASS_ChannelIsActive", BASS_ACTIVE_STALLED);
    updateStatus(&station);
    const std::string line = desktop::text(statusLine);
    EXPECT_EQ(line.rfind("online! | streaming since: 1:05", 0), 0u) << line;
    EXPECT_NE(line.find("microphone lost"), std::string::npos) << line;
    auto asked = fake_bass::callsTo("BASS_ChannelIsActive");
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked.back().ints, (std::vector<std::int64_t>{station.recordChannel}));

    fake_bass::setResult("BASS_ChannelIsActive", BASS_ACTIVE_PLAYING);
    updateStatus(&station);
    EXPECT_EQ(desktop::text(statusLine), "online! | streaming since: 1:05");
}

TEST_F(TitleStatus, AFailedPositionQueryLeavesTheLineAlone) {
    goOnAir();
    fake_bass::seconds(-1);
    updateStatus(&station);
    EXPECT_EQ(desktop::text(statusLine), "online... but no data.. please play sound..");
}

}  // namespace

// What the status line tells the presenter: the states in order of priority, the reason of a
// failure in words beside the unchanged boxes, and the reconnection from its first tick to the
// return to the air, with the streaming time going on.
#include <gtest/gtest.h>


#include "audio/audio_graph.h"
#include "broadcast/broadcast_state.h"
#include "broadcast/connection.h"
#include "broadcast/failure_reason.h"
#include "broadcast/title_status.h"
#include "fake_bass.h"
#include "test_station.h"

namespace {

using namespace std::chrono_literals;
using Names = std::vector<std::string>;
using test_station::boxTexts;
using test_station::eventually;

constexpr std::uint32_t green = 0x00FF00, red = 0xFF0000, amber = 0xFFC000;

TEST(StatusView, ShowsWhatMattersMostFirst) {
    StatusFacts f;
    f.streaming = true;
    f.seconds = 65;
    EXPECT_EQ(statusView(f).text, "online! | streaming since: 1:05");
    EXPECT_EQ(statusView(f).colour, green);
    // Only some of the server outputs on the air: how many, after the time, before the microphone.
    f.outputs = 3;
    f.outputsOnAir = 2;
    EXPECT_EQ(statusView(f).text, "online! | streaming since: 1:05 | 2 of 3");
    f.microphoneLost = true;
    EXPECT_EQ(statusView(f).text, "online! | streaming since: 1:05 | 2 of 3 | microphone lost, waiting for it...");
    f.microphoneLost = false;
    f.outputsOnAir = 3;
    EXPECT_EQ(statusView(f).text, "online! | streaming since: 1:05");
    f.deadAir = true;
    f.silentSeconds = 15;
    EXPECT_EQ(statusView(f).text, "dead air! silent for 0:15");
    EXPECT_EQ(statusView(f).colour, red);
    f.deadAir = false;
    f.seconds = -1;
    EXPECT_TRUE(statusView(f).keep);  // "online... but no data.." or a talk-over text stays

    StatusFacts off;
    EXPECT_EQ(statusView(off).text, "offline!");
    EXPECT_EQ(statusView(off).colour, red);
    off.reason = FailureReason::WrongPassword;
    EXPECT_EQ(statusView(off).text, "offline! wrong password");
    off.reconnecting = true;
    EXPECT_EQ(statusView(off).text, "reconnecting... wrong password");
    off.attempt = 3;
    EXPECT_EQ(statusView(off).text, "reconnecting... #3: wrong password");
    EXPECT_EQ(statusView(off).colour, amber);
    off.connecting = true;
    EXPECT_EQ(statusView(off).text, "connecting...");
    f.connecting = true;  // a connect under way outranks what a stale record says
    EXPECT_EQ(statusView(f).text, "connecting...");
}

TEST(FailureReasons, EachRefusalInPlainWords) {
    const struct {
        int code;
        const char* words;
    } cases[] = {{BASS_ERROR_CAST_DENIED, "wrong password"},       {BASS_ERROR_CAST_AUTH, "wrong password"},
                 {BASS_ERROR_CAST_INUSE, "mount in use"},          {BASS_ERROR_TIMEOUT, "no answer from the server"},
                 {BASS_ERROR_FILEOPEN, "connection refused"},      {BASS_ERROR_NONET, "name not found"},
                 {BASS_ERROR_CAST_CERT, "certificate not trusted"}, {BASS_ERROR_CAST_TLS, "no secure connection"},
                 {BASS_ERROR_CAST_ADDRESS, "server address not understood"},
                 {BASS_ERROR_CAST_STATUS, "the server refused the stream"}};
    for (const auto& c : cases) EXPECT_STREQ(reasonText(castFailureReason(c.code)), c.words) << c.code;
    EXPECT_STREQ(reasonText(FailureReason::None), "");
    EXPECT_STREQ(reasonText(FailureReason::EncoderMissing), "encoder missing");
}

class StatusLine : public ::testing::Test {
protected:
    void SetUp() override {
        test_station::prepare(station);
        initAudioDevice(1, &station);
    }
    void TearDown() override {
        station.autoReconnect = 0;
        fake_bass::onCall("BASS_Encode_CastInit", nullptr);
        shutdownBroadcast(&station);
        showErrors = 1;
    }
    // Reasons as the station log has them, without what the boxes say.
    static Names loggedReasons() {
        Names reasons;
        for (const std::string& failure : test_station::OwnFolder::events("failure: "))
            reasons.push_back(failure.substr(0, failure.find(" - ")));
        return reasons;
    }
    test_station::OwnFolder folder;
    // The user presses Connect, as the window's handler does.
    static int press() {
        desktop::setChecked(connectToggle, true);
        return toggleConnection(&station, true);
    }
};

TEST_F(StatusLine, ConnectingWhileTheServerIsAwaitedThenTheReasonBesideTheUnchangedBox) {
    // While the server is awaited (the window thread is busy), the line says so already.
    Names whileWaiting;
    std::vector<std::uint32_t> colourWhileWaiting;
    fake_bass::onCall("BASS_Encode_CastInit", [&](const fake_bass::Call&) {
        whileWaiting.push_back(desktop::text(statusLine));
        colourWhileWaiting.push_back(desktop::textColor(statusLine));
    });
    const struct {
        const char* call;
        int code;
        const char* status;
        const char* box;
    } cases[] = {
        {"BASS_Encode_CastInit", BASS_ERROR_TIMEOUT, "offline! no answer from the server",
         "Couldn't setup connection with server  Bass Error: 0x40"},
        {"BASS_Encode_CastInit", BASS_ERROR_CAST_DENIED, "offline! wrong password",
         "Couldn't setup connection with server  Bass Error: 0x2100"},
        {"BASS_Encode_CastInit", BASS_ERROR_FILEOPEN, "offline! connection refused",
         "Couldn't setup connection with server  Bass Error: 0x2"},
        {"BASS_Encode_Start", BASS_ERROR_FILEOPEN, "offline! encoder missing",
         "Couldn't start encoding...\r\n Make sure OGGENC.EXE (if encoding to OGG) is in \\Plugins\\Larkspur\\ "
         "\r\n, or LAME.EXE (if encoding to MP3).  Bass Error: 0x2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        desktop::headless::reset();
        test_station::openWindow();
        fake_bass::fail(c.call, c.code);
        EXPECT_EQ(press(), 0);
        EXPECT_EQ(boxTexts(), Names{c.box});  // the described box, byte for byte
        // The tick after the failure (and every one until the next connect) gives the reason.
        updateStatus(&station);
        EXPECT_EQ(desktop::text(statusLine), c.status);
        EXPECT_EQ(desktop::textColor(statusLine), red);
        EXPECT_FALSE(desktop::checked(connectToggle));
        EXPECT_EQ(desktop::text(connectToggle), "Connect");
    }
    EXPECT_EQ(whileWaiting, Names(3, "connecting..."));  // the encoder case fails before any server
    EXPECT_EQ(colourWhileWaiting, std::vector<std::uint32_t>(3, amber));
    EXPECT_EQ(loggedReasons(),
              (Names{"no answer from the server", "wrong password", "connection refused", "encoder missing"}));

    // A connect that works forgets the reason; so does going off the air by choice.
    fake_bass::onCall("BASS_Encode_CastInit", nullptr);
    ASSERT_EQ(press(), 1);
    EXPECT_EQ(desktop::text(statusLine), noDataStatus);
    ASSERT_EQ(toggleConnection(&station, false), 1);
    updateStatus(&station);
    EXPECT_EQ(desktop::text(statusLine), "offline!");
}

TEST_F(StatusLine, ReconnectingShownAtEveryTickWithTheAttemptAndReasonAndTheTimeGoesOn) {
    ASSERT_EQ(press(), 1);
    fake_bass::seconds(65.0);  // 1:05 of the host's sound on the air
    updateStatus(&station);
    ASSERT_EQ(desktop::text(statusLine), "online! | streaming since: 1:05");
    station.autoReconnect = 1;
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_NONET, 1);
    std::atomic<int> attempt{0};
    fake_bass::onCall("BASS_Encode_CastInit", [&](const fake_bass::Call&) {
        if (++attempt == 1) fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_TIMEOUT, 1);  // the second fails so
        fake_bass::seconds(0.0);  // each attempt brings a new host stream
    });
    ASSERT_TRUE(fake_bass::notify(fake_bass::lastEncoder(), BASS_ENCODE_NOTIFY_CAST));
    ASSERT_TRUE(eventually([] { return station.streaming == 0; }, 5s));

    // Status ticks as fast as the test can make them, from the death to the return.
    Names seen;
    int ticks = 0;
    while (failureHandlingUnderWay()) {
        updateStatus(&station);
        const std::string text = desktop::text(statusLine);
        const bool down = desktop::checked(connectToggle);
        const std::string toggle = desktop::text(connectToggle);
        if (station.streaming == 1) break;  // back on the air: sampled after the return
        ++ticks;
        ASSERT_EQ(text.rfind("reconnecting...", 0), 0u) << text;
        EXPECT_EQ(desktop::textColor(statusLine), amber);
        EXPECT_TRUE(down);  // the station is on its way back: the toggle says so
        EXPECT_EQ(toggle, "Disconnect");
        if (seen.empty() || seen.back() != text) seen.push_back(text);
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(eventually([] { return station.streaming == 1 && !failureHandlingUnderWay(); }, 10s));
    EXPECT_GT(ticks, 10);
    // The attempts count up; between two, the line tells the last one and why it failed.
    const Names expected{"reconnecting... server connection lost", "reconnecting... #1: server connection lost",
                         "reconnecting... #1: name not found", "reconnecting... #2: name not found",
                         "reconnecting... #2: no answer from the server", "reconnecting... #3: no answer from the server"};
    for (const auto& text : seen) EXPECT_NE(std::find(expected.begin(), expected.end(), text), expected.end()) << text;
    for (const char* between : {"reconnecting... #1: name not found", "reconnecting... #2: no answer from the server"})
        EXPECT_NE(std::find(seen.begin(), seen.end(), between), seen.end()) << between;
    EXPECT_EQ(test_station::OwnFolder::events("reconnect attempt "), (Names{"1", "2", "3"}));
    EXPECT_EQ(loggedReasons(), (Names{"server connection lost", "name not found", "no answer from the server"}));

    // Back on the air: the time goes on from 1:05 (the gap is not counted).
    EXPECT_TRUE(desktop::checked(connectToggle));
    fake_bass::seconds(3.0);
    updateStatus(&station);
    EXPECT_EQ(desktop::text(statusLine), "online! | streaming since: 1:08");
    EXPECT_EQ(desktop::textColor(statusLine), green);
    EXPECT_TRUE(boxTexts().empty());

    // A new broadcast of the user's own starts from zero.
    fake_bass::onCall("BASS_Encode_CastInit", nullptr);
    ASSERT_EQ(toggleConnection(&station, false), 1);
    ASSERT_EQ(press(), 1);
    updateStatus(&station);
    EXPECT_EQ(desktop::text(statusLine), "online! | streaming since: 0:03");
}

}  // namespace

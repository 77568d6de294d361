// The outputs page on the headless desktop: the text settings shown at build, every edit stored
// through the window thread's loop, and the state lines and the status line fed by real outputs
// on the fake library.
#include <gtest/gtest.h>

#include <future>

#include "broadcast/connection.h"
#include "broadcast/outputs.h"
#include "broadcast/title_status.h"
#include "desktop/desktop.h"
#include "desktop/headless.h"
#include "fake_bass.h"
#include "plugin/globals.h"
#include "test_station.h"
#include "ui/outputs_page.h"
#include "ui/window_thread.h"

namespace {

namespace hl = desktop::headless;
using namespace std::chrono_literals;
using test_station::eventually;
using Items = std::vector<std::string>;

Items items(int list) {
    Items out;
    for (int i = 0; i < desktop::itemCount(list); ++i) out.push_back(desktop::itemText(list, i));
    return out;
}

std::string chosen(int list) { return desktop::itemText(list, desktop::selected(list)); }

class OutputsPage : public ::testing::Test {
protected:
    std::future<int> thread;

    void SetUp() override {
        test_station::prepare(station);
        hl::reset();
        desktop::resetLoop();
        stopRequested = 0;
        hostWindow = 0;
    }
    void TearDown() override {
        if (thread.valid()) {
            desktop::endLoop();
            thread.wait();
        }
        desktop::resetLoop();
        shutdownBroadcast(&station);
        storeTextSettings(station, TextSettings{});
    }
    void start() {
        thread = std::async(std::launch::async, [] { return windowThreadProc(&station); });
        ASSERT_TRUE(eventually([] { return hl::timerPeriod(1) != 0; }, 2s));
    }
    // The loop has taken everything queued so far.
    static void settle() {
        hl::post();
        ASSERT_TRUE(eventually([] { return hl::pendingEvents() == 0; }, 2s));
    }
    static OutputSettings output(int n) { return textSettingsOf(station).output(n); }
    static RecordingSettings recording() { return textSettingsOf(station).recording; }
};

TEST_F(OutputsPage, ShowsTheTextSettingsAndBringsBitratesIntoTheirLists) {
    TextSettings text;
    text.output(2) = {true, "127.0.0.1/two", 8000, "two-pass", "flac", 128};
    text.output(3) = {false, "https://dj@radio.example/three", 8443, "three-pass", "vorbis", 100};
    text.recording = {true, "/srv/archive", "opus", 320, 60};
    storeTextSettings(station, text);
    start();

    EXPECT_EQ(items(outputChoice), (Items{"Output 2", "Output 3", "Output 4", "Output 5"}));
    for (int list : {outputFormat, recordFormat}) EXPECT_EQ(items(list), (Items{"MP3", "OGG", "Opus", "FLAC"}));
    // Output 2 first: FLAC has no bitrate to choose, as on the sound page.
    EXPECT_EQ(desktop::selected(outputChoice), 0);
    EXPECT_TRUE(desktop::checked(outputEnabled));
    EXPECT_EQ(desktop::text(outputServer), "127.0.0.1/two");
    EXPECT_EQ(desktop::text(outputPort), "8000");
    EXPECT_EQ(desktop::text(outputPassword), "two-pass");
    EXPECT_EQ(chosen(outputFormat), "FLAC");
    EXPECT_EQ(items(outputBitrate), Items{"lossless"});
    EXPECT_FALSE(desktop::enabled(outputBitrate));
    EXPECT_EQ(desktop::text(outputBitrateUnit), "");
    // The recording: Opus tops out at 256, the nearest to 320.
    EXPECT_TRUE(desktop::checked(recordEnabled));
    EXPECT_EQ(desktop::text(recordFolder), "/srv/archive");
    EXPECT_EQ(chosen(recordFormat), "Opus");
    EXPECT_EQ(chosen(recordBitrate), "256");
    EXPECT_EQ(desktop::text(recordSplit), "60");
    EXPECT_EQ(recording().bitrate, 256);
    EXPECT_EQ(output(2).bitrate, 128);  // lossless keeps it for the next format
    EXPECT_EQ(output(3).bitrate, 96);   // 100 is no Ogg bitrate: the nearest, before it is shown

    hl::choose(outputChoice, 1);
    settle();
    EXPECT_FALSE(desktop::checked(outputEnabled));
    EXPECT_EQ(desktop::text(outputServer), "https://dj@radio.example/three");
    EXPECT_EQ(desktop::text(outputPort), "8443");
    EXPECT_EQ(chosen(outputFormat), "OGG");
    EXPECT_EQ(chosen(outputBitrate), "96");
    EXPECT_TRUE(desktop::enabled(outputBitrate));
    EXPECT_EQ(desktop::text(outputBitrateUnit), "kb/s");
    EXPECT_EQ(textSettingsOf(station).output(2), text.output(2));  // showing stores nothing
}

TEST_F(OutputsPage, EveryEditGoesIntoTheChosenOutputAtOnce) {
    start();
    for (const char* typed : {"i", "ic", "ice.local/live"}) {
        hl::type(outputServer, typed);
        EXPECT_TRUE(eventually([&] { return output(2).server == typed; }, 1s)) << typed;
    }
    hl::choose(outputChoice, 2);  // output 4: its own fields, output 2 keeps what was typed
    settle();
    EXPECT_EQ(desktop::text(outputServer), "");
    hl::type(outputServer, "second.example");
    hl::type(outputPort, "8010");
    hl::type(outputPassword, " secret ");
    hl::click(outputEnabled);
    settle();
    EXPECT_EQ(output(4), (OutputSettings{true, "second.example", 8010, " secret ", "mp3", 128}));
    EXPECT_EQ(output(2).server, "ice.local/live");
    EXPECT_FALSE(output(2).enabled);

    // Pasted text can hold what the keyboard cannot; the file holds ports up to 65535.
    for (auto [text, port] : {std::pair{"$1F90", 8080}, std::pair{"70000", 0}, std::pair{"", 0}}) {
        desktop::setText(outputPort, text);
        handleControlEvent(&station, outputPort);
        EXPECT_EQ(output(4).port, port) << text;
    }

    // A format offers its own bitrates, the nearest to the one set; FLAC none.
    hl::choose(outputBitrate, 13);
    settle();
    ASSERT_EQ(output(4).bitrate, 320);
    hl::choose(outputFormat, 2);
    settle();
    EXPECT_EQ(output(4).format, "opus");
    EXPECT_EQ(output(4).bitrate, 256);
    EXPECT_EQ(items(outputBitrate).front(), "16");
    EXPECT_EQ(chosen(outputBitrate), "256");
    hl::choose(outputBitrate, 0);
    settle();
    EXPECT_EQ(output(4).bitrate, 16);
    hl::choose(outputFormat, 3);
    settle();
    EXPECT_EQ(output(4).format, "flac");
    EXPECT_EQ(items(outputBitrate), Items{"lossless"});
    handleControlEvent(&station, outputBitrate);  // "lossless" is no bitrate
    EXPECT_EQ(output(4).bitrate, 16);
    hl::choose(outputFormat, 1);
    settle();
    EXPECT_EQ(output(4).format, "vorbis");
    EXPECT_EQ(output(4).bitrate, 32);  // the nearest Ogg offers
    EXPECT_TRUE(hl::boxes().empty());

    // An edit's event taken after another output was chosen belongs to the output it showed.
    desktop::setText(outputServer, "late.example");
    desktop::select(outputChoice, 0);
    handleControlEvent(&station, outputServer);
    EXPECT_EQ(output(4).server, "late.example");
    EXPECT_EQ(output(2).server, "ice.local/live");
    handleControlEvent(&station, outputChoice);
    EXPECT_EQ(desktop::text(outputServer), "ice.local/live");

    // The recording.
    hl::click(recordEnabled);
    hl::type(recordFolder, "C:\\Radio Archive");
    hl::choose(recordFormat, 1);
    hl::choose(recordBitrate, 8);
    hl::type(recordSplit, "30");
    settle();
    EXPECT_EQ(recording(), (RecordingSettings{true, "C:\\Radio Archive", "vorbis", 128, 30}));
    hl::type(recordSplit, "5000");  // more than a day: a file a day
    settle();
    EXPECT_EQ(recording().split, 24 * 60);
    hl::click(recordEnabled);
    settle();
    EXPECT_FALSE(recording().enabled);
}

TEST(OutputStateText, EachPhaseInWords) {
    EXPECT_EQ(outputStateText(2, {OutputPhase::onAir, "an old failure"}), "Output 2: on the air");
    EXPECT_EQ(outputStateText(3, {OutputPhase::connecting, {}}), "Output 3: connecting...");
    EXPECT_EQ(outputStateText(4, {OutputPhase::reconnecting, "The server connection died!"}),
              "Output 4: reconnecting: The server connection died!");
    EXPECT_EQ(outputStateText(4, {OutputPhase::reconnecting, {}}), "Output 4: reconnecting...");
    EXPECT_EQ(outputStateText(5, {OutputPhase::off, {}}), "Output 5: off");
    EXPECT_EQ(outputStateText(1, {OutputPhase::off, "The encoder died!"}), "Output 1: off: The encoder died!");

    EXPECT_EQ(recordingStateText({true, "/srv/archive/Larkspur_2026-12-09_21-00-00.mp3", {}}),
              "Recording: on, Larkspur_2026-12-09_21-00-00.mp3");
    EXPECT_EQ(recordingStateText({true, "C:\\Archive\\Larkspur.ogg", {}}), "Recording: on, Larkspur.ogg");
    EXPECT_EQ(recordingStateText({false, "/srv/a.mp3", "The disk is full"}), "Recording: off: The disk is full");
    EXPECT_EQ(recordingStateText({}), "Recording: off");
}

// Outputs 2 and 3 enabled beside output 1; 3's server goes away and refuses it for a while.
TEST_F(OutputsPage, StateLinesAndTheStatusLineFollowTheOutputs) {
    TextSettings text;
    text.output(2) = {true, "127.0.0.1/two", 8000, "two-pass", "mp3", 64};
    text.output(3) = {true, "127.0.0.1/three", 8000, "three-pass", "mp3", 64};
    text.output(4) = {false, "127.0.0.1/four", 8000, "", "mp3", 128};
    storeTextSettings(station, text);
    station.autoReconnect = 1;
    start();
    hl::fireTimer(statusTimer);
    EXPECT_TRUE(eventually([] { return desktop::text(76) == "Output 3: off" && desktop::text(79) == "Recording: off"; }, 2s));

    hl::click(connectToggle);
    for (int n : {2, 3}) ASSERT_TRUE(eventually([&] { return outputState(n).phase == OutputPhase::onAir; }, 5s));
    fake_bass::seconds(65.0);
    hl::fireTimer(statusTimer);
    settle();
    EXPECT_EQ(desktop::text(statusLine), "online! | streaming since: 1:05");  // all of them on the air
    EXPECT_EQ(desktop::text(76), "Output 3: on the air");

    HENCODE three = 0;
    for (const auto& cast : fake_bass::callsTo("BASS_Encode_CastInit"))
        if (cast.texts[0] == "127.0.0.1:8000/three") three = static_cast<HENCODE>(cast.ints[0]);
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_CAST_DENIED, 2);
    ASSERT_TRUE(fake_bass::notify(three, BASS_ENCODE_NOTIFY_CAST));
    ASSERT_TRUE(eventually([] { return outputState(3).failure.rfind("Couldn't setup", 0) == 0; }, 5s));
    hl::fireTimer(statusTimer);
    settle();
    EXPECT_EQ(desktop::text(74), "Output 1: on the air");
    EXPECT_EQ(desktop::textColor(74), 0x008000u);
    EXPECT_EQ(desktop::text(75), "Output 2: on the air");
    EXPECT_EQ(desktop::text(76).rfind("Output 3: reconnecting: Couldn't setup connection with server", 0), 0u)
        << desktop::text(76);
    EXPECT_EQ(hl::toolTip(76), desktop::text(76));
    EXPECT_EQ(desktop::textColor(76), 0xA05000u);
    EXPECT_EQ(desktop::text(77), "Output 4: off");
    EXPECT_EQ(desktop::textColor(77), 0x000000u);
    EXPECT_EQ(desktop::text(statusLine), "online! | streaming since: 1:05 | 2 of 3");

    // Back on the air when its server takes it again: every output, no count.
    ASSERT_TRUE(eventually([] { return outputState(3).phase == OutputPhase::onAir; }, 5s));
    hl::fireTimer(statusTimer);
    settle();
    EXPECT_EQ(desktop::text(76), "Output 3: on the air");
    EXPECT_EQ(desktop::text(statusLine), "online! | streaming since: 1:05");

    hl::click(connectToggle);
    ASSERT_TRUE(eventually([] { return station.streaming == 0; }, 5s));
    hl::fireTimer(statusTimer);
    settle();
    EXPECT_EQ(desktop::text(74), "Output 1: off");
    EXPECT_EQ(desktop::text(76), "Output 3: off");
    EXPECT_EQ(desktop::text(statusLine), "offline!");
}

}  // namespace

// Talk-over against the recording audio library and the headless desktop: what reaches the
// volume effect and the capture input for each press, release, Hold and level change.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "audio/talk_over.h"
#include "broadcast/connection.h"
#include "desktop/desktop.h"
#include "desktop/headless.h"
#include "fake_bass.h"
#include "test_station.h"

namespace {

using desktop::ControlKind;

class TalkOver : public ::testing::Test {
protected:
    Larkspur record;

    void SetUp() override {
        fake_bass::reset();
        test_station::reset(record);
        test_station::openWindow();
        add(38, ControlKind::PushButton, "Speak");
        add(39, ControlKind::ToggleButton, "Hold");
        for (int n : {33, 35, 37}) add(n, ControlKind::Trackbar, "");
        record.volumeFx = 77;
        record.hostVolume = 80;
        record.hostVolumeSpeaking = 20;
        record.deviceVolumeSpeaking = 90;
        resetPressSpeaking();
        fake_bass::reset();  // only what talk-over itself calls
    }

    static void add(int number, ControlKind kind, const char* text) {
        desktop::ControlSpec spec;
        spec.number = number;
        spec.kind = kind;
        spec.text = text;
        ASSERT_TRUE(desktop::createControl(1, spec));
    }

    void poll(int under, bool down) {
        desktop::headless::pointer(under, down);
        pollSpeakButton(&record);
    }

    // Last music factor and capture level set, -1 when none was.
    static float music() {
        auto calls = fake_bass::callsTo("BASS_FXSetParameters");
        return calls.empty() ? -1.0f : calls.back().volume;
    }
    static float capture() {
        auto calls = fake_bass::callsTo("BASS_RecordSetInput");
        return calls.empty() ? -1.0f : calls.back().volume;
    }
    static std::size_t levelCalls() {
        return fake_bass::count("BASS_FXSetParameters") + fake_bass::count("BASS_RecordSetInput");
    }
};

TEST_F(TalkOver, PressAndReleaseWhileStreamingSwitchLevels) {
    record.streaming = 1;
    poll(speakButton, true);
    EXPECT_EQ(record.speaking, 1);
    EXPECT_FLOAT_EQ(music(), 0.2f);
    EXPECT_FLOAT_EQ(capture(), 0.9f);
    auto fx = fake_bass::callsTo("BASS_FXSetParameters").back();
    EXPECT_EQ(fx.ints.at(0), 77);  // the host stream's volume effect
    EXPECT_EQ(fx.channel, 0);      // all channels together
    auto input = fake_bass::callsTo("BASS_RecordSetInput").back();
    EXPECT_EQ(input.ints.at(0), -1);
    EXPECT_EQ(input.ints.at(1), BASS_INPUT_ON);

    poll(speakButton, true);  // still held: nothing new
    EXPECT_EQ(levelCalls(), 2u);

    poll(speakButton, false);
    EXPECT_EQ(record.speaking, 0);
    EXPECT_FLOAT_EQ(music(), 0.8f);
    EXPECT_FLOAT_EQ(capture(), 0.0f);
    EXPECT_EQ(fake_bass::callsTo("BASS_RecordSetInput").back().ints.at(1), BASS_INPUT_ON);  // on, at level 0
}

TEST_F(TalkOver, DraggingOntoAndOffSpeakWhileHeld) {
    record.streaming = 1;
    poll(0, true);  // pressed elsewhere
    EXPECT_EQ(levelCalls(), 0u);
    poll(speakButton, true);  // moved onto Speak, still held
    EXPECT_EQ(record.speaking, 1);
    poll(39, true);  // moved off, still held
    EXPECT_EQ(record.speaking, 0);
    EXPECT_FLOAT_EQ(music(), 0.8f);
    poll(0, false);
    EXPECT_EQ(levelCalls(), 4u);
}

TEST_F(TalkOver, PressWhileOfflineChangesNothingButIsFollowed) {
    poll(speakButton, true);
    poll(speakButton, false);
    EXPECT_EQ(levelCalls(), 0u);
    EXPECT_EQ(record.speaking, 0);

    // A press begun offline is still the press: going on the air meanwhile starts nothing,
    // and its release ends speaking (which mutes the input).
    poll(speakButton, true);
    record.streaming = 1;
    poll(speakButton, true);
    EXPECT_EQ(levelCalls(), 0u);
    poll(speakButton, false);
    EXPECT_EQ(record.speaking, 0);
    EXPECT_FLOAT_EQ(capture(), 0.0f);
}

TEST_F(TalkOver, HoldWhileStreamingSpeaksAndTurnsThePollOff) {
    record.streaming = 1;
    desktop::setChecked(holdButton, true);
    onHoldToggled(&record);
    EXPECT_EQ(record.speaking, 1);
    EXPECT_EQ(record.speakHold, 1);
    EXPECT_EQ(desktop::text(30), "hold --> speak");
    EXPECT_FALSE(desktop::enabled(speakButton));
    EXPECT_FLOAT_EQ(music(), 0.2f);

    std::size_t before = levelCalls();
    poll(0, false);  // the poll would end a press; with Hold down it does nothing
    EXPECT_EQ(record.speaking, 1);
    EXPECT_EQ(levelCalls(), before);

    desktop::setChecked(holdButton, false);
    onHoldToggled(&record);
    EXPECT_EQ(record.speaking, 0);
    EXPECT_EQ(record.speakHold, 0);
    EXPECT_EQ(desktop::text(30), "release --> mute");
    EXPECT_TRUE(desktop::enabled(speakButton));
    EXPECT_FLOAT_EQ(music(), 0.8f);
    EXPECT_FLOAT_EQ(capture(), 0.0f);
}

TEST_F(TalkOver, HoldWhileOfflineShowsStateButNeverSpeaks) {
    desktop::setChecked(holdButton, true);
    onHoldToggled(&record);
    EXPECT_EQ(desktop::text(30), "hold --> speak");
    EXPECT_FALSE(desktop::enabled(speakButton));
    EXPECT_EQ(record.speakHold, 1);
    EXPECT_EQ(record.speaking, 0);
    record.streaming = 1;  // a later connect
    poll(speakButton, true);
    EXPECT_EQ(record.speaking, 0);
    EXPECT_EQ(levelCalls(), 0u);
}

TEST_F(TalkOver, HoldDuringAPressForgetsThePress) {
    record.streaming = 1;
    poll(speakButton, true);
    desktop::setChecked(holdButton, true);
    onHoldToggled(&record);
    desktop::setChecked(holdButton, false);
    onHoldToggled(&record);
    std::size_t before = levelCalls();
    poll(0, false);  // the old press must not end speaking a second time
    EXPECT_EQ(levelCalls(), before);
}

TEST_F(TalkOver, LevelChangesApplyOnlyToTheActiveState) {
    record.streaming = 1;
    // Not speaking: the music level applies, the speaking levels are only stored.
    desktop::setPosition(35, 40);
    onLevelChanged(&record, 35);
    desktop::setPosition(37, 60);
    onLevelChanged(&record, 37);
    EXPECT_EQ(record.hostVolumeSpeaking, 40);
    EXPECT_EQ(record.deviceVolumeSpeaking, 60);
    EXPECT_EQ(levelCalls(), 0u);  // the input stays muted
    desktop::setPosition(33, 100);
    onLevelChanged(&record, 33);
    EXPECT_EQ(record.hostVolume, 100);
    EXPECT_FLOAT_EQ(music(), 1.0f);

    poll(speakButton, true);
    EXPECT_FLOAT_EQ(music(), 0.4f);
    EXPECT_FLOAT_EQ(capture(), 0.6f);
    // Speaking: the speaking levels act at once, the music level waits for the release.
    desktop::setPosition(35, 0);
    onLevelChanged(&record, 35);
    EXPECT_FLOAT_EQ(music(), 0.0f);
    desktop::setPosition(37, 100);
    onLevelChanged(&record, 37);
    EXPECT_FLOAT_EQ(capture(), 1.0f);
    std::size_t before = levelCalls();
    desktop::setPosition(33, 50);
    onLevelChanged(&record, 33);
    EXPECT_EQ(record.hostVolume, 50);
    EXPECT_EQ(levelCalls(), before);
    poll(speakButton, false);
    EXPECT_FLOAT_EQ(music(), 0.5f);
}

TEST_F(TalkOver, NothingWithoutARecordOrOffline) {
    setSpeaking(nullptr, 1);
    setSpeaking(&record, 1);  // offline
    applyHostVolume(&record);
    desktop::setPosition(33, 10);
    onLevelChanged(&record, 33);
    EXPECT_EQ(record.hostVolume, 10);
    EXPECT_EQ(record.speaking, 0);
    EXPECT_EQ(levelCalls(), 0u);
}

TEST_F(TalkOver, SpeakingNeverWaitsForAConnectionChangeUnderWay) {
    // Another thread connects or disconnects (the lock held there): the press returns at once
    // and leaves `speaking` alone; what was asked last applies once the station is on the air.
    std::promise<void> locked, release;
    auto holder = std::async(std::launch::async, [&] {
        auto held = lockConnection();
        locked.set_value();
        release.get_future().wait();
    });
    locked.get_future().wait();
    record.streaming = 1;
    poll(speakButton, true);   // returns: the test would hang here otherwise
    applyDeferredSpeaking(&record);  // still busy: kept
    EXPECT_EQ(record.speaking, 0);
    EXPECT_EQ(levelCalls(), 0u);
    release.set_value();
    holder.wait();
    poll(speakButton, true);  // the next pass: lock free, on the air
    EXPECT_EQ(record.speaking, 1);
    EXPECT_FLOAT_EQ(music(), 0.2f);
    EXPECT_FLOAT_EQ(capture(), 0.9f);

    // Released while busy, and the station went off the air meanwhile: nothing is applied,
    // and the wish is gone (no reconnect loop will bring the station back).
    std::promise<void> locked2, release2;
    holder = std::async(std::launch::async, [&] {
        auto held = lockConnection();
        locked2.set_value();
        release2.get_future().wait();
    });
    locked2.get_future().wait();
    poll(speakButton, false);
    record.streaming = 0;
    record.speaking = 0;
    release2.set_value();
    holder.wait();
    fake_bass::clearCalls();
    poll(0, false);
    record.streaming = 1;
    poll(0, false);
    EXPECT_EQ(record.speaking, 0);
    EXPECT_EQ(levelCalls(), 0u);
}

}  // namespace

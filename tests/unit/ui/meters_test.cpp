// The meters under the pages and the dead-air warning, on a simulated clock: the meter timer's
// ticks are handed the time.
#include "ui/meters.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "broadcast/broadcast_state.h"
#include "broadcast/connection.h"
#include "broadcast/dead_air.h"
#include "broadcast/title_status.h"
#include "fake_bass.h"
#include "test_station.h"
#include "ui/window_layout.h"

namespace {

constexpr double floorDb = desktop::meterFloorDb;
constexpr std::uint32_t green = 0x00FF00, red = 0xFF0000;

class Meters : public ::testing::Test {
protected:
    void SetUp() override {
        desktop::selectBackend("headless");
        desktop::headless::reset();
        fake_bass::reset();
        test_station::reset(station);
        test_station::configure(station);
        resetBroadcastState();
        startMeters(nullptr);
        buildWindow(&station);
        ASSERT_EQ(connectStream(&station), 1);
    }
    void TearDown() override {
        setDeadAirSettings(DeadAirSettings{});
        shutdownBroadcast(&station);
    }

    // The music and the air at `factor` of full scale, the microphone closed.
    void play(float factor) {
        fake_bass::setLevel(station.hostStream, factor);
        fake_bass::setLevel(station.mixer, factor);
    }
    // Meter ticks every 40 ms from `from` to `to` (ms), with a status tick every 500 ms.
    void run(std::int64_t from, std::int64_t to) {
        for (std::int64_t t = from; t <= to; t += meterTimerPeriodMs) {
            updateMeters(&station, t);
            if (t % 500 == 0) updateStatus(&station);
        }
    }
    // How often the station log says so.
    static int logged(const std::string& event) {
        const auto events = test_station::OwnFolder::events();
        return int(std::count(events.begin(), events.end(), event));
    }

    test_station::OwnFolder folder;
};

TEST_F(Meters, AToneAtMinusSixShowsOnTheMusicAndTheAirAndSilenceShowsTheFloor) {
    play(0.5f);
    updateMeters(&station, 1000);
    for (int meter : {musicMeter, airMeter}) {
        SCOPED_TRACE(meter);
        EXPECT_NEAR(desktop::meter(meter).levelDb, -6.0, 0.1);
        EXPECT_NEAR(desktop::meter(meter).holdDb, -6.0, 0.1);
        EXPECT_FALSE(desktop::meter(meter).clipped);
    }
    EXPECT_EQ(desktop::meter(microphoneMeter).levelDb, floorDb);  // nobody speaks: the input is at 0

    play(1.0f);  // a clip on the air
    updateMeters(&station, 1040);
    EXPECT_TRUE(desktop::meter(airMeter).clipped);

    play(0.0f);
    run(1080, 5000);
    for (int meter : {musicMeter, microphoneMeter, airMeter}) {
        SCOPED_TRACE(meter);
        EXPECT_EQ(desktop::meter(meter), desktop::MeterReading{});  // floor, no hold, no clip
    }

    // Off the air the channels are gone: the floor, without asking the engine.
    toggleConnection(&station, false);
    fake_bass::clearCalls();
    updateMeters(&station, 5040);
    EXPECT_EQ(desktop::meter(airMeter).levelDb, floorDb);
    EXPECT_EQ(fake_bass::count("BASS_ChannelGetLevelEx"), 0u);
}

TEST_F(Meters, DeadAirAfterItsTimeInRedUntilTheSoundReturns) {
    fake_bass::seconds(120.0);
    play(0.5f);
    run(0, 2000);
    EXPECT_EQ(desktop::text(statusLine), "online! | streaming since: 2:00");

    // The player pauses: below -50 dBFS for 15 s is dead air, a moment less is not.
    play(0.002f);  // -54 dBFS
    run(2040, 17000);
    EXPECT_EQ(desktop::text(statusLine), "online! | streaming since: 2:00");
    EXPECT_EQ(logged("dead air"), 0);
    run(17040, 17040);
    EXPECT_EQ(desktop::text(statusLine), "dead air! silent for 0:15");  // at once, not at the next status tick
    EXPECT_EQ(desktop::textColor(statusLine), red);
    run(17080, 30000);
    EXPECT_EQ(desktop::text(statusLine), "dead air! silent for 0:27");
    EXPECT_EQ(logged("dead air"), 1);

    play(0.01f);  // -40 dBFS: sound again
    run(30040, 30040);
    EXPECT_EQ(desktop::text(statusLine), "online! | streaming since: 2:00");
    EXPECT_EQ(desktop::textColor(statusLine), green);
    EXPECT_EQ(logged("sound again after dead air"), 1);

    // The presenter's own threshold and time, read at every tick.
    setDeadAirSettings(DeadAirSettings{-30, 5});
    run(30080, 35080);
    EXPECT_EQ(desktop::text(statusLine), "dead air! silent for 0:05");  // -40 is silence now
    EXPECT_EQ(logged("dead air"), 2);

    // The settings file's values, kept in range; a time of 0 turns the warning off.
    setDeadAirSettings(DeadAirSettings{20, -5});
    EXPECT_EQ(deadAirSettings().thresholdDb, 0);
    EXPECT_EQ(deadAirSettings().seconds, 0);
    run(35120, 36000);
    EXPECT_EQ(desktop::text(statusLine), "online! | streaming since: 2:00");
    EXPECT_EQ(logged("sound again after dead air"), 2);

    // A new window thread takes them from the settings file's text part.
    TextSettings text = textSettingsOf(station);
    text.deadAirThreshold = -40;
    text.deadAirSeconds = 30;
    storeTextSettings(station, text);
    startMeters(&station);
    EXPECT_EQ(deadAirSettings().thresholdDb, -40);
    EXPECT_EQ(deadAirSettings().seconds, 30);
    setDeadAirSettings(DeadAirSettings{-30, 5});

    // Off the air there is no dead air, however silent.
    toggleConnection(&station, false);
    run(36040, 60000);
    EXPECT_EQ(desktop::text(statusLine), "offline!");
    EXPECT_EQ(logged("sound again after dead air"), 2);
}

TEST_F(Meters, SoundBackBeforeTheHostStreamedASecondSaysNoDataNotDeadAir) {
    run(0, 15000);  // the microphone's room, the player never started
    EXPECT_EQ(desktop::text(statusLine), "dead air! silent for 0:15");
    fake_bass::setLevel(station.mixer, 0.5f);  // the presenter speaks
    run(15040, 15040);
    EXPECT_EQ(desktop::text(statusLine), noDataStatus);
}

}  // namespace

// The meters' figures: dBFS from the engine's levels and the ballistics of a peak meter.
#include "audio/levels.h"

#include <gtest/gtest.h>

#include <cmath>

#include "fake_bass.h"
#include "test_station.h"

namespace {

constexpr double floorDb = desktop::meterFloorDb;

TEST(Levels, FactorsOfFullScaleInDbfsDownToTheFloor) {
    EXPECT_NEAR(levelDb(0.5f), -6.02, 0.01);
    EXPECT_NEAR(levelDb(0.1f), -20.0, 0.01);
    EXPECT_EQ(levelDb(1.0f), 0.0);
    EXPECT_EQ(levelDb(1.5f), 0.0);  // never above full scale
    EXPECT_EQ(levelDb(0.0f), floorDb);
    EXPECT_EQ(levelDb(0.0001f), floorDb);  // -80 dB shows as the floor
    EXPECT_EQ(levelDb(std::nanf("")), floorDb);
}

TEST(Levels, EachMeterReadsItsOwnChannelAndAMissingOneIsTheFloor) {
    fake_bass::reset();
    Larkspur r;
    test_station::reset(r);
    EXPECT_EQ(readStationLevels(r, 0.04f).air, floorDb);
    EXPECT_EQ(fake_bass::count("BASS_ChannelGetLevelEx"), 0u);  // no channel, no call
    r.hostStream = 3;
    r.recordChannel = 4;
    r.mixer = 5;
    fake_bass::setLevel(3, 0.5f);
    fake_bass::setLevel(4, 0.25f);
    fake_bass::setLevel(5, 1.0f);
    const StationLevels l = readStationLevels(r, 0.04f);
    EXPECT_NEAR(l.music, -6.02, 0.01);
    EXPECT_NEAR(l.microphone, -12.04, 0.01);
    EXPECT_EQ(l.air, 0.0);
    const auto call = fake_bass::callsTo("BASS_ChannelGetLevelEx").at(0);
    EXPECT_FLOAT_EQ(call.volume, 0.04f);  // the length asked for
    EXPECT_EQ(call.ints[1], BASS_LEVEL_MONO);
    fake_bass::fail("BASS_ChannelGetLevelEx", BASS_ERROR_HANDLE);
    EXPECT_EQ(readStationLevels(r, 0.04f).music, floorDb);  // a freed channel: the floor
}

TEST(PeakMeter, JumpsUpFallsSlowlyHoldsThePeakAndMarksAClip) {
    PeakMeter m;
    auto r = m.update(-6.0, 1000);
    EXPECT_EQ(r.levelDb, -6.0);
    EXPECT_EQ(r.holdDb, -6.0);
    EXPECT_FALSE(r.clipped);
    r = m.update(floorDb, 1500);  // silence: the bar falls 24 dB a second, the mark holds
    EXPECT_NEAR(r.levelDb, -18.0, 1e-9);
    EXPECT_EQ(r.holdDb, -6.0);
    r = m.update(-30.0, 2000);
    EXPECT_NEAR(r.levelDb, -30.0, 1e-9);
    EXPECT_EQ(r.holdDb, -6.0);
    r = m.update(-40.0, 2600);  // the hold is over: the mark rides the bar down
    EXPECT_NEAR(r.holdDb, r.levelDb, 1e-9);
    r = m.update(-10.0, 2640);  // a new peak moves both at once
    EXPECT_EQ(r.levelDb, -10.0);
    EXPECT_EQ(r.holdDb, -10.0);
    r = m.update(floorDb, 10000);
    EXPECT_EQ(r.levelDb, floorDb);  // never below the floor

    r = m.update(0.0, 20000);  // full scale
    EXPECT_TRUE(r.clipped);
    EXPECT_TRUE(m.update(floorDb, 22999).clipped);
    EXPECT_FALSE(m.update(floorDb, 23000).clipped);
    EXPECT_FALSE(m.update(-0.1, 23040).clipped);  // loud but not clipped
}

}  // namespace

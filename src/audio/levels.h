// Level meters: the music (the host stream, after its level), the microphone (the capture
// channel, at its input level) and what goes on the air (the mix the encoder gets), read from
// the engine at every meter tick, and the meters' ballistics.
#pragma once

#include <cstdint>

#include "desktop/desktop.h"
#include "settings/larkspur.h"

// dBFS of a level given as a factor of full scale; the meters' floor for silence.
double levelDb(float factor);

struct StationLevels {
    double music = desktop::meterFloorDb;
    double microphone = desktop::meterFloorDb;
    double air = desktop::meterFloorDb;
};
// Peaks over the last `seconds`; a channel that does not exist reads as the floor.
StationLevels readStationLevels(const Larkspur& record, float seconds);

// A peak meter: the bar jumps up to each new peak and falls back slowly; the hold mark stays at
// the highest peak for a moment; a peak at full scale lights the clip mark for a while.
class PeakMeter {
public:
    static constexpr double fallDbPerSecond = 24.0;
    static constexpr std::int64_t holdMs = 1500;
    static constexpr std::int64_t clipMs = 3000;
    static constexpr double clipDb = -0.01;  // a sample at (or a hair below) full scale

    desktop::MeterReading update(double peakDb, std::int64_t nowMs);

private:
    double bar_ = desktop::meterFloorDb;
    double hold_ = desktop::meterFloorDb;
    std::int64_t lastMs_ = 0;
    std::int64_t holdSinceMs_ = 0;
    std::int64_t clipUntilMs_ = -1;
    bool started_ = false;
};

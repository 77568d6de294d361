// The meters under the tab pages, seen whatever page is open: music, microphone and the air,
// each a label and a meter. Numbers 60 to 65 (the outputs page has 47 to 59 and 66 on):
//   60 music meter, 61 microphone meter, 62 air meter; 63, 64, 65 their labels.
#pragma once

#include <cstdint>

#include "settings/larkspur.h"

constexpr int musicMeter = 60;
constexpr int microphoneMeter = 61;
constexpr int airMeter = 62;
constexpr int musicMeterLabel = 63;
constexpr int microphoneMeterLabel = 64;
constexpr int airMeterLabel = 65;

// 25 readings a second.
constexpr int meterTimer = 3;
constexpr int meterTimerPeriodMs = 40;

// The meter timer's tick at nowMs (any steady clock in ms): the meters show the levels, and
// the air's level decides dead air.
void updateMeters(Larkspur* record, std::int64_t nowMs);
// A new window thread: the meters at the floor, with no hold and no clip, and the dead-air
// threshold and time as the settings file has them.
void startMeters(const Larkspur* record);

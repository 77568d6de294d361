// The window thread: builds the window, opens the output device, runs the timers, the Speak
// poll and the control handlers, and ends on Quit's stop request.
#pragma once

#include <cstdint>
#include <string>

#include "settings/larkspur.h"

// Writes the settings file a moment after a change in the window, so that a host that dies
// without Quit loses nothing; Quit still writes it at the end.
constexpr int settingsTimer = 2;
constexpr int settingsTimerPeriodMs = 1000;

int windowThreadProc(Larkspur* record);
void handleControlEvent(Larkspur* record, int control);
void onFormatChosen(Larkspur* record);
std::int32_t parseInteger(const std::string& text);

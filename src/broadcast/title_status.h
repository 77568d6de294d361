// The track title for the server (title timer) and the status line (status timer).
#pragma once

#include <string>

#include "settings/larkspur.h"

constexpr int titleTimer = 0;
constexpr int statusTimer = 1;
constexpr int titleTimerPeriodMs = 2000;
constexpr int statusTimerPeriodMs = 500;

// The host's title cut to the track: first word dropped, a trailing " - Winamp" removed.
std::string trackTitle(const std::string& hostTitle);
// "M:SS" (minutes not carried into hours).
std::string streamingTime(int seconds);

void updateTitle(Larkspur* record);
void updateStatus(Larkspur* record);

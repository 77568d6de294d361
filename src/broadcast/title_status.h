// The track title for the server (title timer) and the status line (status timer).
#pragma once

#include <cstdint>
#include <string>

#include "broadcast/failure_reason.h"
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
// The status timer's tick: the line shows statusView of the facts now. Also run at once where
// the facts change (a failure, dead air beginning or ending).
void updateStatus(Larkspur* record);

// What the status line can tell, gathered from the record, the broadcast state and the dead-air
// watch.
struct StatusFacts {
    bool connecting = false;
    bool reconnecting = false;
    int attempt = 0;
    FailureReason reason = FailureReason::None;
    bool streaming = false;
    bool deadAir = false;
    int silentSeconds = 0;
    int seconds = -1;  // the streaming time in whole seconds; -1 while below half a second or unknown
    // The capture device is gone: the engine mixes silence for it and keeps trying to open it again.
    bool microphoneLost = false;
    // Server outputs started at this connect (output 1 among them) and those of them on the air.
    int outputs = 1;
    int outputsOnAir = 1;
};
struct StatusView {
    bool keep = false;  // the line keeps what it shows ("online... but no data..", talk-over texts)
    std::string text;
    std::uint32_t colour = 0;
};
StatusView statusView(const StatusFacts& facts);
StatusFacts statusFacts(Larkspur* record);

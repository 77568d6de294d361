// The "Outputs" page: servers 2 to 5 and the recording, as the text part of the settings keeps
// them. One server's settings are shown at a time (chosen in the list at the top), so that every
// field keeps a usable width in the window's size; a state line for every output and the
// recording is always there, refreshed by the status timer.
#pragma once

#include <string>

#include "broadcast/outputs.h"
#include "broadcast/recording.h"
#include "settings/larkspur.h"

constexpr int outputChoice = 47;  // "Output 2" to "Output 5"
constexpr int outputEnabled = 48;
constexpr int outputServer = 50;
constexpr int outputPort = 52;
constexpr int outputPassword = 54;
constexpr int outputFormat = 56;
constexpr int outputBitrate = 57;
constexpr int outputBitrateUnit = 58;
constexpr int recordEnabled = 59;
constexpr int recordFolder = 66;
constexpr int recordFormat = 68;
constexpr int recordBitrate = 69;
constexpr int recordBitrateUnit = 70;
constexpr int recordSplit = 72;
constexpr int firstStateLine = 74;  // output n's at 73 + n (1 to 5)
constexpr int recordingStateLine = 79;

// At build, after showRecord: fills the lists, brings each output's and the recording's bitrate
// into what its format offers, and shows output 2, the recording and the states.
void buildOutputsPage(Larkspur* record);
// The output chosen in the list and the recording, from the text settings into the controls.
void showOutputSettings(Larkspur* record);
// A control event of the page: the value goes into the text settings at once. False for a
// control that is not on the page.
bool handleOutputsPageEvent(Larkspur* record, int control);
// The status timer's tick: every state line shows its output's or the recording's state now.
void showOutputStates();

std::string outputStateText(int n, const OutputState& state);
std::string recordingStateText(const RecordingState& state);

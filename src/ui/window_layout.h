// The configuration window: its controls, built from one table, and the record shown in them.
#pragma once

#include "settings/larkspur.h"

constexpr int configWindow = 1;
constexpr int configClientWidth = 259;
constexpr int configClientHeight = 416;  // the meters below the tab pages

void buildWindow(Larkspur* record);
int showRecord(Larkspur* record);
// Fills the bitrate list with the record's format's bitrates and selects the record's bitrate.
// One the list lacks becomes the first entry, or with `nearest` the closest one; a lossless
// format shows "lossless" in a disabled list and leaves the bitrate as it is.
void showBitrates(Larkspur* record, bool nearest);

// The configuration window: its controls, built from one table, and the record shown in them.
#pragma once

#include "broadcast/formats.h"
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
// The same for any bitrate list and its unit label: fills `list` with the format's bitrates,
// selects `bitrate` (or the first entry, or with `nearest` the closest) and returns the bitrate
// chosen; a lossless format shows "lossless" in the disabled list and returns `bitrate`.
int showBitrateList(int list, int unit, const StreamFormat& format, int bitrate, bool nearest);
// The bitrate a format offers for `bitrate`: itself, else the first (or with `nearest` the closest,
// the lower of two as close); a lossless format's is `bitrate` as it is.
int offeredBitrate(const StreamFormat& format, int bitrate, bool nearest);

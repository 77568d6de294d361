// The sample tap: copies each block the host renders into the host stream as 16-bit stereo.
// Runs on the host's playback thread: no lock, no allocation, no system call.
#pragma once

#include <cstdint>

#include "bass.h"

// Bytes a block of `numsamples` frames occupies as 16-bit stereo once converted;
// 0 when the block cannot be carried (an unknown width or no channel). Of more than two
// channels the first two are carried.
std::int64_t tapByteCount(int numsamples, int bps, int nch);

// Pushes the block (frames of `nch` interleaved channels of `bps` bits) into `stream`:
// 16-bit stereo as it is, 8, 24 and 32-bit, mono or more channels converted in chunks on
// the stack.
// The block itself is never written. Nothing happens when `stream` is 0.
void tapBlock(HSTREAM stream, const void* samples, int numsamples, int bps, int nch);

// DSPProc's body: reads the record's host stream once, taps the block, returns numsamples.
struct Larkspur;
int dspProc(Larkspur* record, const void* samples, int numsamples, int bps, int nch, int srate);

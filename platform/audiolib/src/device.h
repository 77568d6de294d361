// The output device: a clock that pulls every playing mixer in real time (periods of 20 ms,
// scheduled on absolute time so nothing drifts), and sends the mixers' output, scaled by
// their volume, to a playback stream when a sound server is there.
#pragma once

#include <memory>

#include "mixer.h"

namespace bassx {

namespace device {

constexpr int kPeriodMs = 20;

// BASS error code, 0 on success.
int init(int device, DWORD freq);
int free();
bool isInit();
// Starts pulling the mixer (BASS_ERROR_INIT without a device).
int play(const std::shared_ptr<Mixer>& m);
// Stops pulling it; when this returns the clock no longer touches it.
void stop(const Mixer* m);
bool hasOutput();
// Bytes handed to the sound server since init (0 without output).
uint64_t bytesWritten();

}  // namespace device
}  // namespace bassx

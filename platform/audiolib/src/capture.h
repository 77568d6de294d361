// Capture from the sound server's sources: the device list, the open capture device, its
// capture channel (s16le at the channel's rate and channel count; the server converts) and
// its input level.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "source.h"

namespace bassx::capture {

// The sound server delivers in 20 ms fragments on its own real-time clock: half a second covers
// a stalled mixer without holding memory that is never needed.
constexpr double kCaptureRingSeconds = 0.5;
// The fragments arrive out of step with the device clock's 20 ms periods; the channel is
// steered to three periods in hand, like the push stream.
constexpr unsigned kCapturePrebufferMs = 60;

struct DeviceEntry {
    const char* name;    // stays valid for the life of the process
    const char* driver;
    DWORD flags;
};

// Device n of the server's sources, or false past the end (BASS error code in err).
bool deviceInfo(DWORD n, DeviceEntry& out, int& err);

// BASS error code, 0 on success.
int open(int device);
// Ends an open under way on another thread at once and refuses every later one
// (BASS_ERROR_RECORD_CANCEL) until close(). Returns at once.
void cancelOpen();
int close();
bool isOpen();

class RecordChannel;
// Creates the capture channel on the open device, paused when asked.
std::shared_ptr<Source> start(DWORD freq, DWORD chans, bool paused, int& err);
// Plays / pauses the channel's stream on the server.
int setRunning(Source& channel, bool run);
// The channel's device has gone (failed, unplugged, or the sound server went away): the channel
// gives silence and its device is opened again, by its name, as soon as it is back.
bool isLost(const Source& channel);
// The open device's volume as a factor of its normal level.
int setLevel(float level);
// The open device's volume (at most 1) and whether the system has it switched off.
int level(float& volume, bool& off);

}  // namespace bassx::capture

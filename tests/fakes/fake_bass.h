// Recording double of the audio library (bass.h) for unit tests.
//
// Every bass.h function is defined here: each call is recorded with its arguments, and
// returns a scripted result (by default success, with handles counting up from 1). The
// last error code is kept per thread, like the real library: 0 after a success.
// Thread-safe; hooks and notify procs run outside the fake's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bass.h"

namespace fake_bass {

struct Call {
    std::string name;               // "BASS_Encode_Start"
    std::string args;               // printable: "5, \"cmd\", 0x40001, 0, 0"
    std::vector<std::int64_t> ints; // every integer argument (handles, flags, counts), in order
    std::vector<std::string> texts; // every text argument in order (null pointer -> "")
    std::vector<unsigned char> bytes;  // StreamPutData: the pushed bytes
    float volume = 0;               // FXSetParameters (BFX volume) / SetAttribute / Record{Set,Get}Input
    int channel = 0;                // FXSetParameters: lChannel
    bool ok = true;                 // what the fake returned: success or failure
    int error = 0;                  // the error code it set
    std::uint64_t result = 0;       // the value it returned (handle, BOOL, count)
};

struct Device {
    std::string name;
    std::string driver;
    DWORD flags = BASS_DEVICE_ENABLED;
};

// Forget every call, script, device, notify proc and hook; handles count from 1 again.
// The device list becomes the default: one enabled default device "Default".
void reset();
// Forget the recorded calls only; scripts, devices, handles and notify procs stay.
void clearCalls();

// ---- scripting ----
// The next `times` calls to `name` fail with `code` (times < 0: every call from now on).
void fail(const std::string& name, int code, int times = 1);
// Calls to `name` succeed again.
void clearFailure(const std::string& name);
// A fixed return value for `name` on success (handles, BASS_FX_GetVersion,
// BASS_Mixer_ChannelGetPosition, BASS_StreamPutData, BASS_ChannelIsActive (playing unless
// set), ...). For BASS_ChannelBytes2Seconds use seconds().
void setResult(const std::string& name, std::uint64_t value);
void seconds(double value);  // what BASS_ChannelBytes2Seconds returns
void setDevices(const std::vector<Device>& devices);
// The system's capture input level: BASS_RecordGetInput reads it, a successful
// BASS_RecordSetInput writes it. 1.0 after reset().
void setInputLevel(float volume);
float inputLevel();
// What BASS_ChannelGetLevel(Ex) reports for `handle`, as a factor of full scale on every
// channel; 0 (silence) for a handle never set.
void setLevel(DWORD handle, float level);
// Runs after `name` is recorded, before it returns, on the caller's thread (outside the lock):
// lets a test block a call or act in the middle of a sequence.
void onCall(const std::string& name, std::function<void(const Call&)> hook);

// ---- inspection ----
std::vector<Call> calls();
std::vector<Call> callsTo(const std::string& name);
std::vector<std::string> callNames();       // names in order
std::size_t count(const std::string& name); // how often `name` was called
std::string lastCommandLine();              // of the last BASS_Encode_Start
HENCODE lastEncoder();                      // handle returned by the last successful Encode_Start
std::uint64_t pushedBytes();                // total length passed to BASS_StreamPutData

// ---- notifications ----
// Calls the proc registered with BASS_Encode_SetNotify for `handle` (0: the last registered),
// on the calling thread. False when none is registered.
bool notify(HENCODE handle, DWORD status);

}  // namespace fake_bass

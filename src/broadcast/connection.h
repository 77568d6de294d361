// Taking the station on the air and off it again, and surviving a dying encoder or server.
#pragma once

#include <mutex>
#include <string>

#include "bass.h"
#include "broadcast/formats.h"
#include "settings/larkspur.h"

constexpr int statusLine = 30;
constexpr int connectToggle = 31;
// What the status line says from a connect until the host's sound has streamed a second.
constexpr const char* noDataStatus = "online... but no data.. please play sound..";

int connectStream(Larkspur* record);
int startEncoder(Larkspur* record);
void disconnectStream(Larkspur* record);
void BASSCALLBACK encoderNotify(HENCODE handle, DWORD status, void* user);
void setStatus(const std::string& text);

// What connect sends, built from the record.
std::string encoderCommandLine(const Larkspur& record, const std::string& folder);
// BASS_Encode_Start's flags for a format: Opus and FLAC chain a new stream at each title.
DWORD encoderFlags(const StreamFormat& format);
// The bitrate the server is told: none for a lossless format.
DWORD castBitrate(const StreamFormat& format, int bitrate);
std::string serverAddress(const Larkspur& record);
std::string stationHeader(const Larkspur& record);

// Connect and disconnect on the user's request (window thread): ends the reconnect loop, its
// attempt under way cancelled rather than waited for, then acts; returns connectStream's
// result, or 1 for a disconnect.
// The toggle is set under the connection lock: down reading "Disconnect" after a connect,
// up reading "Connect" otherwise, so a failure handler cannot put it up in between.
int toggleConnection(Larkspur* record, bool connect);

// A failure handler is still in its disconnect or reconnect loop (its box aside).
bool failureHandlingUnderWay();

// The lock that serialises connect and disconnect, for steps that must not interleave with
// them (talk-over tests `streaming` and writes `speaking` under it).
std::unique_lock<std::recursive_mutex> lockConnection();
// The same without waiting: owns_lock() false while another thread connects or disconnects.
std::unique_lock<std::recursive_mutex> tryLockConnection();

// Quit's forced end: the connect under way on any thread gives up at once (its capture device's
// open and its handshake are cancelled, silently) and no further connect starts, until
// shutdownBroadcast has run.
void cancelConnects(Larkspur* record);

// Before the module goes: ends a reconnect loop and a running broadcast, releases the
// audio device, so that no engine thread calls into the module afterwards. Boxes that
// failure handlers show are closed. Failure reports are on again afterwards, and connects
// are allowed again.
void shutdownBroadcast(Larkspur* record);

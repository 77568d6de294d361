// Taking the station on the air and off it again, and surviving a dying encoder or server.
#pragma once

#include <string>

#include "bass.h"
#include "settings/larkspur.h"

constexpr int statusLine = 30;
constexpr int connectToggle = 31;

int connectStream(Larkspur* record);
int startEncoder(Larkspur* record);
void disconnectStream(Larkspur* record);
void BASSCALLBACK encoderNotify(HENCODE handle, DWORD status, void* user);
void setStatus(const std::string& text);

// What connect sends, built from the record.
std::string encoderCommandLine(const Larkspur& record, const std::string& folder);
std::string serverAddress(const Larkspur& record);
std::string stationHeader(const Larkspur& record);

// Connect and disconnect on the user's request (window thread): waits for a reconnect
// attempt under way, then acts; returns connectStream's result, or 1 for a disconnect.
int toggleConnection(Larkspur* record, bool connect);

// Before the module goes: ends a reconnect loop and a running broadcast, releases the
// audio device, so that no engine thread calls into the module afterwards.
void shutdownBroadcast(Larkspur* record);

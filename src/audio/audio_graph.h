// The audio graph: output device, capture channel, host push stream with its volume effect,
// and the mixer that feeds the encoder.
#pragma once

#include "settings/larkspur.h"

void initAudioDevice(int window, Larkspur* record);
int createSources(Larkspur* record);
int createMixer(Larkspur* record);
int fillCaptureDeviceList(int control);

// Before the module goes: closes the output device, and every stream and encoder with it,
// when initAudioDevice opened it; else frees only the host stream of the last connect.
void releaseAudioDevice();

// The audio graph: output device, capture channel, host push stream with its volume effect,
// and the mixer that feeds the encoder.
#pragma once

#include "settings/larkspur.h"

void initAudioDevice(int window, Larkspur* record);
int createSources(Larkspur* record);
int createMixer(Larkspur* record);
int fillCaptureDeviceList(int control);

// Closes the output device, and every stream and encoder with it (before the module goes).
void releaseAudioDevice();

#include "audio/talk_over.h"

void setSpeaking(Larkspur*, int) {}
void applyHostVolume(Larkspur*) {}
void applyHostVolumeSpeaking(Larkspur*) {}
void applyDeviceVolumeSpeaking(Larkspur*) {}
void onLevelChanged(Larkspur*, int) {}
void onHoldToggled(Larkspur*) {}
void pollSpeakButton(Larkspur*) {}
void resetPressSpeaking() {}
int controlUnderCursor() { return 0; }
int primaryButtonDown() { return 0; }

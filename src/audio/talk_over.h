// Talk-over: while the presenter speaks the music drops to its "while speaking" level and the
// capture input opens; afterwards the music returns to its level and the input is muted.
#pragma once

#include "settings/larkspur.h"

constexpr int speakButton = 38;
constexpr int holdButton = 39;

// Never waits for a connect or disconnect under way on another thread: what is asked for
// meanwhile is applied once the station is on the air (applyDeferredSpeaking).
void setSpeaking(Larkspur* record, int on);
// The last Speak or Hold change that found the connection busy: applied when the station is
// on the air and the connection lock is free, dropped when it is off the air with no
// reconnect loop left. The reconnect loop calls it after a successful attempt, the Speak
// poll on every pass.
void applyDeferredSpeaking(Larkspur* record);
// What ending speaking does, whether or not the station is on the air yet: `speaking` 0, the
// music at its level, the capture input on at level 0. Connect starts from here, so the
// microphone is closed until the presenter speaks.
void leaveSpeaking(Larkspur* record);
// The system's own input level of the open capture device: noted when connect opens it (the
// first note stands until it is restored), put back before the device is closed.
void noteSystemInputLevel();
void restoreSystemInputLevel();
void applyHostVolume(Larkspur* record);
void applyHostVolumeSpeaking(Larkspur* record);
void applyDeviceVolumeSpeaking(Larkspur* record);
void onLevelChanged(Larkspur* record, int control);
void onHoldToggled(Larkspur* record);
void pollSpeakButton(Larkspur* record);  // every pass of the window thread's loop
void resetPressSpeaking();               // the window thread's press state and a deferred change, at its start
int controlUnderCursor();
int primaryButtonDown();

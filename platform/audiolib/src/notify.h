// Encoder notifications, delivered one at a time on the engine's notification thread. A
// callback may stop the mixer that owns its encoder (freeing it) from inside; once forget()
// has returned on any other thread, that encoder's callback never runs again.
#pragma once

#include "bass.h"

namespace bassx::notify {

void set(DWORD encoder, ENCODENOTIFYPROC* proc, void* user);
void post(DWORD encoder, DWORD status);
void forget(DWORD encoder);
// Drops every registration and queued notice (BASS_Free).
void forgetAll();
bool onNotifyThread();

}  // namespace bassx::notify

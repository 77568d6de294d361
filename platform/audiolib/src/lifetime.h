// What goes with what when a handle is freed, and what an object whose handle was freed on
// another thread refuses. A caller may hold an object it looked up just before another
// thread freed it: removing the handle marks the object released, and every step that ties
// something new to an object (playing a mixer, adding a source or an encoder, registering a
// notification, adding an effect) checks that mark where the free cannot slip past it.
#pragma once

#include <memory>
#include <string>

#include "bass.h"
#include "encoder.h"
#include "mixer.h"
#include "source.h"

namespace bassx::lifetime {

// A push stream or capture channel: its effects die with it and it leaves its mixer.
// False when the handle was not alive.
bool freeSource(DWORD h);
// A mixer: off the clock, sources unplugged, encoders ended and their handles dead, no
// notification of theirs delivered once this returns.
bool freeMixer(DWORD h);
// One encoder, off its mixer (which goes on) and ended; no notification of it once this
// returns. False when the handle was not alive.
bool freeEncoder(DWORD h);
// Everything the engine made (BASS_Free).
void freeAll();

// BASS error codes, 0 on success.
int playMixer(const std::shared_ptr<Mixer>& m);
int addEffect(const std::shared_ptr<Source>& s, DWORD& fx);
int addEncoder(const std::shared_ptr<Mixer>& m, const std::shared_ptr<Encoder>& enc);
int setNotify(const std::shared_ptr<Encoder>& enc, ENCODENOTIFYPROC* proc, void* user);

// Gives a new encoder its handle and starts its program; on failure neither is left behind.
// BASS error code, 0 with `h` its handle. `flags` are BASS_Encode_Start's.
int startEncoder(const std::shared_ptr<Encoder>& enc, const std::string& cmdline, bool withHeader, DWORD channel,
                 DWORD flags, DWORD& h);

// Ends an encoder whose handle is dead or was never handed out.
void endEncoder(const std::shared_ptr<Encoder>& enc);

}  // namespace bassx::lifetime

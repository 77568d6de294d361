// Encoder notifications, delivered one at a time on the engine's notification thread. A
// callback may stop the mixer that owns its encoder (freeing it) from inside; once forget()
// has returned on any other thread, that encoder's callback never runs again. A death posted
// before a callback is registered is held and delivered, once, when one is.
#pragma once

#include <cstddef>

#include "bass.h"
#include "handles.h"

namespace bassx::notify {

// False when the encoder was released already (its handle freed on another thread).
bool set(const Object& encoder, ENCODENOTIFYPROC* proc, void* user);
// Never throws: a notice that cannot be handed to a delivery thread now stays queued until
// the next post or registration.
void post(DWORD encoder, DWORD status) noexcept;
void forget(DWORD encoder);
// Drops every registration and queued notice (BASS_Free).
void forgetAll();
bool onNotifyThread();
// Deaths waiting for a callback to be registered.
size_t held();
size_t queued();

}  // namespace bassx::notify

// Recordings: encoders whose output goes into a file, and the split that hands a recording
// over to a new file between two blocks of the mix.
#pragma once

#include <memory>
#include <string>

#include "bass.h"
#include "encoder.h"
#include "mixer.h"

namespace bassx::recording {

// BASS error code, 0 with `out` the new encoder's handle.
int start(const std::shared_ptr<Mixer>& m, const std::string& cmdline, bool withHeader, DWORD flags,
          const std::string& file, DWORD& out);
// The new encoder (same command line and format, a new file) is fed from the next block on; the old
// one's handle dies at once and it finishes its file on a thread of its own.
int split(const std::shared_ptr<Encoder>& old, const std::string& file, DWORD& out);
// Ends every recording still finishing its file (BASS_Free).
void endFinishing();

}  // namespace bassx::recording

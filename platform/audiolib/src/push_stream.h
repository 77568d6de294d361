// The host's push stream: a Source fed by BASS_StreamPutData from the playback thread.
#pragma once

#include "source.h"

namespace bassx {

// The backlog from before the mixer plays is dropped at its first pull, so the ring only has to
// ride out a host that renders late or in lumps: 1 s is far more than a player's own buffer
// ahead, at a quarter of the resident memory of the former 4 s.
constexpr double kPushRingSeconds = 1.0;
// The fill the stream is steered to: the host's blocks (about 13 ms) and the clock's periods
// (20 ms) beat against each other, and a late block must not empty it; three periods also give
// the headroom a one-period buffer lacked after an underrun.
constexpr unsigned kPushPrebufferMs = 60;

class PushStream : public Source {
public:
    PushStream(DWORD rate, DWORD chans) : Source(Kind::Push, rate, chans, kPushRingSeconds, kPushPrebufferMs, true) {}
};

// The volume effect on a stream: a handle of its own pointing at its stream's factor.
struct VolumeFx : Object {
    explicit VolumeFx(std::weak_ptr<Source> s) : Object(Kind::Fx), stream(std::move(s)) {}
    std::weak_ptr<Source> stream;
};

}  // namespace bassx

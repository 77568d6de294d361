// The host's push stream: a Source fed by BASS_StreamPutData from the playback thread.
#pragma once

#include "source.h"

namespace bassx {

// The backlog from before the mixer plays is dropped at its first pull, so the ring only has to
// ride out a host that renders late or in lumps: 1 s is far more than a player's own buffer
// ahead, at a quarter of the resident memory of the former 4 s.
constexpr double kPushRingSeconds = 1.0;
// One clock period of jitter: the host delivers in blocks of about 13 ms.
constexpr unsigned kPushPrebufferMs = 20;

class PushStream : public Source {
public:
    PushStream(DWORD rate, DWORD chans) : Source(Kind::Push, rate, chans, kPushRingSeconds, kPushPrebufferMs) {}
};

// The volume effect on a stream: a handle of its own pointing at its stream's factor.
struct VolumeFx : Object {
    explicit VolumeFx(std::weak_ptr<Source> s) : Object(Kind::Fx), stream(std::move(s)) {}
    std::weak_ptr<Source> stream;
};

}  // namespace bassx

// The host's push stream: a Source fed by BASS_StreamPutData from the playback thread.
#pragma once

#include "source.h"

namespace bassx {

constexpr double kPushRingSeconds = 4.0;
constexpr unsigned kPushPrebufferMs = 60;

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

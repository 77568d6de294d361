// The arithmetic behind the latency figures, apart from any I/O so that it can be tested.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "onset.h"

namespace latency {

// A timestamped value from a log: an onset's frame index, or a byte count so far.
struct Event {
    std::int64_t ns;
    std::int64_t value;
};

// Finds marker onsets in interleaved 16-bit stereo bytes that arrive in pieces of any size.
class PcmOnsets {
public:
    // Frame indexes (from the start of the stream) of the onsets in this piece.
    std::vector<std::int64_t> push(const char* bytes, std::size_t n);
    std::int64_t frames() const { return frame_; }

private:
    std::string partial_;
    std::int64_t frame_ = 0;
    OnsetDetector detector_;
};

// End offsets of the audio frames of an MPEG layer III byte stream; a leading Xing/Info frame
// is not audio and is skipped; a cut-off last frame is not counted.
std::vector<std::int64_t> mp3FrameEnds(const std::string& data, int& samplesPerFrame);

// lame's own delay (576 frames) and the decoder's (529): a marker at encoder input frame n is
// heard from decoded frame n + 1105 on, so the MP3 frame holding that position carries it.
constexpr std::int64_t kCodecDelayFrames = 576 + 529;

// Where the audio starts in what a source sent: after the blank line that ends its header.
// -1 when there is no complete header.
std::int64_t audioStart(const std::string& sent);

struct Latencies {
    std::vector<double> queueing, encoder, sending, total;  // milliseconds, one per marker
    std::vector<std::int64_t> totalAt;  // when each marker of `total` entered DSPProc (ns)
};

struct Timeline {
    std::vector<Event> dsp;      // onsets entering DSPProc (empty: encoder alone)
    std::vector<Event> encIn;    // onsets reaching the encoder's input
    std::vector<Event> encOut;   // encoder output so far, in bytes
    std::vector<std::int64_t> frameEnds;
    int samplesPerFrame = 1152;
    std::vector<Event> sent;     // source bytes so far that left for the server (empty: none)
    std::int64_t sentAudioStart = -1;
};

// Follows each marker that reached the encoder to the moment its frame left it (and left for
// the server), and back to the DSPProc call it entered with: the last onset before, within a
// marker period. Markers that cannot be followed all the way are left out.
Latencies follow(const Timeline& t);

// How far each marker reached the encoder from one marker period after the one before it, in
// frames: not 0 where the graph filled a gap with silence (a shortfall) or lost samples.
std::vector<std::int64_t> gridSlips(const std::vector<Event>& encIn);

struct Summary {
    double median = 0, p95 = 0, max = 0;
    std::size_t n = 0;
};
Summary summarise(std::vector<double> v);

}  // namespace latency

// The play list: files decoded by the platform's decoder (or generated tones), delivered as 16-bit
// stereo at 44100 Hz whatever the file holds, as the module expects from the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kBlockFrames = 576;

struct Track {
    std::string path;     // empty for a generated tone
    std::string display;  // "Artist - Title", or the file name without its extension
    double toneHz = 0;    // generated tone only
    double toneSeconds = 0;
};

// Streaming windowed-sinc resampler (Blackman window, 64 zero crossings each side, cut-off
// just under the lower Nyquist frequency) for interleaved stereo float frames. Equal rates pass
// through untouched. The output keeps the input's duration: ceil(frames * out / in) frames.
class Resampler {
public:
    Resampler(int inRate, int outRate);
    void push(const float* frames, std::size_t count);
    // Writes at most `maxFrames` frames; `ending` says no more input comes, so the tail is
    // produced too.
    std::size_t pull(float* out, std::size_t maxFrames, bool ending);
    bool passthrough() const { return inRate_ == outRate_; }

private:
    float kernel(double x) const;  // x in input frames from the output instant

    int inRate_, outRate_;
    int half_ = 0;          // input frames each side of the output instant
    std::vector<float> table_;  // the kernel sampled every 1/kTableSteps input frame
    long long produced_ = 0;  // output frames so far: their input time is exact, not summed
    long long base_ = 0;    // input frame held at buf_[0] (negative: leading silence)
    long long pushed_ = 0;  // real input frames received
    bool padded_ = false;   // trailing silence appended
    std::vector<float> buf_;
};

// One track's audio, 44100 Hz stereo 16-bit.
class TrackReader {
public:
    virtual ~TrackReader() = default;
    // Fills up to `frames` frames; returns how many were written; 0 at the end.
    virtual std::size_t read(std::int16_t* out, std::size_t frames) = 0;
};

// Opens the track for playing; null (and `error` set) when it cannot be read.
std::unique_ptr<TrackReader> openTrack(const Track& track, std::string& error);

// Checks a file and reads its tags; false (and `error` set) when it cannot be played.
bool probeFile(const std::string& path, Track& track, std::string& error);

// The built-in programme: a few short tagged tones.
std::vector<Track> testProgramme();

// "N. Display - Winamp", the title the host shows for the Nth (1-based) track.
std::string hostTitle(int position, const Track& track);

}  // namespace host

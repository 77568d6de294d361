// The playback thread: renders the play list in blocks of 576 frames and hands each block to
// the module's ModifySamples on an absolute real-time schedule (no drift).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "dsp_module.h"
#include "track_source.h"

namespace host {

class AudioOut;

class Playback {
public:
    Playback(std::vector<Track> tracks, bool loop, DspModule* module, AudioOut* out, double driftPpm = 0);
    ~Playback();
    void start();
    void stop();  // joins; no ModifySamples call follows

    int currentTrack() const { return current_.load(); }  // index, -1 before the first
    double trackSeconds() const { return double(trackFrames_.load()) / kRate; }
    bool ended() const { return ended_.load(); }  // the list ran out (no --loop)
    const std::vector<Track>& tracks() const { return tracks_; }

private:
    void run();
    bool fill(std::int16_t* block);  // false when the list has ended

    std::vector<Track> tracks_;
    bool loop_;
    DspModule* module_;
    AudioOut* out_;
    double driftPpm_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, ended_{false};
    std::atomic<int> current_{-1};
    std::atomic<std::int64_t> trackFrames_{0};
    std::unique_ptr<TrackReader> reader_;
    std::size_t next_ = 0;
};

}  // namespace host

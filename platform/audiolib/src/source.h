// A channel the mixer can pull from: a ring filled by a producer (the host's sample tap or the
// capture callback) and emptied by the mixer, with a jitter buffer so a producer that delivers
// in lumps does not leave holes in the mix. A steered source also holds its queue at a target
// fill by resampling (steering.h), since its producer runs on a clock of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "handles.h"
#include "level.h"
#include "ring.h"
#include "steering.h"

namespace bassx {

class Source : public Object {
public:
    // prebufferMs: the jitter buffer; for a steered source, the fill it is held at.
    Source(Kind k, DWORD rate, DWORD chans, double ringSeconds, unsigned prebufferMs, bool steered = false);

    const DWORD rate;
    const DWORD chans;
    size_t frameBytes() const { return chans * 2; }

    // Producer side: queues whole frames, drops what does not fit. Returns bytes queued now.
    // Wait-free, no allocation, no system call (it runs in the host's sample tap).
    size_t put(const void* data, size_t bytes);

    // Mixer side: up to `frames` frames of real data, after the effects; returns frames made.
    // `live` is true when a playing mixer pulls: the first delivery then drops whatever queued up
    // before the pulling began, beyond this read and the jitter buffer, so that start-up backlog
    // does not become latency for the rest of the broadcast.
    // A source that runs dry gives what it has, then nothing until it has refilled its jitter
    // buffer (silence at once on a real gap, and headroom again before it plays).
    size_t take(int16_t* out, size_t frames, bool live = false);

    // Volume effect factor, applied by the consumer from its next block on.
    void setVolume(float v) { volume_.store(v, std::memory_order_relaxed); }
    float volume() const { return volume_.load(std::memory_order_relaxed); }

    // A stopped source gives the mixer nothing and forgets what was queued.
    void setActive(bool on);
    bool active() const { return active_.load(); }

    void setPrebufferFrames(size_t frames) { prebuffer_ = frames; }

    // Input bytes consumed by the mixer (the stream's position).
    uint64_t bytesTaken() const { return taken_.load(); }
    uint64_t bytesDropped() const { return ring_.dropped(); }
    size_t queued() const { return ring_.available(); }

    // Health figures for a long run, written by the consumer.
    struct Stats {
        uint64_t underruns;    // periods a playing source could not fill
        uint64_t droppedBytes; // what the producer offered that did not fit
        size_t fillMin, fillMax;  // queued frames seen at pulls since the last call
        double ratio;          // input frames per output frame
    };
    Stats takeStats();
    // Consumer side: the clock drift the steering has learnt (0 when not steered).
    double drift() const { return control_.drift(); }

    std::atomic<const void*> mixer{nullptr};  // the mixer it is plugged into
    LevelMeter level;  // what the mixer last took from it, after the effects

private:
    void noteFill(size_t frames);
    size_t takeDirect(int16_t* out, size_t frames, bool live);
    size_t takeSteered(int16_t* out, size_t frames, bool live);
    void restartResampler();

    SpscRing ring_;
    std::atomic<float> volume_{1.0f};
    std::atomic<bool> active_{true};
    std::atomic<bool> flush_{false};
    std::atomic<uint64_t> taken_{0};
    std::atomic<uint64_t> underruns_{0};
    std::atomic<size_t> fillMin_{SIZE_MAX}, fillMax_{0};
    std::atomic<double> ratio_{1.0};
    size_t prebuffer_;
    const bool steered_;
    bool primed_ = false;     // consumer-only
    bool delivered_ = false;  // consumer-only: a playing mixer has had data since the last flush

    // Steering, consumer-only. stage_ holds the input frames around the play position, one
    // plane of stageCap_ floats per channel: frames [0, staged_) are read from the ring, pos_
    // is the next output's position in them. raw_ takes a read from the ring.
    FillController control_;
    std::unique_ptr<float[]> stage_;
    std::unique_ptr<int16_t[]> raw_;
    size_t stageCap_ = 0;  // frames
    size_t staged_ = 0;
    double pos_ = 0;
};

// Saturating 16-bit scale.
void applyVolume(int16_t* samples, size_t count, float factor);

}  // namespace bassx

#include "source.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace bassx {

namespace {

constexpr size_t kChunkFrames = 1024;  // a steered source resamples in pieces of this many frames
constexpr size_t kHalf = Interpolator::kHalfTaps;

}  // namespace

Source::Source(Kind k, DWORD rate_, DWORD chans_, double ringSeconds, unsigned prebufferMs, bool steered)
    : Object(k),
      rate(rate_),
      chans(chans_),
      ring_(static_cast<size_t>(rate_ * ringSeconds) * chans_ * 2),
      prebuffer_(static_cast<size_t>(rate_) * prebufferMs / 1000),
      steered_(steered) {
    if (steered_) {
        // One chunk at the fastest ratio, the kernel's reach on both sides, and the silence
        // that lets the last frames before a gap out.
        stageCap_ = static_cast<size_t>(kChunkFrames * (1 + FillController::kMaxDeviation)) + 3 * kHalf + 4;
        stage_ = std::make_unique<float[]>(stageCap_ * chans);
        raw_ = std::make_unique<int16_t[]>(stageCap_ * chans);
    }
}

size_t Source::put(const void* data, size_t bytes) {
    ring_.write(data, bytes, frameBytes());
    return ring_.available();
}

void Source::setActive(bool on) {
    if (!on) flush_.store(true);
    active_.store(on);
}

size_t Source::take(int16_t* out, size_t frames, bool live) {
    if (flush_.exchange(false)) {
        ring_.clear();
        primed_ = false;
        delivered_ = false;
    }
    if (!active_.load()) return 0;
    size_t n = steered_ ? takeSteered(out, frames, live) : takeDirect(out, frames, live);
    float v = volume_.load(std::memory_order_relaxed);
    if (v != 1.0f) applyVolume(out, n * chans, v);
    return n;
}

size_t Source::takeDirect(int16_t* out, size_t frames, bool live) {
    const size_t fb = frameBytes();
    size_t avail = ring_.available() / fb;
    noteFill(avail);
    if (!primed_) {
        if (avail == 0 || avail < std::min(prebuffer_, frames + prebuffer_)) return 0;
        primed_ = true;
    }
    if (live && !delivered_) {
        delivered_ = true;
        size_t keep = frames + prebuffer_;
        if (avail > keep) {
            ring_.skip((avail - keep) * fb);
            avail = keep;
        }
    }
    size_t n = std::min(avail, frames);
    ring_.read(out, n * fb);
    if (n < frames) {
        primed_ = false;  // ran dry: let it refill before taking again
        if (delivered_) underruns_.fetch_add(1, std::memory_order_relaxed);
    }
    taken_.fetch_add(n * fb);
    return n;
}

void Source::restartResampler() {
    // The kernel's history before the first frame is silence.
    for (size_t c = 0; c < chans; ++c) std::fill_n(stage_.get() + c * stageCap_, kHalf - 1, 0.0f);
    staged_ = kHalf - 1;
    pos_ = double(kHalf - 1);
}

size_t Source::takeSteered(int16_t* out, size_t frames, bool live) {
    const size_t fb = frameBytes();
    const size_t target = prebuffer_;
    size_t avail = ring_.available() / fb;
    noteFill(avail);
    if (!primed_) {
        // After a start or a gap: play again only with the whole jitter buffer in hand.
        if (avail == 0 || avail < target + kHalf) return 0;
        primed_ = true;
        restartResampler();
        control_.restart(double(target) / rate);
    }
    if (live && !delivered_) {
        delivered_ = true;
        const size_t keep = target + kHalf + frames;
        if (avail > keep) {  // start-up backlog: it would only be latency
            ring_.skip((avail - keep) * fb);
            avail = keep;
        }
    }
    // Anything else queued is kept: a producer that hands over a lump is worked off by the
    // ratio, and the ring's size bounds the latency.

    const double ahead = double(staged_) - pos_;  // staged past the play position, kernel reach included
    const double fill = (double(avail) + ahead - double(kHalf)) / rate;
    const double r = control_.update(fill, double(target) / rate, double(frames) / rate);
    ratio_.store(r, std::memory_order_relaxed);

    size_t done = 0;
    bool dry = false;
    while (done < frames && !dry) {
        size_t n = std::min(frames - done, kChunkFrames);
        auto needed = [&](size_t m) { return static_cast<size_t>(pos_ + double(m - 1) * r) + kHalf + 1; };
        size_t need = needed(n);
        if (need > staged_) {
            size_t want = need - staged_;
            size_t got = ring_.read(raw_.get(), want * fb) / fb;
            for (size_t c = 0; c < chans; ++c) {
                float* plane = stage_.get() + c * stageCap_ + staged_;
                for (size_t i = 0; i < got; ++i) plane[i] = float(raw_[i * chans + c]);
            }
            staged_ += got;
            taken_.fetch_add(got * fb);
            if (got < want) {
                // Ran dry: play out every staged frame, the kernel reaching into silence beyond
                // the last one, then silence until refilled.
                dry = true;
                for (size_t c = 0; c < chans; ++c) std::fill_n(stage_.get() + c * stageCap_ + staged_, kHalf, 0.0f);
                staged_ += kHalf;
                while (n > 0 && needed(n) > staged_) --n;
            }
        }
        Interpolator::run(stage_.get(), stageCap_, chans, pos_, r, n, out + done * chans);
        done += n;
        // Keep only what the kernel can still reach.
        size_t first = static_cast<size_t>(pos_) + 1 - kHalf;
        if (first > 0 && first <= staged_) {
            for (size_t c = 0; c < chans; ++c) {
                float* plane = stage_.get() + c * stageCap_;
                std::memmove(plane, plane + first, (staged_ - first) * sizeof(float));
            }
            staged_ -= first;
            pos_ -= double(first);
        }
    }
    if (dry) {
        primed_ = false;
        if (delivered_) underruns_.fetch_add(1, std::memory_order_relaxed);
    }
    return done;
}

void Source::noteFill(size_t frames) {
    if (frames < fillMin_.load(std::memory_order_relaxed)) fillMin_.store(frames, std::memory_order_relaxed);
    if (frames > fillMax_.load(std::memory_order_relaxed)) fillMax_.store(frames, std::memory_order_relaxed);
}

Source::Stats Source::takeStats() {
    Stats st{};
    st.underruns = underruns_.load(std::memory_order_relaxed);
    st.droppedBytes = ring_.dropped();
    st.fillMin = fillMin_.exchange(SIZE_MAX, std::memory_order_relaxed);
    st.fillMax = fillMax_.exchange(0, std::memory_order_relaxed);
    if (st.fillMin == SIZE_MAX) st.fillMin = st.fillMax = ring_.available() / frameBytes();
    st.ratio = ratio_.load(std::memory_order_relaxed);
    return st;
}

void applyVolume(int16_t* s, size_t count, float factor) {
    for (size_t i = 0; i < count; ++i) {
        float x = std::nearbyint(s[i] * factor);
        s[i] = static_cast<int16_t>(std::clamp(x, -32768.0f, 32767.0f));
    }
}

}  // namespace bassx

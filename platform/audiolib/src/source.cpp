#include "source.h"

#include <algorithm>
#include <cmath>

namespace bassx {

Source::Source(Kind k, DWORD rate_, DWORD chans_, double ringSeconds, unsigned prebufferMs)
    : Object(k),
      rate(rate_),
      chans(chans_),
      ring_(static_cast<size_t>(rate_ * ringSeconds) * chans_ * 2),
      prebuffer_(static_cast<size_t>(rate_) * prebufferMs / 1000) {}

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
            cutFrames_.fetch_add(avail - keep, std::memory_order_relaxed);
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
    float v = volume_.load(std::memory_order_relaxed);
    if (v != 1.0f) applyVolume(out, n * chans, v);
    return n;
}

void Source::noteFill(size_t frames) {
    if (frames < fillMin_.load(std::memory_order_relaxed)) fillMin_.store(frames, std::memory_order_relaxed);
    if (frames > fillMax_.load(std::memory_order_relaxed)) fillMax_.store(frames, std::memory_order_relaxed);
}

Source::Stats Source::takeStats() {
    Stats st{};
    st.underruns = underruns_.load(std::memory_order_relaxed);
    st.cutFrames = cutFrames_.load(std::memory_order_relaxed);
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

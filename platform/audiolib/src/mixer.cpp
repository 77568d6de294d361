#include "mixer.h"

#include <algorithm>
#include <utility>

namespace bassx {

Mixer::Mixer(DWORD rate_, DWORD chans_, DWORD flags_) : Object(Kind::Mixer), rate(rate_), chans(chans_), flags(flags_) {}

int Mixer::addSource(std::shared_ptr<Source> src) {
    // No resampler or channel mapper: the graph runs at one format throughout.
    if (src->rate != rate || src->chans != chans) return BASS_ERROR_FORMAT;
    // Checked under the lock that detach and removeSource take: a free that marked either
    // side before this either sees the source in the list or is seen here.
    std::lock_guard<std::mutex> lock(mutex_);
    if (released.load()) return BASS_ERROR_HANDLE;
    const void* none = nullptr;
    if (!src->mixer.compare_exchange_strong(none, this)) return BASS_ERROR_ALREADY;
    // Tied first, then checked: a free marks the source first, then looks at its mixer, so
    // one of the two sees the other.
    if (src->released.load()) {
        src->mixer.store(nullptr);
        return BASS_ERROR_HANDLE;
    }
    sources_.push_back(std::move(src));
    return BASS_OK;
}

void Mixer::removeSource(const Source* src) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(sources_.begin(), sources_.end(), [&](const auto& s) { return s.get() == src; });
    if (it == sources_.end()) return;
    const void* me = this;
    (*it)->mixer.compare_exchange_strong(me, nullptr);
    sources_.erase(it);
}

size_t Mixer::sourceCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sources_.size();
}

bool Mixer::addSink(std::shared_ptr<MixSink> sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (released.load()) return false;
    sinks_.push_back(std::move(sink));
    return true;
}

void Mixer::removeSink(const MixSink* sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(sinks_, [&](const auto& s) { return s.get() == sink; });
}

void Mixer::render(int16_t* out, size_t frames) {
    const size_t count = frames * chans;
    std::lock_guard<std::mutex> lock(mutex_);
    acc_.assign(count, 0);
    scratch_.resize(count);
    const bool live = playing.load(std::memory_order_relaxed);
    const auto now = LevelMeter::Clock::now();
    for (auto& src : sources_) {
        size_t got = src->take(scratch_.data(), frames, live);
        src->level.note(scratch_.data(), got, chans, frames, now);
        for (size_t i = 0; i < got * chans; ++i) acc_[i] += scratch_[i];
    }
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<int16_t>(std::clamp(acc_[i], -32768, 32767));
    level.note(out, frames, chans, frames, now);
    for (auto& sink : sinks_) sink->feed(out, count * 2);
}

void Mixer::starveSinks() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& sink : sinks_) sink->starved();
}

std::vector<std::shared_ptr<MixSink>> Mixer::detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& src : sources_) {
        const void* me = this;
        src->mixer.compare_exchange_strong(me, nullptr);
    }
    sources_.clear();
    return std::exchange(sinks_, {});
}

}  // namespace bassx

// The mixer: sums its sources with saturation to 16 bits, mixing silence where a source has
// nothing (non-stop), and hands every block to the encoders tied to it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "source.h"

namespace bassx {

// Something fed with the mixer's raw output (an encoder).
struct MixSink {
    virtual ~MixSink() = default;
    virtual void feed(const int16_t* samples, size_t bytes) = 0;
    // The mixer failed and will not feed it again.
    virtual void starved() noexcept {}
};

class Mixer : public Object {
public:
    Mixer(DWORD rate, DWORD chans, DWORD flags);

    const DWORD rate;
    const DWORD chans;
    const DWORD flags;
    size_t frameBytes() const { return chans * 2; }

    // BASS error code, 0 on success. A released mixer or source is refused (BASS_ERROR_HANDLE):
    // the caller's reference may be older than a free on another thread. A free marks the
    // mixer released before detach, a source before it looks at its `mixer`.
    int addSource(std::shared_ptr<Source> src);
    // Unplugs a source (it is being freed); no render touches it once this returns.
    void removeSource(const Source* src);
    // False when the mixer is released: nothing would ever end the sink.
    bool addSink(std::shared_ptr<MixSink> sink);
    void removeSink(const MixSink* sink);

    // Mixes `frames` frames into out and feeds the sinks. Called by the device clock (or a test).
    void render(int16_t* out, size_t frames);

    // Tells every sink that it will not be fed again (the mixer could not be rendered).
    void starveSinks() noexcept;

    // Calls f(source) for each source, under the mixer's lock.
    template <class F>
    void forEachSource(F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& s : sources_) f(*s);
    }

    // Unplugs the sources and gives back the sinks, for the caller to end. Called once the
    // mixer's handle is removed, so nothing can be added afterwards.
    std::vector<std::shared_ptr<MixSink>> detach();
    size_t sourceCount();

    std::atomic<float> volume{1.0f};  // device output only
    LevelMeter level;  // of the mix as the sinks get it (the volume above does not act on it)
    std::atomic<bool> playing{false};

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<Source>> sources_;
    std::vector<std::shared_ptr<MixSink>> sinks_;
    std::vector<int32_t> acc_;
    std::vector<int16_t> scratch_;
};

}  // namespace bassx

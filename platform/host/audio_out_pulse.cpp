#include <pulse/error.h>
#include <pulse/simple.h>

#include <cstdio>

#include "audio_out.h"

namespace host {

namespace {

class PulseDevice final : public SoundDevice {
public:
    explicit PulseDevice(pa_simple* pa) : pa_(pa) {}
    ~PulseDevice() override { pa_simple_free(pa_); }
    bool write(const std::int16_t* frames, std::size_t count) override {
        int err = 0;
        if (pa_simple_write(pa_, frames, count * 4, &err) >= 0) return true;
        std::fprintf(stderr, "player: sound output failed (%s); playing silently\n", pa_strerror(err));
        return false;
    }

private:
    pa_simple* pa_;
};

}  // namespace

std::unique_ptr<SoundDevice> openSoundDevice() {
    pa_sample_spec ss{PA_SAMPLE_S16LE, 44100, 2};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = 44100 * 4 / 10;  // 100 ms
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(-1);
    int err = 0;
    pa_simple* pa = pa_simple_new(nullptr, "Larkspur player", PA_STREAM_PLAYBACK, nullptr, "Music", &ss,
                                  nullptr, &attr, &err);
    if (!pa) {
        std::fprintf(stderr, "player: no sound output (%s); playing silently\n", pa_strerror(err));
        return nullptr;
    }
    return std::make_unique<PulseDevice>(pa);
}

}  // namespace host

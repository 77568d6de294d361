#include "plugin/sample_tap.h"

#include <cstring>

#include "settings/larkspur.h"

namespace {

constexpr int scratchFrames = 512;  // 2 KiB on the playback thread's stack per chunk

bool carried(int bps, int nch) {
    return (bps == 8 || bps == 16 || bps == 24 || bps == 32) && nch >= 1;
}

// One sample of any carried width, reduced to its top 16 bits (8-bit samples are unsigned).
inline std::int16_t sampleAt(const std::uint8_t* p, int bps) {
    switch (bps) {
        case 8: return static_cast<std::int16_t>((static_cast<int>(p[0]) - 128) * 256);
        case 16: {
            std::int16_t v;
            std::memcpy(&v, p, 2);
            return v;
        }
        case 24: return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[1] | (p[2] << 8)));
        default: return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[2] | (p[3] << 8)));
    }
}

}  // namespace

std::int64_t tapByteCount(int numsamples, int bps, int nch) {
    if (numsamples <= 0 || !carried(bps, nch)) return 0;
    return static_cast<std::int64_t>(numsamples) * 2 * 2;
}

void tapBlock(HSTREAM stream, const void* samples, int numsamples, int bps, int nch) {
    if (stream == 0) return;
    const std::int64_t total = samples ? tapByteCount(numsamples, bps, nch) : 0;
    if (total == 0) {
        // Nothing that the 16-bit stereo stream could play: an empty push queues nothing.
        BASS_StreamPutData(stream, samples, 0);
        return;
    }
    if (bps == 16 && nch == 2) {
        const auto* bytes = static_cast<const std::uint8_t*>(samples);
        for (std::int64_t done = 0; done < total;) {  // a length is 32-bit
            const std::int64_t part = total - done < (1 << 30) ? total - done : (1 << 30);
            BASS_StreamPutData(stream, bytes + done, static_cast<DWORD>(part));
            done += part;
        }
        return;
    }
    const auto* in = static_cast<const std::uint8_t*>(samples);
    const int width = bps / 8;
    const std::int64_t frameBytes = static_cast<std::int64_t>(width) * nch;
    std::int16_t scratch[scratchFrames * 2];
    for (int done = 0; done < numsamples;) {
        const int frames = numsamples - done < scratchFrames ? numsamples - done : scratchFrames;
        const std::uint8_t* frame = in + static_cast<std::int64_t>(done) * frameBytes;
        for (int f = 0; f < frames; ++f, frame += frameBytes) {
            const std::int16_t left = sampleAt(frame, bps);
            scratch[2 * f] = left;
            // Of more channels only the first two go: front left and right.
            scratch[2 * f + 1] = nch >= 2 ? sampleAt(frame + width, bps) : left;
        }
        BASS_StreamPutData(stream, scratch, static_cast<DWORD>(frames) * 4);
        done += frames;
    }
}

int dspProc(Larkspur* record, const void* samples, int numsamples, int bps, int nch, int /*srate*/) {
    // One read: the window thread may replace or clear the stream meanwhile.
    const HSTREAM stream = record ? record->hostStream.load(std::memory_order_acquire) : 0;
    tapBlock(stream, samples, numsamples, bps, nch);
    return numsamples;
}

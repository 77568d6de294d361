// The device clock's mix on the Windows wave output: a ring of 20 ms buffers handed to the
// default output device; a block with no free buffer is dropped, never waited for.
#include <windows.h>
#include <mmsystem.h>

#include <array>
#include <atomic>
#include <cstring>
#include <vector>

#include "device.h"
#include "output.h"

namespace bassx::device {
namespace {

class WaveOutput final : public Output {
public:
    ~WaveOutput() override { close(); }

    bool open(DWORD freq) override {
        WAVEFORMATEX fmt{};
        fmt.wFormatTag = WAVE_FORMAT_PCM;
        fmt.nChannels = 2;
        fmt.nSamplesPerSec = freq;
        fmt.wBitsPerSample = 16;
        fmt.nBlockAlign = 4;
        fmt.nAvgBytesPerSec = freq * 4;
        if (waveOutOpen(&wave_, WAVE_MAPPER, &fmt, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
            wave_ = nullptr;
            return false;
        }
        const size_t bytes = static_cast<size_t>(freq) * 4 * kPeriodMs / 1000 * 2;  // room for a late period
        for (auto& b : buffers_) {
            b.data.assign(bytes, 0);
            b.header = WAVEHDR{};
            b.header.lpData = b.data.data();
            b.header.dwBufferLength = static_cast<DWORD>(bytes);
            waveOutPrepareHeader(wave_, &b.header, sizeof b.header);
            b.header.dwFlags |= WHDR_DONE;  // free until first written
        }
        return true;
    }

    void close() override {
        if (!wave_) return;
        waveOutReset(wave_);
        for (auto& b : buffers_) waveOutUnprepareHeader(wave_, &b.header, sizeof b.header);
        waveOutClose(wave_);
        wave_ = nullptr;
    }

    void write(const int16_t* stereo, size_t bytes) override {
        if (!wave_ || quiet_) return;
        Buffer& b = buffers_[next_];
        if (!(b.header.dwFlags & WHDR_DONE)) return;  // the device is behind: drop
        size_t n = std::min(bytes, b.data.size()) & ~size_t{3};
        std::memcpy(b.data.data(), stereo, n);
        b.header.dwBufferLength = static_cast<DWORD>(n);
        b.header.dwFlags &= ~static_cast<DWORD>(WHDR_DONE);
        if (waveOutWrite(wave_, &b.header, sizeof b.header) == MMSYSERR_NOERROR) {
            written_.fetch_add(n, std::memory_order_relaxed);
            next_ = (next_ + 1) % buffers_.size();
        } else {
            b.header.dwFlags |= WHDR_DONE;
        }
    }

    void setQuiet(bool quiet) override { quiet_ = quiet; }
    bool isOpen() const override { return wave_ != nullptr; }
    uint64_t written() const override { return written_.load(std::memory_order_relaxed); }

private:
    struct Buffer {
        std::vector<char> data;
        WAVEHDR header{};
    };
    HWAVEOUT wave_ = nullptr;
    std::array<Buffer, 8> buffers_;  // 160 ms queued at most
    size_t next_ = 0;
    bool quiet_ = false;  // clock thread only
    std::atomic<uint64_t> written_{0};
};

}  // namespace

std::unique_ptr<Output> makeOutput() { return std::make_unique<WaveOutput>(); }

}  // namespace bassx::device

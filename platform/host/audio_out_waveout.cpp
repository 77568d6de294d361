#include <windows.h>
#include <mmsystem.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio_out.h"

namespace host {

namespace {

constexpr std::size_t kBufferFrames = 1024;
constexpr int kBuffers = 5;  // about 116 ms queued, as the sound server's 100 ms

class WaveOutDevice final : public SoundDevice {
public:
    WaveOutDevice(HWAVEOUT out, HANDLE done) : out_(out), done_(done) {
        for (auto& b : data_) b.resize(kBufferFrames * 2);
    }
    ~WaveOutDevice() override {
        waveOutReset(out_);
        for (auto& h : headers_)
            if (h.dwFlags & WHDR_PREPARED) waveOutUnprepareHeader(out_, &h, sizeof h);
        waveOutClose(out_);
        CloseHandle(done_);
    }

    bool write(const std::int16_t* frames, std::size_t count) override {
        while (count > 0) {
            WAVEHDR& h = headers_[next_];
            // Wait for this buffer to come back; a device that stops answering fails the output.
            while ((h.dwFlags & WHDR_PREPARED) && !(h.dwFlags & WHDR_DONE)) {
                if (WaitForSingleObject(done_, 2000) == WAIT_TIMEOUT && !(h.dwFlags & WHDR_DONE)) {
                    std::fprintf(stderr, "player: sound output failed (the device stopped); playing silently\n");
                    return false;
                }
            }
            if (h.dwFlags & WHDR_PREPARED) waveOutUnprepareHeader(out_, &h, sizeof h);
            const std::size_t n = count < kBufferFrames ? count : kBufferFrames;
            std::memcpy(data_[next_].data(), frames, n * 4);
            h = {};
            h.lpData = reinterpret_cast<LPSTR>(data_[next_].data());
            h.dwBufferLength = static_cast<DWORD>(n * 4);
            MMRESULT r = waveOutPrepareHeader(out_, &h, sizeof h);
            if (r == MMSYSERR_NOERROR) r = waveOutWrite(out_, &h, sizeof h);
            if (r != MMSYSERR_NOERROR) {
                std::fprintf(stderr, "player: sound output failed (wave output error %u); playing silently\n",
                             static_cast<unsigned>(r));
                return false;
            }
            next_ = (next_ + 1) % kBuffers;
            frames += n * 2;
            count -= n;
        }
        return true;
    }

private:
    HWAVEOUT out_;
    HANDLE done_;
    std::array<WAVEHDR, kBuffers> headers_{};
    std::array<std::vector<std::int16_t>, kBuffers> data_;
    int next_ = 0;
};

}  // namespace

std::unique_ptr<SoundDevice> openSoundDevice() {
    WAVEFORMATEX fmt{};
    fmt.wFormatTag = WAVE_FORMAT_PCM;
    fmt.nChannels = 2;
    fmt.nSamplesPerSec = 44100;
    fmt.wBitsPerSample = 16;
    fmt.nBlockAlign = 4;
    fmt.nAvgBytesPerSec = 44100 * 4;
    HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HWAVEOUT out = nullptr;
    MMRESULT r = waveOutOpen(&out, WAVE_MAPPER, &fmt, reinterpret_cast<DWORD_PTR>(done), 0, CALLBACK_EVENT);
    if (r != MMSYSERR_NOERROR) {
        CloseHandle(done);
        std::fprintf(stderr, "player: no sound output (wave output error %u); playing silently\n",
                     static_cast<unsigned>(r));
        return nullptr;
    }
    return std::make_unique<WaveOutDevice>(out, done);
}

}  // namespace host

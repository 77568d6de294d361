// Capture on the Windows wave input (waveIn): the device list with names in the ANSI code
// page, the open device, its capture channel (16-bit at the channel's rate and channel count;
// the system converts) fed by a thread of its own, and its input level.
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "capture.h"
#include "threads.h"

#ifndef DRVM_MAPPER_PREFERRED_GET
#define DRVM_MAPPER_PREFERRED_GET (0x2000 + 21)  // mmddk.h
#endif

namespace bassx::capture {

// Buffers the system has not handed back for this long while recording: the device is gone
// (unplugged, or its driver's server went away).
constexpr DWORD kSilentDeviceMs = 1000;
// A gone device is looked for again this often at most.
constexpr DWORD kReopenPeriodMs = 500;

UINT deviceNamed(const std::string& name);

class RecordChannel : public Source {
public:
    RecordChannel(DWORD rate, DWORD chans) : Source(Kind::Record, rate, chans, kCaptureRingSeconds, kCapturePrebufferMs, true) {}
    ~RecordChannel() override { stopDevice(); }

    // BASS error code, 0 once the device records (paused until run(true) when asked). `name`
    // finds the device again when it has gone and come back, wherever it is in the list then.
    int startDevice(UINT id, const std::string& name, bool paused) {
        name_ = name;
        ready_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (!ready_) return BASS_ERROR_MEM;
        std::lock_guard<std::mutex> lock(waveMutex_);
        running_ = !paused;
        if (!openWave(id)) return BASS_ERROR_DRIVER;
        stop_ = false;
        reader_ = startThread([this] { readLoop(); });
        setActive(running_);
        return BASS_OK;
    }

    int run(bool on) {
        std::lock_guard<std::mutex> lock(waveMutex_);
        if (wave_) {
            MMRESULT r = on ? waveInStart(wave_) : waveInStop(wave_);
            if (r != MMSYSERR_NOERROR) return BASS_ERROR_DRIVER;
        }
        // A gone device takes the choice along when it is opened again.
        running_ = on;
        lastBuffer_ = GetTickCount();
        setActive(on);
        return BASS_OK;
    }

    void stopDevice() {
        stop_ = true;
        if (ready_) SetEvent(ready_);
        if (reader_.joinable()) reader_.join();
        std::lock_guard<std::mutex> lock(waveMutex_);
        closeWave();
        if (ready_) CloseHandle(ready_);
        ready_ = nullptr;
    }

    std::atomic<float> level{1.0f};
    std::atomic<bool> lost{false};

private:
    // Under waveMutex_. Opens the device with every buffer queued, recording when it should.
    bool openWave(UINT id) {
        WAVEFORMATEX fmt{};
        fmt.wFormatTag = WAVE_FORMAT_PCM;
        fmt.nChannels = static_cast<WORD>(chans);
        fmt.nSamplesPerSec = rate;
        fmt.wBitsPerSample = 16;
        fmt.nBlockAlign = static_cast<WORD>(frameBytes());
        fmt.nAvgBytesPerSec = rate * fmt.nBlockAlign;
        if (waveInOpen(&wave_, id, &fmt, reinterpret_cast<DWORD_PTR>(ready_), 0, CALLBACK_EVENT) != MMSYSERR_NOERROR) {
            wave_ = nullptr;
            return false;
        }
        const size_t bytes = rate * frameBytes() / 50;  // 20 ms
        for (auto& b : buffers_) {
            b.data.assign(bytes, 0);
            b.header = WAVEHDR{};
            b.header.lpData = b.data.data();
            b.header.dwBufferLength = static_cast<DWORD>(bytes);
            waveInPrepareHeader(wave_, &b.header, sizeof b.header);
            waveInAddBuffer(wave_, &b.header, sizeof b.header);
        }
        next_ = 0;
        lastBuffer_ = GetTickCount();
        if (running_ && waveInStart(wave_) != MMSYSERR_NOERROR) {
            closeWave();
            return false;
        }
        return true;
    }

    // Under waveMutex_.
    void closeWave() {
        if (!wave_) return;
        waveInReset(wave_);
        for (auto& b : buffers_) waveInUnprepareHeader(wave_, &b.header, sizeof b.header);
        waveInClose(wave_);
        wave_ = nullptr;
    }

    void readLoop() {
        std::vector<int16_t> scaled;
        while (!stop_.load()) {
            if (lost.load()) {
                WaitForSingleObject(ready_, kReopenPeriodMs);
                if (stop_.load()) return;
                std::lock_guard<std::mutex> lock(waveMutex_);
                const UINT id = deviceNamed(name_);
                if (id != WAVE_MAPPER && openWave(id)) lost.store(false);
                continue;
            }
            WaitForSingleObject(ready_, 100);
            std::lock_guard<std::mutex> lock(waveMutex_);
            if (!deliver(scaled)) {
                // Silence from here on (the mixer finds nothing), until the device is back.
                closeWave();
                lost.store(true);
            }
        }
    }

    // Under waveMutex_. Hands on the finished buffers in the order they were filled: the system
    // fills them in the order they were queued, so the next one to finish is always next_.
    // False when the device is gone.
    bool deliver(std::vector<int16_t>& scaled) {
        for (;;) {
            if (stop_.load()) return true;
            Buffer& b = buffers_[next_];
            if (!(b.header.dwFlags & WHDR_DONE)) break;
            const DWORD got = b.header.dwBytesRecorded;
            if (got > 0) put(applyLevel(b.data.data(), got, scaled), got);
            b.header.dwFlags &= ~static_cast<DWORD>(WHDR_DONE);
            if (waveInAddBuffer(wave_, &b.header, sizeof b.header) != MMSYSERR_NOERROR) return false;
            next_ = (next_ + 1) % buffers_.size();
            lastBuffer_ = GetTickCount();
        }
        return !running_ || GetTickCount() - lastBuffer_ < kSilentDeviceMs;
    }

    // The wave input has no level of its own to set: the samples are scaled here instead.
    const void* applyLevel(const char* data, DWORD bytes, std::vector<int16_t>& scaled) {
        const float l = level.load(std::memory_order_relaxed);
        if (l >= 1.0f) return data;
        scaled.resize(bytes / 2);
        std::memcpy(scaled.data(), data, scaled.size() * 2);
        for (auto& s : scaled) s = static_cast<int16_t>(s * l);
        return scaled.data();
    }

    struct Buffer {
        std::vector<char> data;
        WAVEHDR header{};
    };
    std::string name_;
    HANDLE ready_ = nullptr;
    std::mutex waveMutex_;  // the device against run() and stopDevice(); taken after State's
    HWAVEIN wave_ = nullptr;
    bool running_ = false;
    size_t next_ = 0;        // the buffer the system hands back next
    DWORD lastBuffer_ = 0;   // tick of the last buffer handed back (or of the start)
    std::array<Buffer, 8> buffers_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

namespace {

struct State {
    std::mutex mutex;
    bool open = false;
    // Opening or listing wave inputs never waits on anything: a cancel only refuses later ones.
    std::atomic<bool> opensCancelled{false};
    UINT id = WAVE_MAPPER;
    std::string name;  // of the open device, to find it again when it comes back
    float level = 1.0f;
    std::shared_ptr<RecordChannel> channel;
    std::vector<DeviceEntry> list;
    std::set<std::string> names;  // keeps every name handed out alive
};

State& state() {
    static State* s = new State;
    return *s;
}

const char* keep(State& s, const std::string& text) { return s.names.insert(text).first->c_str(); }

// The system's preferred recording device, as its position in the list.
UINT preferredDevice() {
    DWORD id = 0, flags = 0;
    if (waveInMessage(reinterpret_cast<HWAVEIN>(static_cast<UINT_PTR>(WAVE_MAPPER)), DRVM_MAPPER_PREFERRED_GET,
                      reinterpret_cast<DWORD_PTR>(&id), reinterpret_cast<DWORD_PTR>(&flags)) != MMSYSERR_NOERROR)
        return 0;
    return id;
}

std::string nameOf(UINT id) {
    WAVEINCAPSA caps{};
    if (waveInGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) return {};
    return std::string(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
}

}  // namespace

// The device of that name now, or WAVE_MAPPER when there is none.
UINT deviceNamed(const std::string& name) {
    const UINT count = waveInGetNumDevs();
    for (UINT i = 0; i < count; ++i)
        if (nameOf(i) == name) return i;
    return WAVE_MAPPER;
}

bool deviceInfo(DWORD n, DeviceEntry& out, int& err) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (n == 0 || s.list.empty()) {
        // Asking for the first device reads the list afresh; later numbers use that reading.
        s.list.clear();
        if (s.opensCancelled.load()) {
            err = BASS_ERROR_RECORD_CANCEL;
            return false;
        }
        const UINT count = waveInGetNumDevs();
        const UINT preferred = preferredDevice();
        for (UINT i = 0; i < count; ++i) {
            WAVEINCAPSA caps{};
            if (waveInGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
            DWORD flags = BASS_DEVICE_ENABLED;
            if (i == preferred) flags |= BASS_DEVICE_DEFAULT;
            const std::string name(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
            if (s.open && s.name == name) flags |= BASS_DEVICE_INIT;
            // The name is what stays when devices come and go; the position does not.
            s.list.push_back({keep(s, name), keep(s, name), flags});
        }
    }
    if (n >= s.list.size()) {
        err = BASS_ERROR_DEVICE;
        return false;
    }
    out = s.list[n];
    err = BASS_OK;
    return true;
}

int open(int device) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.open) return BASS_ERROR_ALREADY;
    if (device < -1) return BASS_ERROR_DEVICE;
    if (s.opensCancelled.load()) return BASS_ERROR_RECORD_CANCEL;
    const UINT count = waveInGetNumDevs();
    if (count == 0) return BASS_ERROR_DRIVER;
    if (device == -1) {
        s.id = std::min(preferredDevice(), count - 1);
    } else if (static_cast<UINT>(device) < count) {
        s.id = static_cast<UINT>(device);
    } else {
        return BASS_ERROR_DEVICE;
    }
    s.name = nameOf(s.id);
    s.open = true;
    s.level = 1.0f;
    return BASS_OK;
}

void cancelOpen() { state().opensCancelled.store(true); }

int close() {
    State& s = state();
    std::shared_ptr<RecordChannel> ch;
    s.opensCancelled.store(false);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.open) return BASS_ERROR_INIT;
        ch = std::move(s.channel);
        s.open = false;
    }
    if (ch) {
        ch->stopDevice();
        ch->setActive(false);
    }
    return BASS_OK;
}

bool isOpen() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().open;
}

std::shared_ptr<Source> start(DWORD freq, DWORD chans, bool paused, int& err) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.open) {
        err = BASS_ERROR_INIT;
        return nullptr;
    }
    if (s.channel) {
        err = BASS_ERROR_ALREADY;  // one capture channel per device
        return nullptr;
    }
    if (chans < 1 || chans > 8 || freq < 1000 || freq > 384000) {
        err = BASS_ERROR_FORMAT;
        return nullptr;
    }
    auto ch = std::make_shared<RecordChannel>(freq, chans);
    ch->level.store(s.level);
    // The device as it is named now: the list may have changed since it was opened.
    UINT id = deviceNamed(s.name);
    err = ch->startDevice(id == WAVE_MAPPER ? s.id : id, s.name, paused);
    if (err != BASS_OK) return nullptr;
    s.channel = ch;
    return ch;
}

int setRunning(Source& channel, bool run) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.channel || s.channel.get() != &channel) return BASS_ERROR_HANDLE;
    return s.channel->run(run);
}

bool isLost(const Source& channel) {
    return channel.kind == Kind::Record && static_cast<const RecordChannel&>(channel).lost.load();
}

int setLevel(float level) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.open) return BASS_ERROR_INIT;
    if (!(level >= 0.0f)) return BASS_ERROR_ILLPARAM;
    s.level = std::min(level, 1.0f);
    if (s.channel) s.channel->level.store(s.level);
    return BASS_OK;
}

int level(float& volume, bool& off) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.open) return BASS_ERROR_INIT;
    volume = s.level;
    off = false;
    return BASS_OK;
}

}  // namespace bassx::capture

// Output device, capture channel, host push stream with its volume effect, and the mixer.
#include "audio/audio_graph.h"

#include <atomic>
#include <cstdint>

#include "audio/capture_devices.h"
#include "audio/error_report.h"
#include "bass.h"
#include "desktop/desktop.h"

namespace {

constexpr const char* noRecord = "Can't find Larkspur Structure!";
constexpr const char* noFormat = "No settings for the Channels found (Freq & Mono/Stereo)";

// The host stream of the last connect: a disconnect only stops it and clears the record's
// handle, so it is remembered here to be released by the next connect.
std::atomic<std::uint32_t> previousHostStream{0};

// Set while the output device is one that our own BASS_Init opened: a device that someone
// else in the process opened stays theirs.
std::atomic<bool> deviceOpened{false};

bool formatMissing(const Larkspur* record) { return record->sampleRate == 0 || record->channels == 0; }

}  // namespace

void initAudioDevice(int window, Larkspur* record) {
    if (!record) return;
    if (formatMissing(record)) {
        reportError(noFormat);
        return;
    }
    void* owner = reinterpret_cast<void*>(desktop::nativeHandle(window));
    if (BASS_Init(-1, static_cast<DWORD>(record->sampleRate), 0, owner, nullptr))
        deviceOpened = true;
    else
        reportError("BASS_Init(count,44100,0,WindowID(0),0)");
}

void releaseAudioDevice() {
    const std::uint32_t hostStream = previousHostStream.exchange(0);
    if (deviceOpened.exchange(false)) {
        // Every handle dies with the device; a later session may hand out the same numbers.
        BASS_Free();
    } else if (hostStream != 0) {
        // The device is not ours to close: only our own stream goes.
        BASS_StreamFree(hostStream);
    }
}

int createSources(Larkspur* record) {
    if (!record) {
        reportError(noRecord);
        return 0;
    }
    BASS_FX_GetVersion();  // binds the effects add-on that provides the volume effect
    if (formatMissing(record)) {
        reportError(noFormat);
        return 0;
    }
    const DWORD rate = static_cast<DWORD>(record->sampleRate);
    const DWORD chans = static_cast<DWORD>(record->channels);

    record->recordChannel = BASS_RecordStart(rate, chans, BASS_RECORD_PAUSE, nullptr, nullptr);
    if (record->recordChannel == 0) {
        reportError("Couldn't start recording");
        return 0;
    }

    // Without this every connect would leave one more stream (and effect) behind.
    if (const std::uint32_t old = previousHostStream.exchange(0)) {
        std::uint32_t current = old;
        record->hostStream.compare_exchange_strong(current, 0);  // the tap stops pushing first
        BASS_StreamFree(old);
    }
    record->hostStream = BASS_StreamCreate(rate, chans, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
    if (record->hostStream == 0) {
        reportError("Couldn't set up the winamp channel");
        return 0;
    }
    previousHostStream = record->hostStream.load();

    record->volumeFx = BASS_ChannelSetFX(record->hostStream, BASS_FX_BFX_VOLUME, 0);
    if (record->volumeFx == 0) {
        reportError("Couldn't set up the Volume DSP!");
        return 0;
    }
    return 1;
}

int createMixer(Larkspur* record) {
    if (!record) {
        reportError(noRecord);
        return 0;
    }
    if (formatMissing(record)) {
        reportError(noFormat);
        return 0;
    }
    record->mixer = BASS_Mixer_StreamCreate(static_cast<DWORD>(record->sampleRate),
                                            static_cast<DWORD>(record->channels),
                                            BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    if (record->mixer == 0) {
        reportError("Couldn't create Mixer");
        return 0;
    }
    BASS_ChannelPlay(record->recordChannel, FALSE);
    if (!BASS_Mixer_StreamAddChannel(record->mixer, record->recordChannel, BASS_MIXER_FILTER)) {
        reportError("Couldn't add recordingchannel to mixer");
        return 0;
    }
    if (!BASS_Mixer_StreamAddChannel(record->mixer, record->hostStream, 0)) {
        reportError("Couldn't add winampchannel to mixer");
        return 0;
    }
    return 1;
}

int fillCaptureDeviceList(int control) {
    // In the presenter's order; the list keeps which device each position is.
    showCaptureDevices(control);
    return 0;
}

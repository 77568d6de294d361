// Talk-over: the Speak poll and Hold toggle set the music and capture levels while streaming.
#include "audio/talk_over.h"

#include <atomic>

#include "bass.h"
#include "broadcast/connection.h"
#include "desktop/desktop.h"

namespace {

// Set when a press on Speak started speaking; the window thread's own state.
thread_local int pressSpeaking = 0;

float factor(std::int32_t position) { return static_cast<float>(position) / 100.0f; }

bool streamingNow(const Larkspur* record) { return record && record->streaming.load() == 1; }

void setMusicLevel(Larkspur* record, std::int32_t level) {
    BASS_BFX_VOLUME params{0, factor(level)};
    BASS_FXSetParameters(record->volumeFx.load(), &params);
}

void setCaptureLevel(float volume) { BASS_RecordSetInput(-1, BASS_INPUT_ON, volume); }

// Set from connect until the level is put back; the reconnect thread and the window thread
// both connect and disconnect (one at a time, under the connection lock).
std::atomic<bool> inputNoted{false};
std::atomic<float> notedInput{0.0f};

// Speak or Hold moved while a connect or disconnect held the connection lock on another
// thread: the window never waits for that (a handshake may take seconds). 1 speak, 0 mute,
// -1 nothing waiting. Applied as soon as the station is on the air and the lock is free.
std::atomic<int> deferredSpeaking{-1};

// Under the connection lock, while streaming.
void applySpeaking(Larkspur* record, int on) {
    if (on == 1) {
        record->speaking = 1;
        setMusicLevel(record, record->hostVolumeSpeaking);
        setCaptureLevel(factor(record->deviceVolumeSpeaking));
    } else {
        leaveSpeaking(record);
    }
}

}  // namespace

void leaveSpeaking(Larkspur* record) {
    if (!record) return;
    record->speaking = 0;
    setMusicLevel(record, record->hostVolume);
    setCaptureLevel(0.0f);
}

void noteSystemInputLevel() {
    // A second note before the restore would take our own muted level for the system's.
    if (inputNoted.load()) return;
    float volume = 0.0f;
    if (BASS_RecordGetInput(-1, &volume) == static_cast<DWORD>(-1)) return;
    notedInput = volume;
    inputNoted = true;
}

void restoreSystemInputLevel() {
    if (!inputNoted.exchange(false)) return;
    // Flags 0: the level only; a source the system has switched off stays off.
    BASS_RecordSetInput(-1, 0, notedInput.load());
}

void setSpeaking(Larkspur* record, int on) {
    if (!record) return;
    // Under the lock: a disconnect between the test and the write would leave `speaking` set
    // while offline. Held elsewhere (a reconnect attempt in its handshake): kept for later.
    const auto guard = tryLockConnection();
    if (!guard.owns_lock()) {
        deferredSpeaking = on == 1 ? 1 : 0;
        return;
    }
    deferredSpeaking = -1;
    if (streamingNow(record)) applySpeaking(record, on);
}

void applyDeferredSpeaking(Larkspur* record) {
    if (!record || deferredSpeaking.load() < 0) return;
    const auto guard = tryLockConnection();
    if (!guard.owns_lock()) return;
    if (!streamingNow(record)) {
        // Off the air for good once no reconnect loop is left to bring the station back.
        if (!failureHandlingUnderWay()) deferredSpeaking = -1;
        return;
    }
    const int on = deferredSpeaking.exchange(-1);
    if (on >= 0) applySpeaking(record, on);
}

void applyHostVolume(Larkspur* record) {
    if (streamingNow(record) && record->speaking.load() == 0) setMusicLevel(record, record->hostVolume);
}

void applyHostVolumeSpeaking(Larkspur* record) {
    if (streamingNow(record) && record->speaking.load() == 1) setMusicLevel(record, record->hostVolumeSpeaking);
}

void applyDeviceVolumeSpeaking(Larkspur* record) {
    if (streamingNow(record) && record->speaking.load() == 1) setCaptureLevel(factor(record->deviceVolumeSpeaking));
}

void onLevelChanged(Larkspur* record, int control) {
    if (!record || !desktop::controlExists(control)) return;
    int pos = desktop::position(control);
    switch (control) {
    case 33:
        record->hostVolume = pos;
        applyHostVolume(record);
        break;
    case 35:
        record->hostVolumeSpeaking = pos;
        applyHostVolumeSpeaking(record);
        break;
    case 37:
        record->deviceVolumeSpeaking = pos;
        applyDeviceVolumeSpeaking(record);
        break;
    default:
        break;
    }
}

void onHoldToggled(Larkspur* record) {
    int hold = desktop::controlExists(holdButton) && desktop::checked(holdButton) ? 1 : 0;
    if (hold == 1) {
        setSpeaking(record, 1);
        setStatus("hold --> speak");
        pressSpeaking = 0;
    } else {
        setSpeaking(record, 0);
        setStatus("release --> mute");
    }
    if (desktop::controlExists(speakButton)) desktop::setEnabled(speakButton, hold == 0);
    if (record) record->speakHold = static_cast<std::int8_t>(hold);
}

void pollSpeakButton(Larkspur* record) {
    applyDeferredSpeaking(record);
    if (record && record->speakHold.load() == 1) return;
    int id = controlUnderCursor();
    if (id == speakButton && primaryButtonDown()) {
        if (pressSpeaking == 0) {
            setSpeaking(record, 1);
            pressSpeaking = 1;
        }
    } else if (pressSpeaking == 1) {
        setSpeaking(record, 0);
        pressSpeaking = 0;
    }
}

void resetPressSpeaking() {
    pressSpeaking = 0;
    deferredSpeaking = -1;
}

int controlUnderCursor() { return desktop::controlUnderCursor(); }

int primaryButtonDown() { return desktop::primaryButtonDown() ? 1 : 0; }

// Helpers for suites that drive the station record through fake_bass and the headless desktop.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "desktop/desktop.h"
#include "desktop/headless.h"
#include "fake_bass.h"
#include "plugin/globals.h"
#include "settings/larkspur.h"

namespace test_station {

// The record as start-up and a filled window leave it: handles 0, MP3 at 128 kb/s, 44100 Hz stereo.
inline void reset(Larkspur& r) {
    r.recordChannel = 0;
    r.hostStream = 0;
    r.encoder = 0;
    r.mixer = 0;
    r.volumeFx = 0;
    for (TextField* f : {&r.server, &r.password, &r.stationName, &r.url, &r.genre, &r.description, &r.contentType,
                         &r.icq, &r.irc, &r.aim})
        storeText(*f, "");
    storeText(r.contentType, "audio/mpeg");
    r.port = 0;
    r.bitrate = 128;
    r.isPublic = 0;
    r.autoReconnect = 0;
    r.streaming = 0;
    r.sampleRate = 44100;
    r.channels = 2;
    r.recordDevice = 0;
    r.hostVolume = 100;
    r.deviceVolumeSpeaking = 100;
    r.hostVolumeSpeaking = 30;
    r.speaking = 0;
    r.speakHold = 0;
    r.lastTitle.clear();
    storeTextSettings(r, TextSettings{});
}

// A server the fake accepts.
inline void configure(Larkspur& r) {
    storeText(r.server, "127.0.0.1");
    r.port = 8000;
    storeText(r.password, "hackme");
    storeText(r.stationName, "Larkspur FM");
}

// Headless desktop with the configuration window's status line (30) and Connect toggle (31).
inline void openWindow() {
    desktop::selectBackend("headless");
    desktop::headless::reset();
    desktop::openConfigWindow(1, 0, 0, 0, 400, 300);
    desktop::ControlSpec status;
    status.number = 30;
    status.kind = desktop::ControlKind::Text;
    desktop::createControl(1, status);
    desktop::ControlSpec toggle;
    toggle.number = 31;
    toggle.kind = desktop::ControlKind::ToggleButton;
    toggle.text = "Connect";
    desktop::createControl(1, toggle);
}

inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A fresh start for a suite on the fake library: the window, the library, a configured record.
inline void prepare(Larkspur& r) {
    openWindow();
    fake_bass::reset();
    reset(r);
    configure(r);
    showErrors = 1;
}

}  // namespace test_station

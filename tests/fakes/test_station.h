// Helpers for suites that drive the station record through fake_bass and the headless desktop.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "broadcast/broadcast_state.h"
#include "broadcast/station_log.h"
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
    resetBroadcastState();
}

// The texts of every message box shown so far, in order.
inline std::vector<std::string> boxTexts() {
    std::vector<std::string> texts;
    for (const auto& box : desktop::headless::boxes()) texts.push_back(box.text);
    return texts;
}

// A test in a working folder of its own, where the station log (and the settings) land; the
// previous folder comes back at the end.
class OwnFolder {
public:
    OwnFolder() {
        previous_ = std::filesystem::current_path();
        folder_ = std::filesystem::temp_directory_path() / ("larkspur log " + std::to_string(std::random_device{}()));
        std::filesystem::create_directory(folder_);
        std::filesystem::current_path(folder_);
    }
    ~OwnFolder() {
        std::filesystem::current_path(previous_);
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
    OwnFolder(const OwnFolder&) = delete;
    OwnFolder& operator=(const OwnFolder&) = delete;

    // The log's lines as written (line ends removed).
    static std::vector<std::string> lines(const std::string& file = stationLogFileName) {
        std::vector<std::string> out;
        std::ifstream in(file, std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out.push_back(line);
        }
        return out;
    }
    // The events without their times ("YYYY-MM-DD HH:MM:SS ").
    static std::vector<std::string> events() {
        std::vector<std::string> out;
        for (const std::string& line : lines()) out.push_back(line.size() > 20 ? line.substr(20) : line);
        return out;
    }
    // The events that start with `prefix`, without it.
    static std::vector<std::string> events(const std::string& prefix) {
        std::vector<std::string> out;
        for (const std::string& event : events())
            if (event.rfind(prefix, 0) == 0) out.push_back(event.substr(prefix.size()));
        return out;
    }

private:
    std::filesystem::path previous_, folder_;
};

}  // namespace test_station

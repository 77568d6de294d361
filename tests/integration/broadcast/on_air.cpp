#include "on_air.h"

#include <dirent.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "../../support/proc_file.h"
#include "audio/audio_graph.h"
#include "broadcast/connection.h"
#include "desktop/desktop.h"
#include "desktop/headless.h"
#include "plugin/globals.h"

namespace on_air {

using namespace std::chrono_literals;

fixtures::SoundServer& Services::sound() {
    static fixtures::SoundServer server;
    return server;
}

void Services::SetUp() {
    ASSERT_TRUE(sound().start()) << sound().error();
}

void Services::TearDown() {
    shutdownBroadcast(&station);
    sound().stop();
}

void Station::openWindow() {
    desktop::selectBackend("headless");
    desktop::headless::reset();
    ASSERT_TRUE(desktop::openConfigWindow(1, 0, 0, 0, 400, 300));
    desktop::ControlSpec status;
    status.number = statusLine;
    status.kind = desktop::ControlKind::Text;
    desktop::createControl(1, status);
    desktop::ControlSpec toggle;
    toggle.number = connectToggle;
    toggle.kind = desktop::ControlKind::ToggleButton;
    toggle.text = "Connect";
    desktop::createControl(1, toggle);
}

void Station::SetUp() {
    openWindow();
    showErrors = 1;

    station.sampleRate = 44100;
    station.channels = 2;
    station.streaming = 0;
    station.autoReconnect = 0;
    station.lastTitle.clear();
    // The device may be open from an earlier test; opening it again is refused harmlessly.
    static bool deviceOpen = false;
    if (!deviceOpen) {
        initAudioDevice(1, &station);
        ASSERT_TRUE(desktop::headless::boxes().empty()) << desktop::headless::boxes()[0].text;
        deviceOpen = true;
    }
    ASSERT_TRUE(ice.start()) << ice.error();
}

void Station::TearDown() {
    station.autoReconnect = 0;
    toggleConnection(&station, false);
    ice.stop();
}

void Station::configure(const std::string& contentType) {
    storeText(station.server, "127.0.0.1");
    station.port = ice.port();
    storeText(station.password, ice.sourcePassword());
    storeText(station.stationName, "Larkspur FM");
    storeText(station.genre, "Jazz");
    storeText(station.url, "http://larkspur.example/");
    storeText(station.description, "Late night standards");
    storeText(station.contentType, contentType);
    storeText(station.icq, "");
    storeText(station.aim, "");
    storeText(station.irc, "#larkspur");
    station.bitrate = 128;
    station.isPublic = 1;
    station.recordDevice = 0;
}

std::vector<std::string> Station::boxTexts() const {
    std::vector<std::string> texts;
    for (const auto& box : desktop::headless::boxes()) texts.push_back(box.text);
    return texts;
}

bool Station::sourceGone(std::chrono::milliseconds limit) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!ice.sourceField("server_type").empty()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(100ms);
    }
    return true;
}

std::vector<pid_t> encoderChildren() {
    std::vector<pid_t> found;
    const pid_t self = ::getpid();
    DIR* proc = ::opendir("/proc");
    if (!proc) return found;
    while (dirent* entry = ::readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        const std::string stat = readProcFile("/proc/" + std::string(entry->d_name) + "/stat");
        const auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        const std::string name = stat.substr(open + 1, close - open - 1);
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == self && (name == "lame" || name == "oggenc" || name == "opusenc" || name == "flac"))
            found.push_back(pid);
    }
    ::closedir(proc);
    return found;
}


bool noEncoderLeft(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!encoderChildren().empty()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

}  // namespace on_air

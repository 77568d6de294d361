// The real window under a virtual display, driven with xdotool as a person would.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>
#include <unistd.h>

#include "desktop/desktop.h"
#include "display.h"
#include "fixtures.h"
#include "fake_bass.h"
#include "plugin/globals.h"
#include "resources/images.h"
#include "test_station.h"
#include "broadcast/broadcast_state.h"
#include "broadcast/connection.h"
#include "ui/meters.h"
#include "ui/window_layout.h"
#include "ui/window_thread.h"

#include <X11/Xlib.h>  // last: its macros (None, Status) clash with names above
#include <X11/Xutil.h>

namespace {

using namespace std::chrono_literals;
using test_station::eventually;

// Where the window and its pages land with no window manager: centred, no frame.
constexpr int screenW = 1280, screenH = 1024;
constexpr int winX = (screenW - configClientWidth) / 2, winY = (screenH - configClientHeight) / 2;
constexpr int pageX = 3, pageY = 89;  // a tab page's controls start here in the window

fixtures::Display* display = nullptr;

}  // namespace

// One display for the whole binary (the X connections of the desktop layer live as long).
// Stopped when the binary exits, after every test.
fixtures::Display* sharedDisplay() {
    static fixtures::Display shared;
    static bool started = [] {
        if (shared.start(screenW, screenH)) return true;
        ADD_FAILURE() << shared.error();
        return false;
    }();
    return started ? &shared : nullptr;
}

namespace {

class Window : public ::testing::Test {
protected:
    Larkspur record;
    std::future<int> thread;

    static void SetUpTestSuite() {
        display = sharedDisplay();
        ASSERT_NE(display, nullptr);
        ASSERT_TRUE(desktop::selectBackend("fltk"));
        decodeEmbeddedImages(bannerImage, logoImage, windowIcon);
        std::filesystem::create_directories(LARKSPUR_ARTIFACTS);
        // The window thread writes the settings file where it runs after a change: not in the
        // build tree.
        previousFolder = std::filesystem::current_path();
        folder = fixtures::makeTempDir("larkspur-window");
        ASSERT_FALSE(folder.empty());
        std::filesystem::current_path(folder);
    }
    static void TearDownTestSuite() {
        if (folder.empty()) return;
        std::filesystem::current_path(previousFolder);
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    static inline std::filesystem::path previousFolder;
    static inline std::string folder;

    void SetUp() override {
        ASSERT_NE(display, nullptr);
        fake_bass::reset();
        fake_bass::setDevices({{"Test Mic", "mic"}, {"Line In / Rear & Front", "line"}});
        test_station::reset(record);
        stopRequested = 0;
        showErrors = 1;
        desktop::resetLoop();
        thread = std::async(std::launch::async, [this] { return windowThreadProc(&record); });
        // The air meter is the last control made.
        ASSERT_TRUE(eventually([] { return desktop::windowExists(1) && desktop::controlExists(62); }, 5s));
        std::this_thread::sleep_for(300ms);  // mapped and drawn
    }

    void TearDown() override {
        if (!thread.valid()) return;
        stopRequested = 1;
        if (thread.wait_for(3s) != std::future_status::ready) {
            desktop::endLoop();
            thread.wait();
        }
        desktop::resetLoop();
        stopRequested = 0;
    }

    // Window coordinates of a point on a tab page, to the screen.
    static std::string at(int x, int y) { return std::to_string(winX + x) + " " + std::to_string(winY + y); }
    static std::string onPage(int x, int y) { return at(pageX + x, pageY + y); }
    void clickTab(int index) {
        const int tabX[] = {35, 105, 180, 250};
        display->xdotool("mousemove " + at(tabX[index], 76) + " click 1");
        ASSERT_TRUE(eventually([&] { return desktop::selected(0) == index; }, 2s));
        std::this_thread::sleep_for(150ms);
    }
    void shoot(const std::string& name) {
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(display->screenshot(std::string(LARKSPUR_ARTIFACTS) + "/" + name + ".png", winX - 20, winY - 20,
                                        configClientWidth + 40, configClientHeight + 40));
    }
};

TEST_F(Window, AppearsCentredWithItsPages) {
    std::string out;
    ASSERT_EQ(display->xdotool("getwindowgeometry " + std::to_string(desktop::nativeHandle(1)), &out), 0) << out;
    EXPECT_NE(out.find("Position: " + std::to_string(winX) + "," + std::to_string(winY)), std::string::npos) << out;
    EXPECT_NE(out.find("Geometry: 259x416"), std::string::npos) << out;
    std::string ours;
    display->xdotool("search --pid " + std::to_string(::getpid()), &ours);
    EXPECT_NE(ours.find(std::to_string(desktop::nativeHandle(1))), std::string::npos) << ours;
    // Icon, no close box, not resizable: what the window manager is told.
    std::string props;
    fixtures::run("DISPLAY=" + display->name() + " xprop -id " + std::to_string(desktop::nativeHandle(1)) +
                      " _NET_WM_ICON _MOTIF_WM_HINTS WM_NORMAL_HINTS",
                  &props);
    EXPECT_NE(props.find("Icon (16 x 16)"), std::string::npos) << props;
    EXPECT_NE(props.find("_MOTIF_WM_HINTS(_MOTIF_WM_HINTS) = 0x3, 0x4, 0xa"), std::string::npos) << props;
    EXPECT_NE(props.find("program specified minimum size: 259 by 416"), std::string::npos) << props;
    EXPECT_NE(props.find("program specified maximum size: 259 by 416"), std::string::npos) << props;
    EXPECT_EQ(desktop::selected(0), 0);
    shoot("window-streaming");
    clickTab(1);
    shoot("window-serverconfig");
    clickTab(2);
    shoot("window-soundconfig");
}

TEST_F(Window, TypingUpdatesTheRecordAtEveryKeystroke) {
    clickTab(1);
    display->xdotool("mousemove " + onPage(23 + 50, 48 + 10) + " click 1");
    std::string typed;
    for (char c : std::string("ice.local")) {
        typed += c;
        display->xdotool(std::string("type --delay 0 '") + c + "'");
        EXPECT_TRUE(eventually([&] { return textOf(record.server) == typed; }, 2s)) << typed;
    }
    // Tab goes on to the port field, whose text it selects; typing replaces it. Letters are refused.
    display->xdotool("key Tab");
    display->xdotool("type --delay 0 8x0z00");
    EXPECT_TRUE(eventually([&] { return desktop::text(4) == "8000"; }, 2s)) << desktop::text(4);
    // Shift+Tab comes back to the server field.
    display->xdotool("key shift+Tab");
    display->xdotool("type --delay 0 radio");
    EXPECT_TRUE(eventually([&] { return textOf(record.server) == "radio"; }, 2s)) << textOf(record.server);
    shoot("window-typed");
    // The port is a plain field of the window thread: read it once the thread has ended.
    stopRequested = 1;
    ASSERT_EQ(thread.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(record.port, 8000);
}

TEST_F(Window, TheOutputsPageStoresEachEditAndShowsEveryOutputsState) {
    clickTab(3);
    display->xdotool("mousemove " + onPage(55 + 60, 31 + 10) + " click 1");
    display->xdotool("type --delay 0 ice.local/two");
    EXPECT_TRUE(eventually([&] { return textSettingsOf(record).output(2).server == "ice.local/two"; }, 2s))
        << textSettingsOf(record).output(2).server;
    display->xdotool("mousemove " + onPage(8 + 5, 113 + 7) + " click 1");  // "Record to:"
    EXPECT_TRUE(eventually([&] { return textSettingsOf(record).recording.enabled; }, 2s));
    EXPECT_EQ(desktop::text(75), "Output 2: off");
    EXPECT_EQ(desktop::text(79), "Recording: off");
    shoot("window-outputs");
}

TEST_F(Window, ChoosingAFormatWritesItsContentTypeAndOffersItsBitrates) {
    clickTab(2);
    display->xdotool("mousemove " + onPage(63 + 30, 53 + 10) + " click 1");
    std::this_thread::sleep_for(300ms);
    shoot("window-format-list-open");
    display->xdotool("key Down Down Return");
    EXPECT_TRUE(eventually([&] { return textOf(record.contentType) == "application/ogg"; }, 2s))
        << textOf(record.contentType);
    EXPECT_EQ(desktop::selected(22), 2);

    // Two further down, FLAC: its bitrate list says "lossless" and takes no choice.
    display->xdotool("mousemove " + onPage(63 + 30, 53 + 10) + " click 1");
    std::this_thread::sleep_for(300ms);
    display->xdotool("key Down Down Return");
    EXPECT_TRUE(eventually([&] { return textOf(record.contentType) == "audio/ogg; codecs=flac"; }, 2s))
        << textOf(record.contentType);
    // The list is refilled after the content type is stored.
    EXPECT_TRUE(eventually([] { return desktop::itemCount(26) == 1 && !desktop::enabled(26); }, 2s));
    EXPECT_EQ(desktop::itemText(26, 0), "lossless");
    shoot("window-flac-lossless");
}

TEST_F(Window, HoldingSpeakWhileStreamingSwitchesLevels) {
    record.hostVolume = 80;
    record.hostVolumeSpeaking = 20;
    record.deviceVolumeSpeaking = 90;
    record.volumeFx = 5;
    record.streaming = 1;
    auto music = [] {
        auto calls = fake_bass::callsTo("BASS_FXSetParameters");
        return calls.empty() ? -1.0f : calls.back().volume;
    };
    display->xdotool("mousemove " + onPage(13 + 80, 223 + 15) + " mousedown 1");
    auto capture = [] {
        auto calls = fake_bass::callsTo("BASS_RecordSetInput");
        return calls.empty() ? -1.0f : calls.back().volume;
    };
    // The flag changes before the levels are applied: wait for the levels themselves.
    EXPECT_TRUE(eventually([&] { return record.speaking == 1 && capture() == 0.9f; }, 2s));
    EXPECT_FLOAT_EQ(music(), 0.2f);
    display->xdotool("mouseup 1");
    EXPECT_TRUE(eventually([&] { return record.speaking == 0 && capture() == 0.0f; }, 2s));
    EXPECT_FLOAT_EQ(music(), 0.8f);

    // Pressed on Speak, then dragged off while held: speaking ends.
    display->xdotool("mousemove " + onPage(13 + 80, 223 + 15) + " mousedown 1");
    EXPECT_TRUE(eventually([&] { return record.speaking == 1; }, 2s));
    display->xdotool("mousemove " + onPage(13 + 80, 150));
    EXPECT_TRUE(eventually([&] { return record.speaking == 0; }, 2s));
    display->xdotool("mouseup 1");
}

TEST_F(Window, LeftHandedMouseSpeaksWithTheRightButton) {
    ASSERT_TRUE(display->setLeftHanded(true));
    record.volumeFx = 5;
    record.streaming = 1;
    const auto ticks = fake_bass::count("BASS_Mixer_ChannelGetPosition");
    display->xdotool("mousemove " + onPage(13 + 80, 223 + 15) + " mousedown 1");  // physical left
    // Two status ticks later the Speak poll has seen the press twice over.
    ASSERT_TRUE(eventually([&] { return fake_bass::count("BASS_Mixer_ChannelGetPosition") >= ticks + 2; }, 5s));
    EXPECT_EQ(record.speaking, 0);
    display->xdotool("mouseup 1 mousedown 3");  // physical right: the primary button now
    EXPECT_TRUE(eventually([&] { return record.speaking == 1; }, 2s));
    display->xdotool("mouseup 3");
    EXPECT_TRUE(eventually([&] { return record.speaking == 0; }, 2s));
    ASSERT_TRUE(display->setLeftHanded(false));
}

TEST_F(Window, HoldDisablesSpeak) {
    display->xdotool("mousemove " + onPage(178 + 35, 223 + 15) + " click 1");
    EXPECT_TRUE(eventually([&] { return record.speakHold == 1; }, 2s));
    EXPECT_TRUE(desktop::checked(39));
    EXPECT_FALSE(desktop::enabled(38));
    EXPECT_EQ(desktop::text(30), "hold --> speak");  // offline: until the next status tick
    shoot("window-hold");
    display->xdotool("click 1");
    EXPECT_TRUE(eventually([&] { return record.speakHold == 0 && desktop::enabled(38); }, 2s));
}

// Pixels of a colour in a part of the window, as the screen shows it: within `near` of each
// component (text is drawn with smoothed edges).
int pixelsOf(std::uint32_t rgb, int x, int y, int w, int h, int near = 0) {
    ::Display* d = XOpenDisplay(display->name().c_str());
    if (!d) return -1;
    int found = 0;
    if (XImage* image = XGetImage(d, DefaultRootWindow(d), winX + x, winY + y, unsigned(w), unsigned(h), AllPlanes, ZPixmap)) {
        for (int row = 0; row < h; ++row)
            for (int col = 0; col < w; ++col) {
                const unsigned long p = XGetPixel(image, col, row);
                bool close = true;
                for (int shift : {16, 8, 0})
                    close = close && std::abs(int((p >> shift) & 0xFF) - int((rgb >> shift) & 0xFF)) <= near;
                found += close;
            }
        XDestroyImage(image);
    }
    XCloseDisplay(d);
    return found;
}

TEST_F(Window, ConnectingIsOnTheScreenWhileTheServerIsAwaited) {
    resetBroadcastState();
    storeText(record.server, "127.0.0.1");
    record.port = 8000;
    std::promise<void> entered, release;
    auto released = release.get_future().share();
    fake_bass::onCall("BASS_Encode_CastInit", [&](const fake_bass::Call&) {
        entered.set_value();
        released.wait_for(10s);  // the server takes its time; the window thread waits in the connect
    });
    display->xdotool("mousemove " + onPage(13 + 60, 13 + 12) + " click 1");
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(desktop::text(statusLine), "connecting...");
    // Painted although the window thread handles nothing until the server answers.
    EXPECT_TRUE(eventually([] { return pixelsOf(0xFFC000, 0, 45, 260, 20, 60) > 20; }, 2s));
    shoot("window-connecting");
    release.set_value();
    EXPECT_TRUE(eventually([&] { return record.streaming == 1 && desktop::text(connectToggle) == "Disconnect"; }, 5s));
    fake_bass::onCall("BASS_Encode_CastInit", nullptr);
    display->xdotool("mousemove " + onPage(13 + 60, 13 + 12) + " click 1");
    EXPECT_TRUE(eventually([&] { return record.streaming == 0; }, 5s));
}

TEST_F(Window, MetersShowTheMusicTheMicrophoneAndTheAir) {
    record.hostStream = 7;
    record.recordChannel = 8;
    record.mixer = 9;
    fake_bass::setLevel(7, 0.5f);   // -6 dBFS
    fake_bass::setLevel(8, 0.1f);   // -20 dBFS
    fake_bass::setLevel(9, 1.0f);   // a clip on the air
    record.streaming = 1;
    EXPECT_TRUE(eventually([] { return desktop::meter(airMeter).clipped; }, 2s));
    EXPECT_NEAR(desktop::meter(musicMeter).levelDb, -6.0, 0.1);
    EXPECT_NEAR(desktop::meter(microphoneMeter).levelDb, -20.0, 0.1);
    std::this_thread::sleep_for(200ms);
    // Green in the music's bar, and the air's clip mark lit, where they are drawn.
    EXPECT_TRUE(eventually([] { return pixelsOf(0x00C800, 52, 366, 150, 12) > 100; }, 2s));
    EXPECT_TRUE(eventually([] { return pixelsOf(0xFF0000, 247, 398, 6, 12) > 30; }, 2s));
    shoot("window-meters");
    record.streaming = 0;
}

TEST_F(Window, StopWhileTheAacBoxIsOpenEndsThroughTheForcedEnd) {
    clickTab(2);
    display->xdotool("mousemove " + onPage(63 + 30, 53 + 10) + " click 1");
    std::this_thread::sleep_for(300ms);
    display->xdotool("key Down Return");
    std::string out;
    ASSERT_TRUE(eventually([&] { return display->xdotool("search --name '^Larkspur$'", &out) == 0; }, 3s));
    EXPECT_EQ(textOf(record.contentType), "audio/mpeg");
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(display->screenshot(std::string(LARKSPUR_ARTIFACTS) + "/window-aac-box.png", 0, 0, screenW, screenH));

    // What Quit does: ask, wait up to 3000 ms, then force the end.
    stopRequested = 1;
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(thread.wait_for(3s), std::future_status::timeout);
    EXPECT_EQ(stopRequested, 1);
    desktop::endLoop();
    ASSERT_EQ(thread.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(thread.get(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 3s);
    EXPECT_FALSE(desktop::windowExists(1));
    EXPECT_NE(display->xdotool("search --name '^Larkspur$'", &out), 0) << "the box is still there";
}

TEST_F(Window, StopWhileIdleIsAcknowledgedWithinAStatusTick) {
    stopRequested = 1;
    ASSERT_EQ(thread.wait_for(1500ms), std::future_status::ready);
    EXPECT_EQ(stopRequested, 0);
    EXPECT_FALSE(desktop::windowExists(1));
}

}  // namespace

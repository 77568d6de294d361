// The real window under a virtual display, driven with xdotool as a person would.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "desktop/desktop.h"
#include "display.h"
#include "fake_bass.h"
#include "plugin/globals.h"
#include "resources/images.h"
#include "test_station.h"
#include "ui/window_layout.h"
#include "ui/window_thread.h"

namespace {

using namespace std::chrono_literals;
using test_station::eventually;

// Where the window and its pages land with no window manager: centred, no frame.
constexpr int screenW = 1280, screenH = 1024;
constexpr int winX = (screenW - 259) / 2, winY = (screenH - 360) / 2;
constexpr int pageX = 3, pageY = 89;  // a tab page's controls start here in the window

fixtures::Display* display = nullptr;

class Window : public ::testing::Test {
protected:
    Larkspur record;
    std::future<int> thread;

    static void SetUpTestSuite() {
        display = new fixtures::Display;
        ASSERT_TRUE(display->start(screenW, screenH)) << display->error();
        ASSERT_TRUE(desktop::selectBackend("fltk"));
        decodeEmbeddedImages(bannerImage, logoImage, windowIcon);
        std::filesystem::create_directories(LARKSPUR_ARTIFACTS);
    }
    static void TearDownTestSuite() {
        delete display;
        display = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(display, nullptr);
        fake_bass::reset();
        fake_bass::setDevices({{"Test Mic", "mic"}, {"Line In / Rear & Front", "line"}});
        test_station::reset(record);
        stopRequested = 0;
        showErrors = 1;
        desktop::resetLoop();
        thread = std::async(std::launch::async, [this] { return windowThreadProc(&record); });
        ASSERT_TRUE(eventually([] { return desktop::windowExists(1) && desktop::controlExists(29); }, 5s));
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
        const int tabX[] = {35, 105, 180};
        display->xdotool("mousemove " + at(tabX[index], 76) + " click 1");
        ASSERT_TRUE(eventually([&] { return desktop::selected(0) == index; }, 2s));
        std::this_thread::sleep_for(150ms);
    }
    void shoot(const std::string& name) {
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(display->screenshot(std::string(LARKSPUR_ARTIFACTS) + "/" + name + ".png", winX - 20, winY - 20,
                                        259 + 40, 360 + 40));
    }
};

TEST_F(Window, AppearsCentredWithItsPages) {
    std::string out;
    ASSERT_EQ(display->xdotool("getwindowgeometry " + std::to_string(desktop::nativeHandle(1)), &out), 0) << out;
    EXPECT_NE(out.find("Position: " + std::to_string(winX) + "," + std::to_string(winY)), std::string::npos) << out;
    EXPECT_NE(out.find("Geometry: 259x360"), std::string::npos) << out;
    EXPECT_EQ(desktop::selected(0), 0);
    shoot("window-streaming");
    clickTab(1);
    shoot("window-serverconfig");
    clickTab(2);
    shoot("window-soundconfig");
}

}  // namespace

// The FLTK backend's parts that reach past the window: boxes from other threads and without a
// window thread, the pointer, other windows' titles, the sound settings program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "desktop/desktop.h"
#include "display.h"
#include "fixtures.h"
#include "test_station.h"

// Last: X11's macros clash with names above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

fixtures::Display* sharedDisplay();

// Font lookups keep caches inside fontconfig for the life of the process; not ours to free.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using namespace std::chrono_literals;
using test_station::eventually;
using desktop::ControlKind;

std::string findWindow(fixtures::Display* d, const std::string& name) {
    std::string out;
    if (d->xdotool("search --name '^" + name + "$'", &out) != 0) return {};
    return out.substr(0, out.find('\n'));
}

// Passes of the window thread's loop, as the plug-in's loop would make them.
std::atomic<int> passes{0};

class DesktopX11 : public ::testing::Test {
protected:
    fixtures::Display* display = nullptr;
    std::future<void> windowThread;
    std::promise<void> finish;

    void SetUp() override {
        display = sharedDisplay();
        ASSERT_NE(display, nullptr);
        ASSERT_TRUE(desktop::selectBackend("fltk"));
        desktop::resetLoop();
    }
    void TearDown() override {
        if (windowThread.valid()) {
            desktop::endLoop();
            windowThread.wait();
        }
        desktop::resetLoop();
    }

    // A window thread with a Speak-like button on the window, running the loop until the end.
    void startWindowThread() {
        windowThread = std::async(std::launch::async, [] {
            if (!desktop::openConfigWindow(1, 0, 100, 100, 259, 360)) return;
            desktop::ControlSpec speak;
            speak.number = 38;
            speak.kind = ControlKind::PushButton;
            speak.x = 10;
            speak.y = 10;
            speak.width = 100;
            speak.height = 30;
            speak.text = "Speak";
            desktop::createControl(1, speak);
            desktop::ControlSpec status = speak;
            status.number = 30;
            status.kind = ControlKind::CenteredText;
            status.y = 50;
            status.text = "";
            desktop::createControl(1, status);
            desktop::setTimer(1, 1, 50);
            while (desktop::nextEvent().kind != desktop::Event::Kind::Quit) ++passes;
            desktop::closeWindow(1);
        });
        ASSERT_TRUE(eventually([] { return desktop::controlExists(30); }, 5s));
        ASSERT_TRUE(eventually([] { return passes.load() > 0; }, 5s));  // the window is up and ticking
    }
};

TEST_F(DesktopX11, BoxFromAnotherThreadIsShownByTheWindowThreadAndHoldsTheCaller) {
    startWindowThread();
    auto caller = std::async(std::launch::async, [] { desktop::messageBox(0, "Larkspur - Error", "It broke"); });
    std::string id;
    ASSERT_TRUE(eventually([&] { return !(id = findWindow(display, "Larkspur - Error")).empty(); }, 3s));
    // The box holds its caller only: the window thread's timer passes go on meanwhile.
    const int before = passes.load();
    EXPECT_TRUE(eventually([&] { return passes.load() >= before + 5; }, 5s));
    EXPECT_EQ(caller.wait_for(0s), std::future_status::timeout);
    display->xdotool("key --window " + id + " Return");
    EXPECT_EQ(caller.wait_for(3s), std::future_status::ready);
    EXPECT_TRUE(eventually([&] { return findWindow(display, "Larkspur - Error").empty(); }, 3s));

    // Setters from other threads reach the window thread's widgets.
    std::async(std::launch::async, [] { desktop::setText(30, "from elsewhere"); }).wait();
    EXPECT_EQ(desktop::text(30), "from elsewhere");

    // The forced end closes a box that another thread waits on.
    auto waiting = std::async(std::launch::async, [] { desktop::messageBox(0, "Held", "until the end"); });
    ASSERT_TRUE(eventually([&] { return !findWindow(display, "Held").empty(); }, 3s));
    desktop::endLoop();
    EXPECT_EQ(waiting.wait_for(3s), std::future_status::ready);
    windowThread.wait();
    EXPECT_TRUE(findWindow(display, "Held").empty());
}

TEST_F(DesktopX11, BoxOfABusyWindowThreadIsShownByTheCaller) {
    // The window thread is stuck in a handler (say, waiting for the caller): the caller shows it.
    std::promise<void> release;
    auto busy = release.get_future().share();
    windowThread = std::async(std::launch::async, [busy] {
        if (!desktop::openConfigWindow(1, 0, 100, 100, 259, 360)) return;
        busy.wait();
        while (desktop::nextEvent().kind != desktop::Event::Kind::Quit) {
        }
        desktop::closeWindow(1);
    });
    ASSERT_TRUE(eventually([] { return desktop::windowExists(1); }, 5s));
    auto caller = std::async(std::launch::async, [] { desktop::messageBox(0, "Busy", "shown anyway"); });
    std::string id;
    ASSERT_TRUE(eventually([&] { return !(id = findWindow(display, "Busy")).empty(); }, 3s));
    display->xdotool("key --window " + id + " Return");
    EXPECT_EQ(caller.wait_for(3s), std::future_status::ready);
    release.set_value();
}

TEST_F(DesktopX11, ForcedEndClosesAnOpenDropDownList) {
    windowThread = std::async(std::launch::async, [] {
        if (!desktop::openConfigWindow(1, 0, 100, 100, 259, 360)) return;
        desktop::ControlSpec list;
        list.number = 22;
        list.kind = ControlKind::DropList;
        list.x = 10;
        list.y = 10;
        list.width = 100;
        list.height = 20;
        desktop::createControl(1, list);
        for (const char* item : {"MP3", "A/B & C", "@x"}) desktop::addItem(22, item);
        desktop::select(22, 0);
        while (desktop::nextEvent().kind != desktop::Event::Kind::Quit) {
        }
        desktop::closeWindow(1);
    });
    ASSERT_TRUE(eventually([] { return desktop::itemCount(22) == 3; }, 5s));
    std::this_thread::sleep_for(300ms);
    display->xdotool("mousemove --window " + std::to_string(desktop::nativeHandle(1)) + " 50 20 click 1");
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(display->screenshot(std::string(LARKSPUR_ARTIFACTS) + "/droplist-open.png", 100, 100, 200, 120));
    desktop::endLoop();
    EXPECT_EQ(windowThread.wait_for(3s), std::future_status::ready);
}

TEST_F(DesktopX11, WithoutAWindowThreadBoxesArePlainWindowsOfTheCaller) {
    auto caller = std::async(std::launch::async, [] { desktop::messageBox(0, "About", "Larkspur\r\nversion"); });
    std::string id;
    ASSERT_TRUE(eventually([&] { return !(id = findWindow(display, "About")).empty(); }, 3s));
    EXPECT_EQ(caller.wait_for(0s), std::future_status::timeout);
    display->xdotool("key --window " + id + " Return");
    EXPECT_EQ(caller.wait_for(3s), std::future_status::ready);

    // The forced end closes such a box too, and one asked for afterwards returns at once.
    auto held = std::async(std::launch::async, [] { desktop::messageBox(0, "Held plain", "until the end"); });
    ASSERT_TRUE(eventually([&] { return !findWindow(display, "Held plain").empty(); }, 3s));
    desktop::endLoop();
    EXPECT_EQ(held.wait_for(3s), std::future_status::ready);
    EXPECT_TRUE(eventually([&] { return findWindow(display, "Held plain").empty(); }, 3s));
    EXPECT_EQ(std::async(std::launch::async, [] { desktop::messageBox(0, "Late", "after the end"); }).wait_for(3s),
              std::future_status::ready);
}

TEST_F(DesktopX11, TheForegroundWindowCountsOnlyWhenItIsOurs) {
    startWindowThread();
    const auto ours = desktop::nativeHandle(1);
    ::Display* d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    // Another program's window: its _NET_WM_PID names another process.
    Window other = XCreateSimpleWindow(d, DefaultRootWindow(d), 300, 300, 50, 50, 0, 0, 0);
    long otherPid = long(::getpid()) + 1;
    XChangeProperty(d, other, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&otherPid), 1);
    XMapWindow(d, other);
    XSync(d, False);
    display->xdotool("windowfocus --sync " + std::to_string(ours));
    EXPECT_TRUE(eventually([&] { return desktop::foregroundWindowOfThisProcess() == ours; }, 3s));
    display->xdotool("windowfocus --sync " + std::to_string(other));
    EXPECT_TRUE(eventually([] { return desktop::foregroundWindowOfThisProcess() == 0; }, 3s));
    XDestroyWindow(d, other);
    XCloseDisplay(d);
}

TEST_F(DesktopX11, PointerFindsControlsOfTheWindowOnly) {
    startWindowThread();
    auto handle = desktop::nativeHandle(1);
    ASSERT_NE(handle, 0u);
    display->xdotool("mousemove --window " + std::to_string(handle) + " 50 25");
    EXPECT_TRUE(eventually([] { return desktop::controlUnderCursor() == 38; }, 2s));
    display->xdotool("mousemove --window " + std::to_string(handle) + " 200 300");
    EXPECT_TRUE(eventually([] { return desktop::controlUnderCursor() == 0; }, 2s));
    display->xdotool("mousemove 5 5");  // off the window
    EXPECT_TRUE(eventually([] { return desktop::controlUnderCursor() == 0; }, 2s));
    EXPECT_FALSE(desktop::primaryButtonDown());
    display->xdotool("mousedown 1");
    EXPECT_TRUE(eventually([] { return desktop::primaryButtonDown(); }, 2s));
    display->xdotool("mouseup 1");
    EXPECT_TRUE(eventually([] { return !desktop::primaryButtonDown(); }, 2s));

    // A disabled control is not hit, as with the system's own window lookup.
    desktop::setEnabled(38, false);
    display->xdotool("mousemove --window " + std::to_string(handle) + " 50 25");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(desktop::controlUnderCursor(), 0);
}

TEST_F(DesktopX11, HiddenWindowIsNeverMapped) {
    ASSERT_TRUE(desktop::openHiddenWindow(0, 0, 10, 10));
    EXPECT_TRUE(desktop::windowExists(0));
    auto handle = desktop::nativeHandle(0);
    ASSERT_NE(handle, 0u);
    std::string out;
    fixtures::run("DISPLAY=" + display->name() + " xwininfo -id " + std::to_string(handle), &out);
    EXPECT_NE(out.find("Map State: IsUnMapped"), std::string::npos) << out;

    // A configuration window owned by it is transient for it.
    std::async(std::launch::async, [&] {
        ASSERT_TRUE(desktop::openConfigWindow(1, handle, 0, 0, 259, 360));
        fixtures::run("DISPLAY=" + display->name() + " xprop -id " + std::to_string(desktop::nativeHandle(1)) +
                          " WM_TRANSIENT_FOR",
                      &out);
        desktop::closeWindow(1);
    }).wait();
    char id[32];
    std::snprintf(id, sizeof id, "window id # 0x%lx", static_cast<unsigned long>(handle));
    EXPECT_NE(out.find(id), std::string::npos) << out;
    desktop::closeWindow(0);
    EXPECT_FALSE(desktop::windowExists(0));
    EXPECT_EQ(desktop::nativeHandle(0), 0u);
}

TEST_F(DesktopX11, TitlesOfOtherWindows) {
    ::Display* d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    Window root = DefaultRootWindow(d);
    Window utf = XCreateSimpleWindow(d, root, 0, 0, 10, 10, 0, 0, 0);
    Window plain = XCreateSimpleWindow(d, root, 0, 0, 10, 10, 0, 0, 0);
    const std::string title = "12. Bj\xC3\xB6rk \xE2\x80\x93 J\xC3\xB3ga";
    XChangeProperty(d, utf, XInternAtom(d, "_NET_WM_NAME", False), XInternAtom(d, "UTF8_STRING", False), 8,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(title.data()), int(title.size()));
    XStoreName(d, utf, "fallback");
    XStoreName(d, plain, "1. Plain");
    Window gone = XCreateSimpleWindow(d, root, 0, 0, 10, 10, 0, 0, 0);
    XDestroyWindow(d, gone);
    XSync(d, False);

    EXPECT_EQ(desktop::windowTitle(utf), title);
    EXPECT_EQ(desktop::windowTitle(plain), "1. Plain");
    EXPECT_EQ(desktop::windowTitle(gone), "");  // and the process lives on
    EXPECT_EQ(desktop::windowTitle(0), "");
    XCloseDisplay(d);
}

TEST_F(DesktopX11, SoundSettingsStartDetachedAndQuietlyFail) {
    auto dir = std::filesystem::temp_directory_path() / ("larkspur-mixer-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto program = dir / "pavucontrol";
    {
        std::ofstream script(program);
        script << "#!/bin/sh\n/bin/sleep 3\n/usr/bin/touch '" << (dir / "started").string() << "'\n";
    }
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";

    ::setenv("PATH", dir.c_str(), 1);
    auto began = std::chrono::steady_clock::now();
    desktop::openSoundSettings();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);  // no wait for the program

    ::setenv("PATH", "/nonexistent", 1);
    desktop::openSoundSettings();  // nothing installed: nothing happens
    ::setenv("PATH", oldPath.c_str(), 1);

    EXPECT_TRUE(eventually([&] { return std::filesystem::exists(dir / "started"); }, 6s));
    std::filesystem::remove_all(dir);
}

TEST(DesktopNoDisplay, WindowsFailAndBoxesReturnAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: no X connection yet
    EXPECT_EXIT(
        {
            ::unsetenv("DISPLAY");
            desktop::selectBackend("fltk");
            bool opened = desktop::openConfigWindow(1, 0, 0, 0, 259, 360);
            bool hidden = desktop::openHiddenWindow(0, 0, 1, 1);
            desktop::messageBox(0, "Larkspur", "nobody sees this");
            bool titled = !desktop::windowTitle(1).empty();
            std::exit(opened || hidden || titled ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace

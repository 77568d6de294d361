// The headless desktop behaves as the window thread expects of the real one.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "desktop/desktop.h"
#include "desktop/headless.h"

namespace {

namespace hl = desktop::headless;
using desktop::ControlKind;
using desktop::Event;
using namespace std::chrono_literals;

class Headless : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(desktop::selectBackend("headless"));
        hl::reset();
        ASSERT_TRUE(desktop::openConfigWindow(1, 0x99, 10, 20, 259, 360));
    }
    void TearDown() override {
        desktop::resetLoop();
        hl::reset();
    }
    static void add(int number, ControlKind kind, int page = desktop::onWindow, std::string text = "") {
        desktop::ControlSpec spec;
        spec.number = number;
        spec.kind = kind;
        spec.page = page;
        spec.text = std::move(text);
        ASSERT_TRUE(desktop::createControl(1, spec)) << number;
    }
};

TEST(Backend, ChosenByName) {
    EXPECT_FALSE(desktop::selectBackend("gtk"));
    EXPECT_TRUE(desktop::selectBackend("headless"));
    EXPECT_EQ(desktop::backendName(), "headless");
}

TEST_F(Headless, WindowsOpenOnceAndFailOnRequest) {
    auto info = hl::windowInfo(1);
    EXPECT_EQ(info.owner, 0x99u);
    EXPECT_EQ(info.x, 10);
    EXPECT_EQ(info.height, 360);
    EXPECT_NE(desktop::nativeHandle(1), 0u);
    EXPECT_FALSE(desktop::openConfigWindow(1, 0, 0, 0, 1, 1));  // already there
    EXPECT_FALSE(desktop::compositionEnabled());

    // Timers only on the configuration window, as the real backend keeps them.
    desktop::setTimer(1, 1, 500);
    desktop::setTimer(2, 0, 2000);
    ASSERT_TRUE(desktop::openHiddenWindow(0, 0, 1, 1));
    desktop::setTimer(0, 3, 100);
    EXPECT_EQ(hl::timerPeriod(1), 500);
    EXPECT_EQ(hl::timerPeriod(0), 0);
    EXPECT_EQ(hl::timerPeriod(3), 0);

    add(5, ControlKind::Edit);
    desktop::closeWindow(1);
    EXPECT_EQ(hl::timerPeriod(1), 0);
    EXPECT_FALSE(desktop::windowExists(1));
    EXPECT_EQ(desktop::nativeHandle(1), 0u);
    EXPECT_FALSE(desktop::controlExists(5));  // controls go with their window

    hl::failWindows(true);
    EXPECT_FALSE(desktop::openHiddenWindow(0, 0, 1, 1));
    EXPECT_FALSE(desktop::openConfigWindow(1, 0, 0, 0, 259, 360));
}

TEST_F(Headless, ControlsNeedAWindowAPageAndAFreeNumber) {
    add(0, ControlKind::TabControl);
    desktop::ControlSpec spec;
    spec.number = 7;
    spec.page = 0;  // no page yet
    EXPECT_FALSE(desktop::createControl(1, spec));
    EXPECT_EQ(desktop::addTab(0, "one"), 0);
    EXPECT_EQ(desktop::addTab(0, "two"), 1);
    EXPECT_EQ(desktop::selected(0), 0);
    EXPECT_TRUE(desktop::createControl(1, spec));
    EXPECT_FALSE(desktop::createControl(1, spec));  // number taken
    EXPECT_FALSE(desktop::createControl(2, spec));  // no such window
    EXPECT_EQ(desktop::addTab(7, "x"), -1);         // not a tab control
    desktop::select(0, 5);
    EXPECT_EQ(desktop::selected(0), 0);  // a tab control always shows a page

    desktop::setToolTip(7, "host[:port] or host/mount");
    EXPECT_EQ(desktop::headless::toolTip(7), "host[:port] or host/mount");
    desktop::setToolTip(8, "no such control");
    EXPECT_EQ(desktop::headless::toolTip(8), "");
    desktop::setToolTip(7, "");
    EXPECT_EQ(desktop::headless::toolTip(7), "");
}

TEST_F(Headless, ThePersonActsOnlyOnEnabledControlsAndEachActionIsOneEvent) {
    add(3, ControlKind::Edit);
    add(4, ControlKind::NumberEdit);
    add(31, ControlKind::ToggleButton, desktop::onWindow, "Connect");
    add(38, ControlKind::PushButton);
    add(22, ControlKind::DropList);
    add(33, ControlKind::Trackbar);
    for (const char* item : {"MP3", "AAC"}) desktop::addItem(22, item);

    hl::type(3, "abc");
    hl::type(4, "8a0$0");
    hl::click(31);
    hl::click(38);
    hl::choose(22, 1);
    hl::drag(33, 140);
    hl::fireTimer(1);
    hl::post();
    const std::vector<std::pair<Event::Kind, int>> want{
        {Event::Kind::Control, 3},  {Event::Kind::Control, 4},  {Event::Kind::Control, 31}, {Event::Kind::Control, 38},
        {Event::Kind::Control, 22}, {Event::Kind::Control, 33}, {Event::Kind::Timer, 1},    {Event::Kind::None, 0}};
    for (auto [kind, id] : want) {
        Event e = desktop::nextEvent();
        EXPECT_EQ(e.kind, kind);
        EXPECT_EQ(e.id, id);
    }
    EXPECT_EQ(desktop::text(3), "abc");
    EXPECT_EQ(desktop::text(4), "800");  // typed digits only
    EXPECT_TRUE(desktop::checked(31));
    EXPECT_FALSE(desktop::checked(38));  // a push button does not stay down
    EXPECT_EQ(desktop::selected(22), 1);
    EXPECT_EQ(desktop::position(33), 100);

    desktop::setEnabled(31, false);
    hl::click(31);
    hl::post();
    EXPECT_EQ(desktop::nextEvent().kind, Event::Kind::None);  // the disabled click made no event
    EXPECT_TRUE(desktop::checked(31));

    desktop::setPosition(33, -3);
    EXPECT_EQ(desktop::position(33), 0);
    desktop::setTextColor(33, 0x12345678);
    EXPECT_EQ(desktop::textColor(33), 0x345678u);
}

TEST_F(Headless, EndLoopQuitsUntilReset) {
    auto waiting = std::async(std::launch::async, [] { return desktop::nextEvent(); });
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);  // nothing queued: it waits
    desktop::endLoop();
    ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(waiting.get().kind, Event::Kind::Quit);
    hl::post();
    EXPECT_EQ(desktop::nextEvent().kind, Event::Kind::Quit);  // and from then on
    desktop::resetLoop();
    EXPECT_EQ(desktop::nextEvent().kind, Event::Kind::None);
}

TEST_F(Headless, BoxesAreRecordedHeldAndClosed) {
    desktop::messageBox(0, "T", "closes at once");
    ASSERT_EQ(hl::boxes().size(), 1u);
    EXPECT_EQ(hl::boxes()[0].text, "closes at once");
    EXPECT_FALSE(hl::boxOpen());

    hl::holdBoxes(true);
    auto shown = std::async(std::launch::async, [] { desktop::messageBox(0, "T", "held"); });
    ASSERT_TRUE([&] {
        for (int i = 0; i < 200 && !hl::boxOpen(); ++i) std::this_thread::sleep_for(5ms);
        return hl::boxOpen();
    }());
    EXPECT_EQ(shown.wait_for(50ms), std::future_status::timeout);
    hl::dismissBox();
    EXPECT_EQ(shown.wait_for(2s), std::future_status::ready);

    // The forced end closes a box the window thread shows.
    auto windowThread = std::async(std::launch::async, [] {
        hl::reset();
        hl::holdBoxes(true);
        desktop::openConfigWindow(1, 0, 0, 0, 259, 360);
        desktop::messageBox(0, "T", "until the end");
        desktop::messageBox(0, "T", "after the end");  // returns at once
    });
    for (int i = 0; i < 200 && !hl::boxOpen(); ++i) std::this_thread::sleep_for(5ms);
    desktop::endLoop();
    EXPECT_EQ(windowThread.wait_for(2s), std::future_status::ready);
    // Any other thread's box after the end returns at once too, its owner noted.
    hl::setForegroundWindow(0x77);
    EXPECT_EQ(desktop::foregroundWindowOfThisProcess(), 0x77u);
    std::async(std::launch::async, [] { desktop::messageBox(0x77, "T", "other thread"); }).wait();
    ASSERT_EQ(hl::boxes().size(), 3u);
    EXPECT_EQ(hl::boxes()[2].owner, 0x77u);
}

TEST_F(Headless, PointerTitlesAndSoundSettings) {
    hl::pointer(38, true);
    EXPECT_EQ(desktop::controlUnderCursor(), 38);
    EXPECT_TRUE(desktop::primaryButtonDown());
    hl::setWindowTitle(0x42, "7. Artist - Song");
    EXPECT_EQ(desktop::windowTitle(0x42), "7. Artist - Song");
    EXPECT_EQ(desktop::windowTitle(0x43), "");
    desktop::openSoundSettings();
    EXPECT_EQ(hl::soundSettingsOpened(), 1);
    EXPECT_FALSE(desktop::executablePath().empty());
}

}  // namespace

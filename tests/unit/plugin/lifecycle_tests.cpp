// Init and Quit as the host drives them, with window thread procedures that behave well,
// never start, or hang in a modal box.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "desktop/headless.h"
#include "fake_bass.h"
#include "plugin/globals.h"
#include "plugin/lifecycle.h"

namespace fs = std::filesystem;

namespace {

std::atomic<int> procedureRuns{0};
std::atomic<bool> procedureReturned{false};
std::atomic<bool> sawStopRequest{false};
std::atomic<bool> windowZeroDuringShutdown{false};
std::atomic<bool> procedureDoneBeforeShutdown{false};
std::atomic<int> shutdownRuns{0};
char serverSeenByProcedure[256];

// Behaves like the real window thread: looks at the flag once per pass, clears it last.
int wellBehaved(Larkspur* record) {
    std::snprintf(serverSeenByProcedure, sizeof serverSeenByProcedure, "%s", textOf(record->server).c_str());
    ++procedureRuns;
    while (stopRequested.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    sawStopRequest = true;
    procedureReturned = true;
    stopRequested.store(0);
    return 0;
}

// Stuck in a modal box that nobody closes; only the forced end frees it.
int stuckInABox(Larkspur*) {
    ++procedureRuns;
    desktop::messageBox(0, "Larkspur - Error", "held");
    procedureReturned = true;
    return 0;
}

// In a handshake with a server that says nothing: neither the stop flag nor the end of the
// loop frees it, only the cancel of Quit's forced end.
std::atomic<bool> handshakeCancelled{false};
int stuckInAHandshake(Larkspur*) {
    ++procedureRuns;
    while (!handshakeCancelled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    procedureReturned = true;
    return 0;
}
void cancelHandshake(Larkspur*) { handshakeCancelled = true; }

void recordShutdown(Larkspur*) {
    ++shutdownRuns;
    procedureDoneBeforeShutdown = procedureReturned.load();
    windowZeroDuringShutdown = desktop::windowExists(hiddenWindow);
}

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(desktop::selectBackend("headless"));
        desktop::headless::reset();
        fake_bass::reset();
        procedureRuns = 0;
        procedureReturned = false;
        sawStopRequest = false;
        procedureDoneBeforeShutdown = false;
        windowZeroDuringShutdown = false;
        shutdownRuns = 0;
        serverSeenByProcedure[0] = 0;
        hostWindow = 0;
        stopRequested = 0;

        previous_ = fs::current_path();
        folder_ = fs::temp_directory_path() / ("larkspur-lifecycle-" + std::to_string(std::random_device{}()));
        ASSERT_TRUE(fs::create_directory(folder_));
        fs::current_path(folder_);
        // A settings file from an earlier session.
        Larkspur earlier;
        storeText(earlier.server, "earlier.example.org");
        earlier.port = 8000;
        ASSERT_EQ(saveSettings(&earlier), 1);

        module.hwndParent = 0x5a5a;
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

    static std::string savedServer() {
        Larkspur r;
        loadSettings(&r);
        return textOf(r.server);
    }
    static std::int32_t savedPort() {
        Larkspur r;
        loadSettings(&r);
        return r.port;
    }

    fs::path previous_, folder_;
    winampDSPModule module{};
    Larkspur record;
};

}  // namespace

TEST_F(Lifecycle, StartUpSetsChannelsAndErrorReportsAndDecodesTheImages) {
    Larkspur fresh;
    showErrors = 0;
    startUp(&fresh);
    EXPECT_EQ(fresh.channels, 2);
    EXPECT_EQ(fresh.sampleRate, 0);
    EXPECT_EQ(showErrors.load(), 1);
    EXPECT_EQ(bannerImage.width, 265);
    EXPECT_EQ(bannerImage.height, 45);
    EXPECT_EQ(logoImage.width, 235);
    EXPECT_EQ(logoImage.height, 115);
    EXPECT_EQ(windowIcon.width, 16);
    EXPECT_EQ(windowIcon.height, 16);
}

TEST_F(Lifecycle, InitLoadsTheSettingsAndStartsTheWindowThreadWhichQuitStopsByHandshake) {
    ASSERT_EQ(startPlugin(&record, &module, wellBehaved), 0);
    EXPECT_EQ(hostWindow.load(), module.hwndParent);
    EXPECT_TRUE(desktop::windowExists(hiddenWindow));
    while (procedureRuns.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_STREQ(serverSeenByProcedure, "earlier.example.org");  // loaded before the thread ran
    EXPECT_EQ(record.port, 8000);

    // A repeated Init leaves the running session alone.
    storeText(record.server, "changed.example.org");
    EXPECT_EQ(startPlugin(&record, &module, wellBehaved), 0);
    EXPECT_EQ(textOf(record.server), "changed.example.org");
    EXPECT_EQ(procedureRuns.load(), 1);

    EXPECT_EQ(stopPlugin(&record, recordShutdown), 0);
    EXPECT_TRUE(sawStopRequest.load());
    EXPECT_EQ(stopRequested.load(), 0);
    EXPECT_FALSE(windowThreadRunning());
    // The broadcast goes after the thread and before window 0 and the save.
    EXPECT_EQ(shutdownRuns.load(), 1);
    EXPECT_TRUE(procedureDoneBeforeShutdown.load());
    EXPECT_TRUE(windowZeroDuringShutdown.load());
    EXPECT_FALSE(desktop::windowExists(hiddenWindow));
    EXPECT_EQ(savedServer(), "changed.example.org");
    EXPECT_EQ(fs::file_size(settingsFileName), settingsFileSize);
}

TEST_F(Lifecycle, InitWithoutAWindowReturnsOneStartsNothingAndQuitStillSaves) {
    desktop::headless::failWindows(true);
    EXPECT_EQ(startPlugin(&record, &module, wellBehaved), 1);
    EXPECT_EQ(textOf(record.server), "earlier.example.org");  // the settings are loaded all the same
    EXPECT_EQ(hostWindow.load(), 0u);
    EXPECT_FALSE(windowThreadRunning());
    EXPECT_EQ(procedureRuns.load(), 0);

    record.port = 9000;
    EXPECT_EQ(stopPlugin(&record, recordShutdown), 0);
    EXPECT_EQ(stopRequested.load(), 0);
    EXPECT_EQ(savedPort(), 9000);
}

TEST_F(Lifecycle, AWindowThreadThatNeverAnswersIsEndedAndQuitStillSaves) {
    desktop::headless::holdBoxes(true);
    ASSERT_EQ(startPlugin(&record, &module, stuckInABox), 0);
    while (!desktop::headless::boxOpen()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    record.port = 9100;
    EXPECT_EQ(stopPlugin(&record, recordShutdown), 0);
    EXPECT_TRUE(procedureReturned.load());  // joined, not left running
    EXPECT_FALSE(desktop::headless::boxOpen());
    EXPECT_TRUE(procedureDoneBeforeShutdown.load());
    EXPECT_EQ(stopRequested.load(), 0);
    EXPECT_FALSE(desktop::windowExists(hiddenWindow));
    EXPECT_EQ(savedPort(), 9100);

    // The next session starts with a fresh loop.
    desktop::headless::holdBoxes(false);
    procedureReturned = false;
    ASSERT_EQ(startPlugin(&record, &module, wellBehaved), 0);
    EXPECT_EQ(stopPlugin(&record, nullptr), 0);
    EXPECT_TRUE(sawStopRequest.load());
}

TEST_F(Lifecycle, TheForcedEndCancelsWhatTheWindowThreadWaitsOn) {
    handshakeCancelled = false;
    ASSERT_EQ(startPlugin(&record, &module, stuckInAHandshake), 0);
    EXPECT_EQ(stopPlugin(&record, recordShutdown, cancelHandshake), 0);
    EXPECT_TRUE(handshakeCancelled.load());
    EXPECT_TRUE(procedureDoneBeforeShutdown.load());  // joined before the shutdown step
    EXPECT_EQ(shutdownRuns.load(), 1);

    // A thread that answers is never cancelled.
    handshakeCancelled = false;
    ASSERT_EQ(startPlugin(&record, &module, wellBehaved), 0);
    EXPECT_EQ(stopPlugin(&record, nullptr, cancelHandshake), 0);
    EXPECT_FALSE(handshakeCancelled.load());
}

TEST_F(Lifecycle, AQuitWithoutInitLeavesTheFileAlone) {
    ASSERT_EQ(startPlugin(&record, &module, wellBehaved), 0);
    ASSERT_EQ(stopPlugin(&record, nullptr), 0);
    Larkspur empty;
    EXPECT_EQ(stopPlugin(&empty, recordShutdown), 0);
    EXPECT_EQ(shutdownRuns.load(), 1);
    EXPECT_EQ(savedServer(), "earlier.example.org");
}

TEST_F(Lifecycle, ConfigShowsTheAboutBoxOwnedByTheHostsForegroundWindowOnly) {
    hostWindow = 0x5a5a;
    desktop::headless::setForegroundWindow(0x7001);  // a window of this process is active
    EXPECT_EQ(showAbout(), 0);
    desktop::headless::setForegroundWindow(0);  // another program's window is active
    EXPECT_EQ(showAbout(), 0);
    const auto boxes = desktop::headless::boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].title, "Larkspur v0.1");
    EXPECT_NE(boxes[0].text.find("Larkspur"), std::string::npos);
    EXPECT_EQ(boxes[0].owner, 0x7001u);
    EXPECT_EQ(boxes[1].owner, 0u);
}

TEST_F(Lifecycle, AHostThatEndsWithoutQuitIsNotAborted) {
    // Its display went away: the settings since Init are lost, but the process ends normally.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            startPlugin(&record, &module, wellBehaved);
            while (procedureRuns.load() == 0) std::this_thread::yield();
            // The child runs no TearDown: its own folder goes here.
            std::error_code ec;
            fs::current_path(previous_, ec);
            fs::remove_all(folder_, ec);
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "");
}

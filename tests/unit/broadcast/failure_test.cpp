// A dying encoder or server: the messages, the reconnect loop and the user's toggle against it.
#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>

#include "audio/audio_graph.h"
#include "broadcast/connection.h"
#include "fake_bass.h"
#include "test_station.h"

namespace {

using namespace std::chrono_literals;
using Names = std::vector<std::string>;
using test_station::eventually;

class Failure : public ::testing::Test {
protected:
    void SetUp() override {
        test_station::prepare(station);
        initAudioDevice(1, &station);  // ours, so shutdown closes it
        ASSERT_EQ(connectStream(&station), 1);
        desktop::setChecked(connectToggle, true);
        desktop::setText(connectToggle, "Disconnect");
        encoder = fake_bass::lastEncoder();
        fake_bass::clearCalls();
    }
    void TearDown() override {
        station.autoReconnect = 0;
        fake_bass::onCall("BASS_Encode_CastInit", nullptr);
        shutdownBroadcast(&station);
        showErrors = 1;
    }

    static Names boxTexts() {
        Names texts;
        for (const auto& box : desktop::headless::boxes()) texts.push_back(box.text);
        return texts;
    }

    HENCODE encoder = 0;
};

TEST_F(Failure, NoticesFromTheCastTimeoutUpChangeNothing) {
    for (DWORD status : {DWORD(BASS_ENCODE_NOTIFY_CAST_TIMEOUT), DWORD(0x20000), DWORD(0x7fffffff)})
        EXPECT_TRUE(fake_bass::notify(encoder, status));
    EXPECT_FALSE(failureHandlingUnderWay());  // a handler would be counted before the notice returns
    EXPECT_TRUE(fake_bass::calls().empty());
    EXPECT_EQ(station.streaming, 1);
    EXPECT_TRUE(boxTexts().empty());
}

TEST_F(Failure, WithoutReconnectionTheDeathIsReportedAfterAFullDisconnect) {
    const struct {
        DWORD status;
        const char* message;
    } cases[] = {{BASS_ENCODE_NOTIFY_CAST, "The server connection died!  "},
                 {BASS_ENCODE_NOTIFY_ENCODER, "The encoder died!  "}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        SetUp();
        EXPECT_TRUE(fake_bass::notify(encoder, c.status));
        ASSERT_TRUE(eventually([] { return !desktop::headless::boxes().empty(); }, 2s));
        EXPECT_EQ(boxTexts(), Names{c.message});
        EXPECT_EQ(fake_bass::callNames(), (Names{"BASS_ChannelStop", "BASS_ChannelStop", "BASS_ChannelStop",
                                                 "BASS_RecordSetInput", "BASS_RecordFree"}));
        EXPECT_EQ(station.streaming, 0);
        EXPECT_EQ(desktop::text(connectToggle), "Connect");
        EXPECT_FALSE(desktop::checked(connectToggle));
    }
}

TEST_F(Failure, TheNotificationReturnsWhileTheBoxIsStillOpen) {
    desktop::headless::holdBoxes(true);
    auto start = std::chrono::steady_clock::now();
    fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_CAST);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    ASSERT_TRUE(eventually([] { return desktop::headless::boxOpen(); }, 2s));
    // The user's toggle does not wait for the box either.
    EXPECT_EQ(toggleConnection(&station, false), 1);
    desktop::headless::dismissBox();
}

TEST_F(Failure, StaleAndRepeatedNoticesAreIgnored) {
    EXPECT_TRUE(fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_ENCODER));
    EXPECT_TRUE(fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_CAST));  // the same death, told twice
    ASSERT_TRUE(eventually([] { return !desktop::headless::boxes().empty(); }, 2s));
    ASSERT_TRUE(eventually([] { return !failureHandlingUnderWay(); }, 2s));
    EXPECT_EQ(boxTexts(), Names{"The encoder died!  "});
    EXPECT_EQ(fake_bass::count("BASS_RecordFree"), 1u);
}

TEST_F(Failure, NoticesCausedByOurOwnDisconnectAreIgnored) {
    // An engine that tells about the encoder it is being made to stop.
    fake_bass::onCall("BASS_ChannelStop", [this](const fake_bass::Call&) {
        fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_ENCODER);
    });
    station.autoReconnect = 1;
    disconnectStream(&station);
    fake_bass::onCall("BASS_ChannelStop", nullptr);
    EXPECT_FALSE(failureHandlingUnderWay());
    EXPECT_EQ(fake_bass::count("BASS_RecordInit"), 0u);
    EXPECT_TRUE(boxTexts().empty());
}

TEST_F(Failure, ReconnectsAboutOnceASecondSilentlyUntilTheServerIsBack) {
    station.autoReconnect = 1;
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_NONET, 2);
    Names statusAtAttempt;
    std::vector<int> errorsAtAttempt;
    std::vector<std::chrono::steady_clock::time_point> attempts;
    fake_bass::onCall("BASS_Encode_CastInit", [&](const fake_bass::Call&) {
        statusAtAttempt.push_back(desktop::text(statusLine));
        errorsAtAttempt.push_back(showErrors.load());
        attempts.push_back(std::chrono::steady_clock::now());
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_CAST));
    // Only the successful attempt registers for notices; the toggle comes after it.
    ASSERT_TRUE(eventually([] { return fake_bass::count("BASS_Encode_SetNotify") == 1; }, 6s));
    ASSERT_TRUE(eventually([] { return desktop::text(connectToggle) == "Disconnect"; }, 1s));
    EXPECT_EQ(station.streaming, 1);
    fake_bass::onCall("BASS_Encode_CastInit", nullptr);

    ASSERT_EQ(attempts.size(), 3u);
    EXPECT_GE(attempts[0] - start, 950ms);
    for (std::size_t i = 1; i < attempts.size(); ++i) {
        EXPECT_GE(attempts[i] - attempts[i - 1], 950ms);
        EXPECT_LT(attempts[i] - attempts[i - 1], 1900ms);  // one delay, not two
    }
    // Each attempt tells its number and why the one before failed (the death, then the server).
    EXPECT_EQ(statusAtAttempt, (Names{"reconnecting... #1: server connection lost", "reconnecting... #2: name not found",
                                      "reconnecting... #3: name not found"}));
    EXPECT_EQ(errorsAtAttempt, std::vector<int>(3, 0));
    EXPECT_EQ(showErrors, 1);
    EXPECT_TRUE(boxTexts().empty());
    EXPECT_TRUE(desktop::checked(connectToggle));
    EXPECT_EQ(desktop::text(statusLine), "online... but no data.. please play sound..");
    // Each attempt starts from a clean slate: initial disconnect plus one per attempt.
    EXPECT_EQ(fake_bass::count("BASS_RecordFree"), 4u);

    // The new encoder's death is handled again.
    fake_bass::clearCalls();
    station.autoReconnect = 0;
    EXPECT_NE(fake_bass::lastEncoder(), encoder);
    EXPECT_TRUE(fake_bass::notify(fake_bass::lastEncoder(), BASS_ENCODE_NOTIFY_ENCODER));
    ASSERT_TRUE(eventually([] { return !desktop::headless::boxes().empty(); }, 2s));
    EXPECT_EQ(boxTexts(), Names{"The encoder died!  "});
}

TEST_F(Failure, ClearingAutoReconnectEndsTheLoopAfterTheAttemptUnderWay) {
    station.autoReconnect = 1;
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_NONET, -1);
    std::atomic<int> attempts{0};
    fake_bass::onCall("BASS_Encode_CastInit", [&](const fake_bass::Call&) {
        if (++attempts == 2) station.autoReconnect = 0;  // cleared while the attempt runs
    });
    fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_CAST);
    ASSERT_TRUE(eventually([&] { return attempts == 2; }, 5s));
    ASSERT_TRUE(eventually([] { return !failureHandlingUnderWay(); }, 5s));
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(station.streaming, 0);
    EXPECT_FALSE(desktop::checked(connectToggle));
    EXPECT_TRUE(boxTexts().empty());
    EXPECT_EQ(showErrors, 1);
}

TEST_F(Failure, ClearingDuringTheSleepStillMakesTheNextAttempt) {
    station.autoReconnect = 1;
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_NONET, -1);
    fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_CAST);
    std::this_thread::sleep_for(300ms);
    station.autoReconnect = 0;
    ASSERT_TRUE(eventually([] { return fake_bass::count("BASS_Encode_CastInit") == 1; }, 3s));
    ASSERT_TRUE(eventually([] { return !failureHandlingUnderWay(); }, 5s));
    EXPECT_EQ(fake_bass::count("BASS_Encode_CastInit"), 1u);
}

TEST_F(Failure, TheTogglePressedDuringAnAttemptWaitsForItThenEndsTheLoop) {
    station.autoReconnect = 1;
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_NONET, -1);
    std::promise<void> entered, release;
    auto released = release.get_future().share();
    std::atomic<bool> first{true};
    fake_bass::onCall("BASS_Encode_CastInit", [&](const fake_bass::Call&) {
        if (first.exchange(false)) {
            entered.set_value();
            released.wait();
        }
    });
    fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_CAST);
    ASSERT_EQ(entered.get_future().wait_for(3s), std::future_status::ready);

    auto press = std::async(std::launch::async, [] { return toggleConnection(&station, false); });
    EXPECT_EQ(press.wait_for(300ms), std::future_status::timeout);  // waits for the attempt
    release.set_value();
    ASSERT_EQ(press.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(press.get(), 1);

    // The press waited until the loop was over: no further attempt can come.
    EXPECT_FALSE(failureHandlingUnderWay());
    EXPECT_EQ(fake_bass::count("BASS_Encode_CastInit"), 1u);
    EXPECT_EQ(station.streaming, 0);
    EXPECT_EQ(desktop::text(statusLine), "offline...");
}

TEST_F(Failure, AConnectPressAfterASuccessfulAttemptDoesNotConnectTwice) {
    station.autoReconnect = 1;
    std::promise<void> entered, release;
    auto released = release.get_future().share();
    fake_bass::onCall("BASS_Encode_CastInit", [&](const fake_bass::Call&) {
        entered.set_value();
        released.wait();
    });
    fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_CAST);
    ASSERT_EQ(entered.get_future().wait_for(3s), std::future_status::ready);
    auto press = std::async(std::launch::async, [] { return toggleConnection(&station, true); });
    EXPECT_EQ(press.wait_for(200ms), std::future_status::timeout);
    release.set_value();
    ASSERT_EQ(press.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(press.get(), 1);
    fake_bass::onCall("BASS_Encode_CastInit", nullptr);
    EXPECT_EQ(fake_bass::count("BASS_Encode_CastInit"), 1u);
    EXPECT_EQ(station.streaming, 1);
}

TEST_F(Failure, ToggleWithoutALoopSimplyConnectsAndDisconnects) {
    // The toggle shows the outcome before the connection lock goes: a failure handler waiting
    // on it must find the toggle already down and reading "Disconnect".
    auto toggle = [] { return std::make_pair(desktop::checked(connectToggle), desktop::text(connectToggle)); };
    EXPECT_EQ(toggleConnection(&station, false), 1);
    EXPECT_EQ(station.streaming, 0);
    EXPECT_EQ(toggle(), std::make_pair(false, std::string("Connect")));
    fake_bass::fail("BASS_RecordInit", BASS_ERROR_DEVICE);
    desktop::setChecked(connectToggle, true);
    EXPECT_EQ(toggleConnection(&station, true), 0);
    EXPECT_EQ(boxTexts(), Names{"Can't Init the Recorddevice  Bass Error: 0x23"});
    EXPECT_EQ(toggle(), std::make_pair(false, std::string("Connect")));
    EXPECT_EQ(toggleConnection(&station, true), 1);
    EXPECT_EQ(station.streaming, 1);
    EXPECT_EQ(toggle(), std::make_pair(true, std::string("Disconnect")));
    EXPECT_EQ(toggleConnection(&station, false), 1);
    EXPECT_EQ(toggle(), std::make_pair(false, std::string("Connect")));
}

TEST_F(Failure, ShutdownEndsTheLoopDisconnectsAndReleasesTheDevice) {
    station.autoReconnect = 1;
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_NONET, -1);
    fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_CAST);
    ASSERT_TRUE(eventually([] { return fake_bass::count("BASS_RecordFree") == 1; }, 2s));  // in its sleep
    shutdownBroadcast(&station);
    EXPECT_FALSE(failureHandlingUnderWay());  // joined: no attempt can follow
    EXPECT_EQ(fake_bass::count("BASS_Encode_CastInit"), 0u);
    EXPECT_EQ(fake_bass::callNames().back(), "BASS_Free");
    EXPECT_EQ(fake_bass::count("BASS_RecordInit"), 0u);
}

TEST_F(Failure, ShutdownTakesARunningBroadcastOffTheAir) {
    shutdownBroadcast(&station);
    // First a connect under way anywhere is cancelled: nothing may hold Quit for the sound
    // server or a handshake. The device is closed last, which lets a later session open it.
    EXPECT_EQ(fake_bass::callNames(),
              (Names{"BASS_RecordCancel", "BASS_Encode_CastCancel", "BASS_ChannelStop", "BASS_ChannelStop",
                     "BASS_ChannelStop", "BASS_RecordSetInput", "BASS_RecordFree", "BASS_RecordFree", "BASS_Free"}));
    EXPECT_EQ(fake_bass::callsTo("BASS_Encode_CastCancel").at(0).ints.at(0), encoder);
    EXPECT_EQ(station.streaming, 0);
    fake_bass::clearCalls();
    initAudioDevice(1, &station);
    fake_bass::clearCalls();
    shutdownBroadcast(&station);  // off the air: only the device goes
    EXPECT_EQ(fake_bass::callNames(),
              (Names{"BASS_RecordCancel", "BASS_Encode_CastCancel", "BASS_RecordFree", "BASS_Free"}));
    // Connects work again after it, for a later Init.
    EXPECT_EQ(connectStream(&station), 1);
}

TEST_F(Failure, AReconnectLoopThatGivesUpPutsTheLevelBackAtOnce) {
    // The user clears "auto reconnect" during an attempt that then fails: the loop ends with the
    // station off, so the capture device is closed and the system's level put back then, not
    // only at Quit.
    station.autoReconnect = 1;
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_NONET, -1);
    fake_bass::onCall("BASS_Encode_CastInit", [](const fake_bass::Call&) { station.autoReconnect = 0; });
    fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_CAST);
    ASSERT_TRUE(eventually([] { return fake_bass::count("BASS_Encode_CastInit") == 1 && !failureHandlingUnderWay(); },
                           5s));
    EXPECT_EQ(fake_bass::inputLevel(), 1.0f);  // the system's level before the first connect
    EXPECT_EQ(station.streaming, 0);
    const Names names = fake_bass::callNames();
    const auto lastOf = [&](const std::string& name) {
        return std::find(names.rbegin(), names.rend(), name) - names.rbegin();  // calls since
    };
    EXPECT_LT(lastOf("BASS_RecordFree"), lastOf("BASS_RecordInit"));  // the attempt's device closed

    fake_bass::clearCalls();
    shutdownBroadcast(&station);
    EXPECT_EQ(fake_bass::inputLevel(), 1.0f);
    // Nothing left to put back.
    EXPECT_EQ(fake_bass::callNames(),
              (Names{"BASS_RecordCancel", "BASS_Encode_CastCancel", "BASS_RecordFree", "BASS_Free"}));
}

TEST_F(Failure, QuitDuringAReconnectAttemptLeavesReportsOn) {
    // Quit arrives while an attempt runs with reports off; a later session must report again.
    station.autoReconnect = 1;
    std::promise<void> entered, release;
    auto released = release.get_future().share();
    fake_bass::onCall("BASS_Encode_CastInit", [&](const fake_bass::Call&) {
        fake_bass::onCall("BASS_Encode_CastInit", nullptr);
        entered.set_value();
        released.wait();
    });
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_NONET);
    fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_CAST);
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
    ASSERT_EQ(showErrors, 0);
    auto quit = std::async(std::launch::async, [] { shutdownBroadcast(&station); });
    release.set_value();
    ASSERT_EQ(quit.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(showErrors, 1);
    EXPECT_TRUE(boxTexts().empty());
}

TEST_F(Failure, QuitCancelsAReconnectHandshakeInsteadOfWaitingForIt) {
    // The server accepts and says nothing: only a cancel ends the attempt's handshake.
    station.autoReconnect = 1;
    auto entered = std::make_shared<std::promise<void>>();
    auto cancel = std::make_shared<std::promise<void>>();
    std::shared_future<void> cancelled = cancel->get_future().share();
    fake_bass::onCall("BASS_Encode_CastCancel", [cancel](const fake_bass::Call&) {
        fake_bass::onCall("BASS_Encode_CastCancel", nullptr);
        cancel->set_value();
    });
    fake_bass::onCall("BASS_Encode_CastInit", [entered, cancelled](const fake_bass::Call&) {
        fake_bass::onCall("BASS_Encode_CastInit", nullptr);
        entered->set_value();
        cancelled.wait_for(20s);
    });
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_CAST_CANCEL);
    fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_CAST);
    ASSERT_EQ(entered->get_future().wait_for(5s), std::future_status::ready);
    const auto attempt = fake_bass::callsTo("BASS_Encode_CastInit").back().ints.at(0);
    auto quit = std::async(std::launch::async, [] { shutdownBroadcast(&station); });
    ASSERT_EQ(quit.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(cancelled.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(fake_bass::callsTo("BASS_Encode_CastCancel").at(0).ints.at(0), attempt);
    EXPECT_FALSE(failureHandlingUnderWay());
    EXPECT_EQ(fake_bass::count("BASS_Encode_CastInit"), 1u);  // no attempt after it
    EXPECT_TRUE(boxTexts().empty());
    EXPECT_EQ(showErrors, 1);
}

TEST_F(Failure, QuitClosesTheBoxOfAFailureHandler) {
    desktop::headless::holdBoxes(true);
    fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_ENCODER);
    ASSERT_TRUE(eventually([] { return desktop::headless::boxOpen(); }, 5s));
    auto quit = std::async(std::launch::async, [] { shutdownBroadcast(&station); });
    ASSERT_EQ(quit.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(desktop::headless::boxOpen());
    EXPECT_EQ(boxTexts(), Names{"The encoder died!  "});
}

}  // namespace

namespace {

TEST_F(Failure, ADeathReportedDuringShutdownShowsNoBox) {
    // The handler is held in its disconnect while Quit runs: its message must not hold Quit.
    std::promise<void> entered, release;
    auto released = release.get_future().share();
    fake_bass::onCall("BASS_RecordFree", [&](const fake_bass::Call&) {
        fake_bass::onCall("BASS_RecordFree", nullptr);
        entered.set_value();
        released.wait();
    });
    desktop::headless::holdBoxes(true);
    fake_bass::notify(encoder, BASS_ENCODE_NOTIFY_CAST);
    ASSERT_EQ(entered.get_future().wait_for(2s), std::future_status::ready);
    auto quit = std::async(std::launch::async, [] { shutdownBroadcast(&station); });
    std::this_thread::sleep_for(100ms);
    release.set_value();
    ASSERT_EQ(quit.wait_for(3s), std::future_status::ready);
    EXPECT_TRUE(boxTexts().empty());
    EXPECT_EQ(showErrors, 1);
}

}  // namespace

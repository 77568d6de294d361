// The window thread on the headless desktop: each handler through the real loop, the timers
// and the stop handshake with Quit.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <random>
#include <thread>

#include "broadcast/connection.h"
#include "desktop/desktop.h"
#include "desktop/headless.h"
#include "fake_bass.h"
#include "plugin/globals.h"
#include "settings/settings_file.h"
#include "test_station.h"
#include "ui/window_thread.h"

namespace {

namespace hl = desktop::headless;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_station::eventually;

TEST(ParseInteger, BasesSignsAndWrapping) {
    struct Case {
        const char* text;
        std::int32_t value;
    };
    for (Case c : {Case{"8000", 8000}, Case{"", 0}, Case{"abc", 0}, Case{"  \t-12", -12}, Case{"+7", 7},
                   Case{"12abc", 12}, Case{"$1F", 31}, Case{"$ff", 255}, Case{"-$10", -16}, Case{"$", 0},
                   Case{"$G", 0}, Case{"%101", 5}, Case{"%102", 2}, Case{"4294967295", -1}, Case{"4294967296", 0},
                   Case{"2147483648", INT32_MIN}, Case{"18446744073709551617", 1}, Case{"- 5", 0},
                   Case{" 0042", 42}}) {
        EXPECT_EQ(parseInteger(c.text), c.value) << '"' << c.text << '"';
    }
}

class WindowThread : public ::testing::Test {
protected:
    Larkspur record;
    std::future<int> thread;

    void SetUp() override {
        desktop::selectBackend("headless");
        hl::reset();
        desktop::resetLoop();
        fake_bass::reset();
        test_station::reset(record);
        showErrors = 1;
        stopRequested = 0;
        hostWindow = 0;
    }

    void TearDown() override {
        if (thread.valid()) {
            desktop::endLoop();
            thread.wait();
        }
        desktop::resetLoop();
        hl::holdBoxes(false);
        stopRequested = 0;
    }

    void start(Larkspur* on = nullptr) {
        Larkspur* r = on ? on : &record;
        thread = std::async(std::launch::async, [r] { return windowThreadProc(r); });
        ASSERT_TRUE(eventually([] { return hl::timerPeriod(1) != 0; }, 2s));
    }

    // Waits until the loop has taken a marker queued after everything so far: the passes
    // before it are done, and their writes to plain record fields are visible here.
    static void settle() {
        hl::post();
        ASSERT_TRUE(eventually([] { return hl::pendingEvents() == 0; }, 2s));
    }

    bool ended(std::chrono::milliseconds limit = 2s) {
        return thread.wait_for(limit) == std::future_status::ready;
    }
};

TEST_F(WindowThread, StartsTimersAndGreenStatus) {
    start();
    EXPECT_EQ(hl::timerPeriod(0), 2000);
    EXPECT_EQ(hl::timerPeriod(1), 500);
    EXPECT_EQ(desktop::textColor(30), 0x00FF00u);
    EXPECT_EQ(fake_bass::count("BASS_Init"), 1u);  // the output device, after the window
}

TEST_F(WindowThread, TextsAreCopiedAtEveryKeystroke) {
    start();
    for (const char* t : {"r", "ra", "rad", ""}) {
        hl::type(3, t);
        EXPECT_TRUE(eventually([&] { return textOf(record.server) == t; }, 1s)) << t;
    }
    const std::pair<int, TextField*> fields[] = {{5, &record.password}, {12, &record.stationName},
                                                 {13, &record.genre},   {15, &record.url},
                                                 {17, &record.description}, {41, &record.icq},
                                                 {42, &record.irc},     {46, &record.aim}};
    for (const auto& entry : fields) {
        const int control = entry.first;  // clang 14 cannot capture structured bindings
        TextField* const field = entry.second;
        hl::type(control, "  value " + std::to_string(control));
        EXPECT_TRUE(eventually([&] { return textOf(*field) == "  value " + std::to_string(control); }, 1s))
            << control;  // copied untrimmed
    }

    std::string longText(300, 'q');
    longText[254] = 'E';
    hl::type(3, longText);
    ASSERT_TRUE(eventually([&] { return textOf(record.server) == longText.substr(0, 255); }, 1s));  // under the text lock
    EXPECT_EQ(std::memcmp(record.server, longText.data(), 255), 0);  // 255 bytes, no terminator
    EXPECT_EQ(desktop::text(3), longText);                          // the control keeps it whole
}

TEST_F(WindowThread, PortParsing) {
    start();
    hl::type(4, "8000");
    settle();
    EXPECT_EQ(record.port, 8000);
    hl::type(4, "");
    settle();
    EXPECT_EQ(record.port, 0);
    // Pasted text can hold what the keyboard cannot.
    desktop::setText(4, "$1F90");
    handleControlEvent(&record, 4);
    EXPECT_EQ(record.port, 8080);
}

TEST_F(WindowThread, ListsAndCheckBoxes) {
    start();
    hl::choose(22, 2);
    EXPECT_TRUE(eventually([&] { return textOf(record.contentType) == "application/ogg"; }, 1s));
    hl::choose(22, 0);
    EXPECT_TRUE(eventually([&] { return textOf(record.contentType) == "audio/mpeg"; }, 1s));

    hl::choose(24, 1);
    settle();
    EXPECT_EQ(record.sampleRate, 22050);
    hl::choose(24, 0);
    settle();
    EXPECT_EQ(record.sampleRate, 44100);

    hl::choose(26, 13);
    settle();
    EXPECT_EQ(record.bitrate, 320);

    hl::choose(20, 0);
    settle();
    EXPECT_EQ(record.recordDevice, 0);
    desktop::select(20, -1);
    handleControlEvent(&record, 20);
    EXPECT_EQ(record.recordDevice, -1);
    desktop::select(26, -1);
    handleControlEvent(&record, 26);
    EXPECT_EQ(record.bitrate, 0);

    hl::click(11);
    settle();
    EXPECT_EQ(record.isPublic, 1);
    hl::click(11);
    settle();
    EXPECT_EQ(record.isPublic, 0);
    hl::click(40);
    EXPECT_TRUE(eventually([&] { return record.autoReconnect == 1; }, 1s));
    hl::click(40);
    EXPECT_TRUE(eventually([&] { return record.autoReconnect == 0; }, 1s));

    hl::click(28);
    EXPECT_TRUE(eventually([] { return hl::soundSettingsOpened() == 1; }, 1s));
}

TEST_F(WindowThread, ChoosingAFormatOffersItsBitratesAndKeepsTheNearest) {
    start();
    hl::choose(26, 13);
    settle();
    ASSERT_EQ(record.bitrate, 320);
    hl::choose(22, 3);
    settle();  // the whole handler, not only its first store
    ASSERT_EQ(textOf(record.contentType), "audio/ogg; codecs=opus");
    EXPECT_EQ(record.bitrate, 256);  // the nearest Opus offers
    EXPECT_EQ(desktop::itemText(26, desktop::selected(26)), "256");
    hl::choose(26, 0);
    settle();
    ASSERT_EQ(record.bitrate, 16);

    hl::choose(22, 4);
    settle();
    ASSERT_EQ(textOf(record.contentType), "audio/ogg; codecs=flac");
    EXPECT_EQ(desktop::itemText(26, 0), "lossless");
    EXPECT_FALSE(desktop::enabled(26));
    handleControlEvent(&record, 26);  // "lossless" is no bitrate
    EXPECT_EQ(record.bitrate, 16);

    hl::choose(22, 0);
    settle();
    ASSERT_EQ(textOf(record.contentType), "audio/mpeg");
    EXPECT_EQ(record.bitrate, 32);  // the nearest MP3 offers
    EXPECT_EQ(desktop::itemCount(26), 14);
    EXPECT_TRUE(desktop::enabled(26));
    EXPECT_TRUE(hl::boxes().empty());
}

TEST_F(WindowThread, AacIsRefusedAndMp3Restored) {
    start();
    hl::choose(22, 2);
    ASSERT_TRUE(eventually([&] { return textOf(record.contentType) == "application/ogg"; }, 1s));
    hl::choose(22, 1);
    ASSERT_TRUE(eventually([] { return hl::boxes().size() == 1; }, 1s));
    auto box = hl::boxes().front();
    EXPECT_EQ(box.title, "Larkspur");
    EXPECT_EQ(box.text, "Sorry, AAC isn't supported jet!. Maybe next release.\r\nThe Format was set to MP3");
    EXPECT_TRUE(eventually([&] { return textOf(record.contentType) == "audio/mpeg"; }, 1s));
    EXPECT_EQ(desktop::selected(22), 0);
}

TEST_F(WindowThread, ConnectToggle) {
    start();
    // No server: the connection refuses, the toggle stands up again.
    hl::click(31);
    ASSERT_TRUE(eventually([] { return !hl::boxes().empty(); }, 2s));
    EXPECT_TRUE(eventually([] { return !desktop::checked(31) && desktop::text(31) == "Connect"; }, 2s));
    EXPECT_EQ(record.streaming, 0);

    test_station::configure(record);
    hl::click(31);
    ASSERT_TRUE(eventually([] { return desktop::text(31) == "Disconnect"; }, 2s));
    EXPECT_TRUE(desktop::checked(31));
    EXPECT_EQ(record.streaming, 1);

    hl::click(31);
    EXPECT_TRUE(eventually([&] { return desktop::text(31) == "Connect" && record.streaming == 0; }, 2s));
    EXPECT_FALSE(desktop::checked(31));
}

TEST_F(WindowThread, LevelsHoldAndSpeakGoThroughTheLoop) {
    start();
    record.streaming = 1;
    record.volumeFx = 9;
    hl::drag(35, 25);
    settle();
    EXPECT_EQ(record.hostVolumeSpeaking, 25);
    hl::click(39);
    ASSERT_TRUE(eventually([&] { return record.speakHold == 1; }, 1s));
    EXPECT_EQ(record.speaking, 1);
    EXPECT_FALSE(desktop::enabled(38));
    hl::click(39);
    ASSERT_TRUE(eventually([&] { return record.speakHold == 0; }, 1s));
    EXPECT_EQ(record.speaking, 0);

    // Speak has no handler: the poll on the next pass does the work, whatever the message.
    hl::pointer(38, true);
    hl::post();
    EXPECT_TRUE(eventually([&] { return record.speaking == 1; }, 1s));
    hl::pointer(38, false);
    hl::click(38);
    EXPECT_TRUE(eventually([&] { return record.speaking == 0; }, 1s));
}

// The reconnect loop's attempt is in a handshake with a server that says nothing: Speak pressed
// meanwhile must not hold the window, and the presenter speaks once the station is back.
TEST_F(WindowThread, SpeakDuringAReconnectHandshakeKeepsTheWindowTicking) {
    test_station::reset(station);  // the failure handler works on the process's station
    test_station::configure(station);
    station.hostVolume = 80;
    station.hostVolumeSpeaking = 20;
    station.deviceVolumeSpeaking = 90;
    start(&station);
    hl::click(31);
    ASSERT_TRUE(eventually([] { return station.streaming == 1; }, 2s));

    station.autoReconnect = 1;
    auto entered = std::make_shared<std::promise<void>>();
    auto answer = std::make_shared<std::promise<void>>();
    std::shared_future<void> answered = answer->get_future().share();
    fake_bass::onCall("BASS_Encode_CastInit", [entered, answered](const fake_bass::Call&) {
        fake_bass::onCall("BASS_Encode_CastInit", nullptr);
        entered->set_value();
        answered.wait_for(20s);
    });
    fake_bass::notify(fake_bass::lastEncoder(), BASS_ENCODE_NOTIFY_CAST);
    ASSERT_EQ(entered->get_future().wait_for(5s), std::future_status::ready);

    fake_bass::clearCalls();
    hl::pointer(38, true);
    for (int tick = 0; tick < 3; ++tick) {
        desktop::setText(30, "");
        hl::fireTimer(1);
        settle();  // a window that waited for the attempt would take no event until it ends
        EXPECT_EQ(desktop::text(30), "reconnecting... #1: server connection lost");
    }
    EXPECT_EQ(station.speaking, 0);
    EXPECT_EQ(fake_bass::count("BASS_FXSetParameters"), 0u);

    answer->set_value();  // the server answers: back on the air, and speaking at once
    ASSERT_TRUE(eventually([] { return station.streaming == 1 && station.speaking == 1; }, 5s));
    EXPECT_FLOAT_EQ(fake_bass::callsTo("BASS_FXSetParameters").back().volume, 0.2f);
    EXPECT_FLOAT_EQ(fake_bass::callsTo("BASS_RecordSetInput").back().volume, 0.9f);
    hl::pointer(38, false);
    // A release that finds the reconnect thread still finishing under the lock is kept for the
    // next window pass: the window's own timer makes those passes, here each post does.
    EXPECT_TRUE(eventually([] {
        hl::post();
        return station.speaking == 0;
    }, 2s));
    EXPECT_FLOAT_EQ(fake_bass::callsTo("BASS_RecordSetInput").back().volume, 0.0f);

    station.autoReconnect = 0;
    shutdownBroadcast(&station);
}

// Connect reaching the window while a reconnect attempt waits for a server that says nothing
// (a press queued before the toggle went down): the attempt is cancelled, not waited for, and
// the user's own connect runs at once.
TEST_F(WindowThread, ConnectDuringAReconnectHandshakeConnectsAtOnce) {
    test_station::reset(station);
    test_station::configure(station);
    start(&station);
    hl::click(31);
    ASSERT_TRUE(eventually([] { return station.streaming == 1; }, 2s));

    station.autoReconnect = 1;
    auto cancelled = std::make_shared<std::promise<void>>();
    std::shared_future<void> cancel = cancelled->get_future().share();
    auto entered = std::make_shared<std::promise<void>>();
    fake_bass::onCall("BASS_Encode_CastCancel", [cancelled](const fake_bass::Call&) {
        fake_bass::onCall("BASS_Encode_CastCancel", nullptr);
        cancelled->set_value();
    });
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_CAST_CANCEL);  // what a cancelled handshake returns
    fake_bass::onCall("BASS_Encode_CastInit", [entered, cancel](const fake_bass::Call&) {
        fake_bass::onCall("BASS_Encode_CastInit", nullptr);
        entered->set_value();
        cancel.wait_for(20s);  // a silent server: the whole deadline unless cancelled
    });
    fake_bass::notify(fake_bass::lastEncoder(), BASS_ENCODE_NOTIFY_CAST);
    ASSERT_EQ(entered->get_future().wait_for(5s), std::future_status::ready);
    const HENCODE attempt = fake_bass::lastEncoder();

    desktop::setChecked(31, false);
    hl::click(31);  // the toggle goes down: Connect
    settle();
    EXPECT_EQ(cancel.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(fake_bass::callsTo("BASS_Encode_CastCancel").back().ints.at(0), attempt);
    EXPECT_EQ(station.streaming, 1);
    EXPECT_NE(fake_bass::lastEncoder(), attempt);  // the user's connect, with an encoder of its own
    EXPECT_EQ(desktop::text(31), "Disconnect");
    EXPECT_FALSE(failureHandlingUnderWay());
    EXPECT_EQ(desktop::text(30), noDataStatus);
    EXPECT_TRUE(hl::boxes().empty());

    station.autoReconnect = 0;
    shutdownBroadcast(&station);
}

TEST_F(WindowThread, TimersRunTitleAndStatus) {
    start();
    hostWindow = 0x5a5a;
    hl::setWindowTitle(0x5a5a, "3. Artist - Song - Winamp");
    hl::fireTimer(1);
    EXPECT_TRUE(eventually([] { return desktop::text(30) == "offline!" && desktop::textColor(30) == 0xFF0000u; }, 1s));
    hl::fireTimer(0);
    settle();
    EXPECT_EQ(fake_bass::count("BASS_Encode_CastSetTitle"), 0u);  // off the air

    test_station::configure(record);
    hl::click(31);
    ASSERT_TRUE(eventually([&] { return record.streaming == 1; }, 2s));
    hl::fireTimer(0);
    ASSERT_TRUE(eventually([] { return fake_bass::count("BASS_Encode_CastSetTitle") == 1; }, 2s));
    EXPECT_EQ(fake_bass::callsTo("BASS_Encode_CastSetTitle")[0].texts.at(0), "Artist - Song");
    fake_bass::seconds(75.0);
    hl::fireTimer(1);
    EXPECT_TRUE(eventually([] {
        return desktop::text(30) == "online! | streaming since: 1:15" && desktop::textColor(30) == 0x00FF00u;
    }, 2s));
}

// The file is written where the host runs: a folder of this test's own.
class SettingsTimer : public WindowThread {
protected:
    void SetUp() override {
        WindowThread::SetUp();
        previous_ = fs::current_path();
        folder_ = fs::temp_directory_path() / ("larkspur-autosave-" + std::to_string(std::random_device{}()));
        ASSERT_TRUE(fs::create_directory(folder_));
        fs::current_path(folder_);
    }
    void TearDown() override {
        WindowThread::TearDown();
        fs::current_path(previous_);
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

    static void tick() {
        hl::fireTimer(settingsTimer);
        settle();
    }
    static std::vector<std::uint8_t> saved() {
        std::ifstream in(settingsFileName, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path previous_, folder_;
};

TEST_F(SettingsTimer, AChangeInTheWindowIsInTheFileAtTheNextTickWithoutQuit) {
    start();
    EXPECT_EQ(hl::timerPeriod(settingsTimer), settingsTimerPeriodMs);
    tick();
    EXPECT_FALSE(fs::exists(settingsFileName));  // nothing changed yet

    hl::type(3, "radio.example.org");
    tick();
    const auto bytes = saved();
    ASSERT_EQ(bytes.size(), settingsFileSize);
    EXPECT_EQ(bytes, encodeSettings(record));  // the layout Quit writes
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), 18), std::string("radio.example.org\0", 18));

    // An unchanged record is not written again.
    fs::remove(settingsFileName);
    tick();
    EXPECT_FALSE(fs::exists(settingsFileName));

    // A write that fails is tried again at the next tick.
    ASSERT_TRUE(fs::create_directory(settingsFileName));
    hl::drag(33, 55);
    tick();
    EXPECT_TRUE(fs::is_directory(settingsFileName));
    fs::remove(settingsFileName);
    tick();
    ASSERT_EQ(saved().size(), settingsFileSize);
    EXPECT_EQ(saved()[1795], 55);  // hostVolume, little-endian
}

TEST_F(WindowThread, StopWhileIdleIsAcknowledged) {
    start();
    stopRequested = 1;
    hl::fireTimer(1);  // the status timer makes the next pass
    ASSERT_TRUE(ended());
    EXPECT_EQ(thread.get(), 0);
    EXPECT_EQ(stopRequested, 0);
    EXPECT_FALSE(desktop::windowExists(1));
}

TEST_F(WindowThread, StopWhileABoxIsOpenWaitsForTheForcedEnd) {
    start();
    hl::holdBoxes(true);
    hl::choose(22, 1);
    ASSERT_TRUE(eventually([] { return hl::boxOpen(); }, 1s));
    stopRequested = 1;
    hl::fireTimer(1);
    EXPECT_FALSE(ended(300ms));
    EXPECT_EQ(stopRequested, 1);  // not acknowledged while the box holds the loop
    desktop::endLoop();
    ASSERT_TRUE(ended());
    EXPECT_FALSE(hl::boxOpen());
    EXPECT_EQ(thread.get(), 0);
}

TEST_F(WindowThread, NoWindowWaitsForTheForcedEnd) {
    hl::failWindows(true);
    thread = std::async(std::launch::async, [this] { return windowThreadProc(&record); });
    stopRequested = 1;
    EXPECT_FALSE(ended(300ms));
    desktop::endLoop();
    EXPECT_TRUE(ended());
}

}  // namespace

// The station log: what the connection code writes there, and the bound on its size.
#include "broadcast/station_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_graph.h"
#include "broadcast/connection.h"
#include "broadcast/title_status.h"
#include "fake_bass.h"
#include "test_station.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// Each test in a folder of its own: the log lands in the working folder, beside the settings.
class StationLog : public ::testing::Test {
protected:
    static Lines lines(const std::string& file = stationLogFileName) { return test_station::OwnFolder::lines(file); }
    // The events without their times, each line checked for its stamp.
    static Lines events() {
        for (const std::string& line : lines()) {
            EXPECT_GE(line.size(), 20u);
            EXPECT_EQ(line[4], '-');
            EXPECT_EQ(line[13], ':');
            EXPECT_EQ(line[19], ' ');
        }
        return test_station::OwnFolder::events();
    }

    test_station::OwnFolder folder_;
};

TEST_F(StationLog, ALineIsItsTimeAndOneEventWhateverTheTextHolds) {
    std::tm when{};
    when.tm_year = 126;
    when.tm_mon = 11;
    when.tm_mday = 9;
    when.tm_hour = 7;
    when.tm_min = 5;
    when.tm_sec = 3;
#if defined(_WIN32)
    const std::string eol = "\r\n";
#else
    const std::string eol = "\n";
#endif
    EXPECT_EQ(stationLogLine(when, "title: A\r\nfake line"), "2026-12-09 07:05:03 title: Afake line" + eol);
}

// Connect, a refused connect, the server lost and found again by reconnection, a title, the end.
TEST_F(StationLog, TheConnectionCodeLogsEachEventWithItsReason) {
    test_station::prepare(station);
    initAudioDevice(1, &station);
    hostWindow = 0x77;
    desktop::headless::setWindowTitle(0x77, "1. Nina Simone - Feeling Good - Winamp");

    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_CAST_DENIED);
    showErrors = 0;  // the box is not what this test is about
    EXPECT_EQ(toggleConnection(&station, true), 0);
    showErrors = 1;
    ASSERT_EQ(toggleConnection(&station, true), 1);
    updateTitle(&station);

    station.autoReconnect = 1;
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_NONET);  // the first attempt fails
    ASSERT_TRUE(fake_bass::notify(fake_bass::lastEncoder(), BASS_ENCODE_NOTIFY_CAST));
    ASSERT_TRUE(test_station::eventually([] { return station.streaming == 1 && !failureHandlingUnderWay(); }, 6s));
    toggleConnection(&station, false);
    shutdownBroadcast(&station);

    // Each failure once, in words, with what its box says (or would say while reconnecting).
    EXPECT_EQ(events(), (Lines{"connecting to 127.0.0.1:8000",
                               "failure: wrong password - Couldn't setup connection with server  Bass Error: 0x2100",
                               "connecting to 127.0.0.1:8000", "on the air at 127.0.0.1:8000",
                               "title: Nina Simone - Feeling Good",
                               "failure: server connection lost - The server connection died!",
                               "reconnect attempt 1",
                               "failure: name not found - Couldn't setup connection with server  Bass Error: 0x32",
                               "reconnect attempt 2", "on the air at 127.0.0.1:8000", "disconnected"}));
}

TEST_F(StationLog, StaysWithinItsBoundAndKeepsThePreviousFileWholeAcrossThreads) {
    const std::string title(100, 't');
    const int perThread = static_cast<int>(stationLogMaxBytes / 125 / 2) + 50;  // past one rotation
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < perThread; ++i) logTitle(std::to_string(w) + title);
        });
    for (auto& t : writers) t.join();

    const std::string previous = std::string(stationLogFileName) + ".1";
    ASSERT_TRUE(fs::exists(previous));
    EXPECT_LE(fs::file_size(stationLogFileName), stationLogMaxBytes);
    EXPECT_LE(fs::file_size(previous), stationLogMaxBytes);
    EXPECT_GT(fs::file_size(previous), stationLogMaxBytes - 200);  // full up to the last whole line
    std::size_t count = 0;
    for (const std::string& file : {std::string(stationLogFileName), previous})
        for (const std::string& line : lines(file)) {
            ++count;
            ASSERT_EQ(line.size(), 20u + 7 + 1 + title.size()) << "a line broken by another";
        }
    EXPECT_GT(count, stationLogMaxBytes / 128);
    std::vector<fs::path> entries(fs::directory_iterator(fs::current_path()), {});
    EXPECT_EQ(entries.size(), 2u);  // no third file
}

}  // namespace

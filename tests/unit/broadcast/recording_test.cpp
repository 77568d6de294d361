// The recording beside the broadcast, on a simulated clock: its files' names, the splits on
// the clock and the title logs, and a recording that fails while the station stays on the air.
#include "broadcast/recording.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "broadcast/connection.h"
#include "fake_bass.h"
#include "test_station.h"

namespace {

namespace fs = std::filesystem;

std::time_t localAt(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Recording : public ::testing::Test {
protected:
    void SetUp() override {
        test_station::prepare(station);
        folder_ = fs::temp_directory_path() / ("larkspur rec " + std::to_string(std::random_device{}()));
        ASSERT_TRUE(fs::create_directory(folder_));
        clock_ = localAt(2026, 12, 9, 20, 59, 58);
        setRecordingClock([this] { return clock_.load(); });
        recordTitle("");  // a title from an earlier suite would open the first log
    }
    void TearDown() override {
        shutdownBroadcast(&station);
        setRecordingClock({});
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    void record(int split, const std::string& format = "mp3") {
        TextSettings text;
        text.recording.enabled = true;
        text.recording.folder = folder_.string();
        text.recording.format = format;
        text.recording.bitrate = 96;
        text.recording.split = split;
        storeTextSettings(station, text);
    }
    fs::path folder_;
    std::atomic<std::time_t> clock_{0};
};

}  // namespace

TEST(RecordingClock, SplitsFallOnTheClockFromMidnight) {
    const std::time_t t = localAt(2026, 12, 9, 20, 59, 58);
    EXPECT_EQ(nextSplitAfter(t, 60), localAt(2026, 12, 9, 21, 0, 0));
    EXPECT_EQ(nextSplitAfter(t, 15), localAt(2026, 12, 9, 21, 0, 0));
    EXPECT_EQ(nextSplitAfter(localAt(2026, 12, 9, 21, 0, 0), 60), localAt(2026, 12, 9, 22, 0, 0));
    EXPECT_EQ(nextSplitAfter(localAt(2026, 12, 9, 21, 7, 0), 15), localAt(2026, 12, 9, 21, 15, 0));
    // 7 does not divide the day: the last piece is shorter and the next day starts at midnight.
    EXPECT_EQ(nextSplitAfter(localAt(2026, 12, 9, 23, 56, 0), 7), localAt(2026, 12, 10, 0, 0, 0));
    EXPECT_EQ(nextSplitAfter(localAt(2026, 12, 10, 0, 0, 0), 7), localAt(2026, 12, 10, 0, 7, 0));
    EXPECT_EQ(nextSplitAfter(t, 1440), localAt(2026, 12, 10, 0, 0, 0));
    EXPECT_EQ(nextSplitAfter(t, 0), 0);
    std::tm start{};
    start.tm_year = 126, start.tm_mon = 11, start.tm_mday = 9, start.tm_hour = 7, start.tm_min = 5, start.tm_sec = 3;
    EXPECT_EQ(recordingBaseName(start), "Larkspur_2026-12-09_07-05-03");
}

TEST_F(Recording, FilesCarryTheirStartNeverReplaceOneAndSplitOnTheHourWithTheirTitles) {
    record(60, "vorbis");
    // Someone's file of the name the recording would take.
    std::ofstream(folder_ / "Larkspur_2026-12-09_20-59-58.ogg") << "keep me";
    ASSERT_EQ(connectStream(&station), 1);
    auto starts = fake_bass::callsTo("BASS_Encode_StartFile");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].ints, (std::vector<std::int64_t>{station.mixer, BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE}));
    EXPECT_NE(starts[0].texts[0].find("oggenc\" -r -R 44100 -b 96 -m 96 -"), std::string::npos) << starts[0].texts[0];
    const fs::path first = folder_ / "Larkspur_2026-12-09_20-59-58_2.ogg";
    EXPECT_EQ(starts[0].texts[1], first.string());
    EXPECT_EQ(contents(folder_ / "Larkspur_2026-12-09_20-59-58.ogg"), "keep me");
    const HENCODE firstEncoder = static_cast<HENCODE>(starts[0].result);
    EXPECT_EQ(recordingState().file, first.string());
    EXPECT_TRUE(recordingState().on);

    recordTitle("Artist - One");
    clock_ = localAt(2026, 12, 9, 20, 59, 59);
    recordingTick();
    EXPECT_EQ(fake_bass::count("BASS_Encode_SplitFile"), 0u);
    // A tick late: the new file is still named for the hour.
    clock_ = localAt(2026, 12, 9, 21, 0, 1);
    recordingTick();
    recordingTick();
    auto splits = fake_bass::callsTo("BASS_Encode_SplitFile");
    ASSERT_EQ(splits.size(), 1u);
    EXPECT_EQ(splits[0].ints[0], firstEncoder);
    const fs::path second = folder_ / "Larkspur_2026-12-09_21-00-00.ogg";
    EXPECT_EQ(splits[0].texts[0], second.string());
    recordTitle("Artist - Two");
    // One line a title, in the log of the file it started in.
    const std::string firstLog = contents(folder_ / "Larkspur_2026-12-09_20-59-58_2.txt");
    EXPECT_EQ(firstLog.substr(0, firstLog.find_first_of("\r\n")), "2026-12-09 20:59:58 Artist - One");
    EXPECT_EQ(firstLog.find("Two"), std::string::npos);
    // The title playing at the split opens the new log, at the split's time.
    const std::string secondLog = contents(folder_ / "Larkspur_2026-12-09_21-00-00.txt");
    EXPECT_EQ(secondLog.substr(0, secondLog.find_first_of("\r\n")), "2026-12-09 21:00:00 Artist - One");
    EXPECT_NE(secondLog.find("2026-12-09 21:00:01 Artist - Two"), std::string::npos) << secondLog;

    // The next file's notices are ours; the old one's handle is gone.
    const HENCODE secondEncoder = static_cast<HENCODE>(splits[0].result);
    EXPECT_EQ(fake_bass::callsTo("BASS_Encode_SetNotify").back().ints[0], secondEncoder);
    ASSERT_TRUE(fake_bass::notify(secondEncoder, BASS_ENCODE_NOTIFY_FILE));
    EXPECT_FALSE(recordingState().on);
    EXPECT_NE(recordingState().failure.find("could not be written"), std::string::npos);
    EXPECT_EQ(station.streaming, 1);  // the broadcast goes on
    clock_ = localAt(2026, 12, 9, 22, 0, 0);
    recordingTick();  // nothing left to split
    EXPECT_EQ(fake_bass::count("BASS_Encode_SplitFile"), 1u);
    EXPECT_EQ(fake_bass::count("BASS_ChannelStop"), 0u);
}

TEST_F(Recording, OneFilePerConnectionWithoutSplitAndAFailedStartLeavesTheStationOnTheAir) {
    record(0);
    ASSERT_EQ(connectStream(&station), 1);
    clock_ = localAt(2026, 12, 10, 9, 0, 0);
    recordingTick();
    EXPECT_EQ(fake_bass::count("BASS_Encode_SplitFile"), 0u);
    EXPECT_EQ(fake_bass::callsTo("BASS_Encode_StartFile")[0].texts[1],
              (folder_ / "Larkspur_2026-12-09_20-59-58.mp3").string());
    disconnectStream(&station);
    EXPECT_FALSE(recordingState().on);
    EXPECT_EQ(recordingState().failure, "");

    // The next connection gets a file of its own; a folder that is not there fails it alone.
    ASSERT_EQ(connectStream(&station), 1);
    EXPECT_EQ(fake_bass::callsTo("BASS_Encode_StartFile")[1].texts[1],
              (folder_ / "Larkspur_2026-12-10_09-00-00.mp3").string());
    disconnectStream(&station);
    fake_bass::fail("BASS_Encode_StartFile", BASS_ERROR_FILEOPEN);
    ASSERT_EQ(connectStream(&station), 1);
    EXPECT_FALSE(recordingState().on);
    EXPECT_NE(recordingState().failure.find("could not start"), std::string::npos) << recordingState().failure;
    EXPECT_TRUE(desktop::headless::boxes().empty());
}

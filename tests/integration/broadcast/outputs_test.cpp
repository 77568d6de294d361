// Several servers and a recording from the one mix, on real Icecasts, the real engine and the
// real encoders: each mount carries the programme, the station's texts and the title; one
// server going away leaves the others and the recording as they were.
#include <signal.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "../../support/ogg_links.h"
#include "../../support/raw_samples.h"
#include "audio/talk_over.h"
#include "broadcast/connection.h"
#include "broadcast/outputs.h"
#include "broadcast/recording.h"
#include "broadcast/title_status.h"
#include "desktop/headless.h"
#include "faults.h"
#include "on_air.h"
#include "plugin/globals.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using on_air::eventually;

const auto* services = ::testing::AddGlobalTestEnvironment(new on_air::Services);

class Outputs : public on_air::Station {
protected:
    void SetUp() override {
        on_air::Station::SetUp();
        folder_ = fs::temp_directory_path() / ("larkspur outputs " + std::to_string(std::random_device{}()));
        ASSERT_TRUE(fs::create_directory(folder_));
        fixtures::IcecastOptions options;
        options.mounts = {"/live", "/two", "/three"};
        ice.stop();
        ASSERT_TRUE(ice.start(options)) << ice.error();
        configure();
        station.hostVolume = 100;
        station.hostVolumeSpeaking = 100;
        station.deviceVolumeSpeaking = 100;
        ASSERT_TRUE(on_air::Services::sound().feedTone(1000, 60));
    }
    void TearDown() override {
        on_air::Station::TearDown();
        on_air::Services::sound().stopTone();
        storeTextSettings(station, TextSettings{});
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    // Output 2 an Icecast 2 mount in MP3, output 3 one in Ogg Vorbis (on `third`'s port when
    // given), the recording in MP3, one file per connection.
    void addOutputs(const fixtures::Icecast* third = nullptr) {
        TextSettings text;
        text.output(2) = {true, "127.0.0.1/two", ice.port(), ice.sourcePassword(), "mp3", 128};
        const fixtures::Icecast& t = third ? *third : ice;
        text.output(3) = {true, "127.0.0.1/three", t.port(), t.sourcePassword(), "vorbis", 96};
        text.recording = {true, folder_.string(), "mp3", 128, 0};
        storeTextSettings(station, text);
    }
    // On the air with reconnection, output 3 on `other`, outputs 2 and 3 up.
    void connectWithThirdOn(const fixtures::Icecast& other) {
        addOutputs(&other);
        station.autoReconnect = 1;
        ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
        ASSERT_TRUE(eventually([] { return outputState(3).phase == OutputPhase::onAir; }, 15s))
            << outputState(3).failure;
        ASSERT_TRUE(eventually([] { return outputState(2).phase == OutputPhase::onAir; }, 15s));
    }
    fs::path recordingFile() const { return recordingState().file; }
    // What a listener of that mount receives in `seconds`.
    std::vector<std::uint8_t> received(const std::string& mount, int seconds) const {
        const fs::path file = folder_ / "received";
        fixtures::run("curl -s --max-time " + std::to_string(seconds) + " -o '" + file.string() +
                      "' http://127.0.0.1:" + std::to_string(ice.port()) + mount);
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::uintmax_t sizeOf(const fs::path& file) const {
        std::error_code ec;
        const auto size = fs::file_size(file, ec);
        return ec ? 0 : size;
    }
    fs::path folder_;
};

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST_F(Outputs, EveryMountAndTheRecordingCarryTheProgrammeTheStationAndTheTitle) {
    addOutputs();
    ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
    setSpeaking(&station, 1);  // the tone is the microphone's
    ASSERT_TRUE(eventually([] { return outputState(2).phase == OutputPhase::onAir; }, 15s)) << outputState(2).failure;
    ASSERT_TRUE(eventually([] { return outputState(3).phase == OutputPhase::onAir; }, 15s)) << outputState(3).failure;
    EXPECT_TRUE(recordingState().on) << recordingState().failure;

    // Icecast shows a title sent by URL for MP3 mounts only (an Ogg stream's titles are its own).
    const struct {
        const char* mount;
        const char* type;
        bool titled;
    } mounts[] = {{"/live", "audio/mpeg", true}, {"/two", "audio/mpeg", true}, {"/three", "application/ogg", false}};
    for (const auto& m : mounts) {
        SCOPED_TRACE(m.mount);
        EXPECT_EQ(ice.waitMountField(m.mount, "server_type", m.type), m.type) << ice.statusJson();
        EXPECT_EQ(ice.mountField(m.mount, "server_name"), "Larkspur FM");
        EXPECT_EQ(ice.mountField(m.mount, "genre"), "Jazz");
    }
    hostWindow = 0x1234;
    desktop::headless::setWindowTitle(0x1234, "7. Chet Baker - Almost Blue - Winamp");
    updateTitle(&station);
    for (const auto& m : mounts) {
        SCOPED_TRACE(m.mount);
        if (m.titled) {
            EXPECT_EQ(ice.waitMountField(m.mount, "title", "Chet Baker - Almost Blue", 15000),
                      "Chet Baker - Almost Blue");
        }
        const auto heard = fixtures::listen(ice.port(), 3, m.mount);
        ASSERT_TRUE(heard.ok) << heard.error;
        EXPECT_NEAR(heard.dominantHz, 1000, 5);
        EXPECT_GT(heard.rms, 0.1);
    }

    const fs::path file = recordingFile();
    toggleConnection(&station, false);
    EXPECT_EQ(outputState(2).phase, OutputPhase::off);
    EXPECT_TRUE(on_air::noEncoderLeft());
    // The recording is complete and decodes to the same programme; its log names the title.
    std::string decoded;
    ASSERT_EQ(fixtures::run("ffmpeg -v error -i '" + file.string() + "' -ac 1 -ar 44100 -f s16le - | wc -c", &decoded),
              0);
    EXPECT_GT(std::stod(decoded) / 2 / 44100, 9.0);  // the three listens alone took that long
    const std::string pcm = (folder_ / "decoded.raw").string();
    ASSERT_EQ(fixtures::run("ffmpeg -v error -i '" + file.string() + "' -ss 2 -t 3 -ac 1 -ar 44100 -f s16le '" + pcm +
                            "'"),
              0);
    const auto samples = rawSamplesOf(pcm);
    EXPECT_NEAR(fixtures::dominantFrequency(samples.data(), samples.size(), 44100), 1000, 5);
    fs::path log = file;
    log.replace_extension(".txt");
    EXPECT_NE(contents(log).find(" Chet Baker - Almost Blue"), std::string::npos) << contents(log);
}

TEST_F(Outputs, AServerGoneLeavesTheOthersAndTheRecordingGoingAndItsOutputComesBack) {
    fixtures::Icecast other;
    fixtures::IcecastOptions options;
    options.mounts = {"/three"};
    ASSERT_TRUE(other.start(options)) << other.error();
    ASSERT_NO_FATAL_FAILURE(connectWithThirdOn(other));
    const HENCODE first = station.encoder;

    faults::Revivable revivable(other);
    revivable.kill();
    ASSERT_TRUE(eventually([] { return outputState(3).phase == OutputPhase::reconnecting; }, 15s));
    EXPECT_FALSE(outputState(3).failure.empty());
    // The others never noticed: the same encoder on output 1, bytes still coming on /two and
    // into the recording.
    const auto recorded = sizeOf(recordingFile());
    const auto heard = fixtures::listen(ice.port(), 2, "/two");
    ASSERT_TRUE(heard.ok) << heard.error;
    EXPECT_TRUE(eventually([&] { return sizeOf(recordingFile()) > recorded; }, 5s));
    EXPECT_EQ(station.encoder, first);
    EXPECT_EQ(station.streaming, 1);
    EXPECT_EQ(outputState(2).phase, OutputPhase::onAir);
    EXPECT_TRUE(recordingState().on);

    ASSERT_TRUE(revivable.revive());
    EXPECT_TRUE(eventually([] { return outputState(3).phase == OutputPhase::onAir; }, 20s)) << outputState(3).failure;
    EXPECT_EQ(other.waitMountField("/three", "server_type", "application/ogg", 15000), "application/ogg");
    toggleConnection(&station, false);
    revivable.stopRevived();
}

// A stopped Icecast accepts and takes data into its socket buffers, but reads nothing.
TEST_F(Outputs, AServerThatNeverReadsIsLeftWithinTheLivenessBoundAndNobodyElseWaits) {
    fixtures::Icecast other;
    fixtures::IcecastOptions options;
    options.mounts = {"/three"};
    ASSERT_TRUE(other.start(options)) << other.error();
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{other.pid()};
    ASSERT_NO_FATAL_FAILURE(connectWithThirdOn(other));
    const HENCODE first = station.encoder;
    ASSERT_EQ(::kill(other.pid(), SIGSTOP), 0);
    const auto recorded = sizeOf(recordingFile());
    // Ten seconds without progress is a dead connection; a few more for the kernel's buffers.
    ASSERT_TRUE(eventually([] { return outputState(3).phase == OutputPhase::reconnecting; }, 25s));
    EXPECT_EQ(outputState(3).failure, "The server connection died!");
    const auto heard = fixtures::listen(ice.port(), 2, "/two");
    ASSERT_TRUE(heard.ok) << heard.error;
    EXPECT_GT(sizeOf(recordingFile()), recorded);
    EXPECT_EQ(station.encoder, first);
    EXPECT_EQ(outputState(1).phase, OutputPhase::onAir);
    EXPECT_EQ(outputState(2).phase, OutputPhase::onAir);
    EXPECT_TRUE(recordingState().on);
    toggleConnection(&station, false);
    ::kill(other.pid(), SIGCONT);
}

// Opus and FLAC outputs run their own encoders, and a title starts a new link in each stream;
// a recording in FLAC keeps one stream per file and its titles in the log.
TEST_F(Outputs, OpusAndFlacOutputsCarryTheTitleInTheirStreamsAndTheRecordingInItsLog) {
    TextSettings text;
    text.output(2) = {true, "127.0.0.1/two", ice.port(), ice.sourcePassword(), "opus", 64};
    text.output(3) = {true, "127.0.0.1/three", ice.port(), ice.sourcePassword(), "flac", 128};
    text.recording = {true, folder_.string(), "flac", 128, 0};
    storeTextSettings(station, text);
    ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
    setSpeaking(&station, 1);
    ASSERT_TRUE(eventually([] { return outputState(2).phase == OutputPhase::onAir; }, 15s)) << outputState(2).failure;
    ASSERT_TRUE(eventually([] { return outputState(3).phase == OutputPhase::onAir; }, 15s)) << outputState(3).failure;
    ASSERT_TRUE(recordingState().on) << recordingState().failure;
    EXPECT_EQ(fs::path(recordingFile()).extension(), ".flac");
    EXPECT_EQ(ice.waitMountField("/two", "server_type", "audio/ogg"), "audio/ogg") << ice.statusJson();
    EXPECT_EQ(ice.waitMountField("/three", "server_type", "audio/ogg"), "audio/ogg") << ice.statusJson();
    EXPECT_EQ(ice.mountField("/two", "bitrate"), "64");
    EXPECT_EQ(ice.mountField("/three", "bitrate"), "");  // lossless: nothing announced

    hostWindow = 0x1234;
    desktop::headless::setWindowTitle(0x1234, "7. Chet Baker - Almost Blue - Winamp");
    updateTitle(&station);
    for (const char* mount : {"/two", "/three"}) {
        SCOPED_TRACE(mount);
        // A listener who comes in once the new link is on the server starts with its headers.
        ogg_links::Parsed heard;
        EXPECT_TRUE(eventually(
            [&] {
                heard = ogg_links::parse(received(mount, 1));
                return !heard.links.empty() && heard.links.front().tag("ARTIST") == "Chet Baker";
            },
            15s));
        ASSERT_FALSE(heard.links.empty());
        EXPECT_TRUE(heard.wellFormed);
        EXPECT_EQ(heard.links.front().tag("TITLE"), "Almost Blue");
    }

    const fs::path file = recordingFile();
    toggleConnection(&station, false);
    EXPECT_TRUE(on_air::noEncoderLeft());
    std::ifstream in(file, std::ios::binary);
    const auto recorded = ogg_links::parse({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
    EXPECT_TRUE(recorded.wellFormed);
    ASSERT_EQ(recorded.links.size(), 1u);
    EXPECT_TRUE(recorded.links[0].ended);
    EXPECT_EQ(recorded.links[0].tag("TITLE"), "<none>");
    fs::path log = file;
    log.replace_extension(".txt");
    EXPECT_NE(contents(log).find(" Chet Baker - Almost Blue"), std::string::npos) << contents(log);
}

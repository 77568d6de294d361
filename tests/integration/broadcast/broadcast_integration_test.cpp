#include <cmath>
#include <cstdio>
#include <thread>

#include "audio/audio_graph.h"
#include "audio/capture_devices.h"
#include "audio/levels.h"
#include "audio/talk_over.h"
#include "broadcast/connection.h"
#include "broadcast/title_status.h"
#include "desktop/desktop.h"
#include "desktop/headless.h"
#include "faults.h"
#include "on_air.h"
#include "plugin/globals.h"

namespace {

using namespace std::chrono_literals;
using on_air::eventually;
using on_air::noEncoderLeft;
using Clock = std::chrono::steady_clock;

const auto* services = ::testing::AddGlobalTestEnvironment(new on_air::Services);

class Broadcast : public on_air::Station {
protected:
    // A value of the /live source in Icecast's admin statistics (status-json leaves some out).
    std::string adminStat(const std::string& key) {
        std::string xml;
        fixtures::run("curl -s -u admin:" + ice.adminPassword() + " http://127.0.0.1:" + std::to_string(ice.port()) +
                          "/admin/stats",
                      &xml);
        const auto mount = xml.find("<source mount=\"/live\">");
        const auto open = xml.find("<" + key + ">", mount == std::string::npos ? 0 : mount);
        if (mount == std::string::npos || open == std::string::npos) return {};
        const auto from = open + key.size() + 2;
        return xml.substr(from, xml.find('<', from) - from);
    }
};

TEST_F(Broadcast, ConnectPutsTheStationOnTheAirWithItsMetadata) {
    for (const std::string type : {"audio/mpeg", "application/ogg"}) {
        SCOPED_TRACE(type);
        configure(type);
        const bool listed = type == "audio/mpeg";
        station.isPublic = listed;
        ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
        EXPECT_EQ(station.streaming, 1);
        EXPECT_EQ(desktop::text(statusLine), "online... but no data.. please play sound..");
        EXPECT_EQ(ice.waitSourceField("server_type", type), type) << ice.statusJson();
        EXPECT_EQ(ice.sourceField("server_name"), "Larkspur FM");
        EXPECT_EQ(ice.sourceField("genre"), "Jazz");
        EXPECT_EQ(ice.sourceField("server_url"), "http://larkspur.example/");
        EXPECT_EQ(ice.sourceField("server_description"), "Late night standards");
        EXPECT_EQ(ice.sourceField("bitrate"), "128");
        EXPECT_EQ(adminStat("public"), listed ? "1" : "0");
        EXPECT_EQ(on_air::encoderChildren().size(), 1u);

        toggleConnection(&station, false);
        EXPECT_TRUE(sourceGone());
        EXPECT_TRUE(noEncoderLeft());
        EXPECT_EQ(desktop::text(statusLine), "offline...");
        EXPECT_TRUE(boxTexts().empty());
    }
}

TEST_F(Broadcast, LineBreaksInStationTextsStartNoHeaderLine) {
    configure();
    storeText(station.stationName, "Larkspur FM\r\nicy-genre: Injected");
    storeText(station.description, "Late\r\n night");
    ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
    EXPECT_EQ(ice.waitSourceField("server_name"), "Larkspur FMicy-genre: Injected");
    EXPECT_EQ(ice.sourceField("genre"), "Jazz");
    EXPECT_EQ(ice.sourceField("server_description"), "Late night");
}

// Accents, other scripts and typographic dashes, through the plug-in to a stock Icecast (no
// <charset> on the mount) as SHOUTcast v1 and as Icecast 2 source, read back from its status
// byte for byte. An MP3 stream's texts are Latin-1 there, so only what Latin-1 lacks is lost
// (a dash becomes '-'); an Ogg stream's texts are UTF-8 and arrive whole.
TEST_F(Broadcast, TitlesAndStationTextsArriveAsWritten) {
    const std::string name = "\xC3\x86r\xC3\xB8 FM \xE2\x80\x94 \xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 Radio";
    const std::string genre = "Chanson \xC2\xB7 \xE6\x9D\xB1\xE4\xBA\xAC \xC2\xB7 Fran\xC3\xA7" "aise";
    const std::string description =
        "D\xC3\xA9j\xC3\xA0 vu \xE2\x80\x93 \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, Stra\xC3\x9F" "e";
    const std::string title = "Beyonc\xC3\xA9 & Sigur R\xC3\xB3s - D\xC3\xA9j\xC3\xA0 vu \xE2\x80\x93 \xC3\x86r\xC3\xB8 "
                              "Stra\xC3\x9F" "e \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xE6\x9D\xB1\xE4\xBA\xAC!";
    struct Shown {
        std::string name, genre, description, title;
    };
    const Shown inLatin1{"\xC3\x86r\xC3\xB8 FM -  Radio", "Chanson \xC2\xB7  \xC2\xB7 Fran\xC3\xA7" "aise",
                         "D\xC3\xA9j\xC3\xA0 vu - , Stra\xC3\x9F" "e",
                         "Beyonc\xC3\xA9 & Sigur R\xC3\xB3s - D\xC3\xA9j\xC3\xA0 vu - \xC3\x86r\xC3\xB8 Stra\xC3\x9F" "e  !"};
    const Shown whole{name, genre, description, title};
    hostWindow = 0x1234;
    desktop::headless::setWindowTitle(0x1234, "7. " + title + " - Winamp");
    for (const char* server : {"127.0.0.1", "127.0.0.1/live"}) {
        for (const std::string type : {"audio/mpeg", "application/ogg"}) {
            SCOPED_TRACE(std::string(server) + " " + type);
            configure(type);
            storeText(station.server, server);
            storeText(station.stationName, name);
            storeText(station.genre, genre);
            storeText(station.description, description);
            station.lastTitle.clear();
            ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
            const Shown& want = type == "audio/mpeg" ? inLatin1 : whole;
            EXPECT_EQ(ice.waitSourceField("server_type", type), type) << ice.statusJson();
            EXPECT_EQ(ice.sourceField("server_name"), want.name);
            EXPECT_EQ(ice.sourceField("genre"), want.genre);
            EXPECT_EQ(ice.sourceField("server_description"), want.description);
            // Icecast takes an Ogg stream's title only once it has read the stream's first pages.
            if (type != "audio/mpeg") {
                EXPECT_EQ(ice.waitSourceField("subtype", "Vorbis"), "Vorbis") << ice.statusJson();
            }
            updateTitle(&station);
            EXPECT_EQ(ice.waitSourceField("title", want.title, 15000), want.title);
            toggleConnection(&station, false);
            EXPECT_TRUE(sourceGone());
        }
    }
}

TEST_F(Broadcast, UnconfiguredServerIsReportedAndLeavesNothingRunning) {
    for (int which = 0; which < 2; ++which) {
        configure();
        if (which)
            station.port = 0;
        else
            storeText(station.server, "");
        openWindow();
        EXPECT_EQ(toggleConnection(&station, true), 0);
        EXPECT_EQ(boxTexts(), std::vector<std::string>{"Server or Port isn't configurated!  "});
        toggleConnection(&station, false);
        EXPECT_TRUE(noEncoderLeft());
        EXPECT_EQ(station.recordChannel, 0u);
        EXPECT_EQ(station.hostStream, 0u);
    }
}

TEST_F(Broadcast, WrongPasswordFailsTheConnectPromptly) {
    configure();
    storeText(station.password, "not-the-password");
    const auto start = Clock::now();
    EXPECT_EQ(toggleConnection(&station, true), 0);
    EXPECT_LT(Clock::now() - start, 15s);
    auto boxes = boxTexts();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Couldn't setup connection with server  Bass Error: 0x2100");
    updateStatus(&station);
    EXPECT_EQ(desktop::text(statusLine), "offline! wrong password");
    // The same refusal from Icecast's own source protocol, and a port where nothing listens.
    storeText(station.server, "127.0.0.1/live");
    EXPECT_EQ(toggleConnection(&station, true), 0);
    updateStatus(&station);
    EXPECT_EQ(desktop::text(statusLine), "offline! wrong password");
    storeText(station.server, "127.0.0.1");
    station.port = fixtures::freePort();  // and port + 1, the SHOUTcast source port, free too
    EXPECT_EQ(toggleConnection(&station, true), 0);
    updateStatus(&station);
    EXPECT_EQ(desktop::text(statusLine), "offline! connection refused");
    toggleConnection(&station, false);
    EXPECT_TRUE(noEncoderLeft());
    EXPECT_TRUE(ice.sourceField("server_type").empty());
}

// The meters read the real engine: music pushed as the sample tap does, the microphone closed
// until Speak.
TEST_F(Broadcast, AToneAtMinusSixShowsOnTheMusicAndTheAirAndSilenceShowsTheFloor) {
    fixtures::SoundServer& sound = on_air::Services::sound();
    ASSERT_TRUE(sound.feedTone(1000, 30));
    configure();
    station.hostVolume = 100;
    station.deviceVolumeSpeaking = 100;
    ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
    std::vector<std::int16_t> block(441 * 2);
    for (std::size_t i = 0; i < 441; ++i)
        block[2 * i] = block[2 * i + 1] = std::int16_t(std::lround(16384 * std::sin(2 * M_PI * 1000 * double(i) / 44100)));
    StationLevels levels;
    const auto pushedAndRead = [&] {
        BASS_StreamPutData(station.hostStream, block.data(), DWORD(block.size() * 2));
        std::this_thread::sleep_for(10ms);
        levels = readStationLevels(station, 0.1f);
        return levels.music > -6.5 && levels.air > -6.5;
    };
    ASSERT_TRUE(eventually(pushedAndRead, 10s)) << levels.music << " " << levels.air;
    EXPECT_NEAR(levels.music, -6.0, 0.3);
    EXPECT_NEAR(levels.air, -6.0, 0.3);
    EXPECT_EQ(levels.microphone, desktop::meterFloorDb);  // closed until Speak

    // The player stops: the floor, while the presenter's microphone stays closed.
    ASSERT_TRUE(eventually([&] {
        levels = readStationLevels(station, 0.1f);
        return levels.music == desktop::meterFloorDb && levels.air == desktop::meterFloorDb;
    }, 5s)) << levels.music << " " << levels.air;
    setSpeaking(&station, 1);
    EXPECT_TRUE(eventually([&] { return readStationLevels(station, 0.1f).microphone > -30.0; }, 5s));
    toggleConnection(&station, false);
    sound.stopTone();
}

// Most Icecast servers open no SHOUTcast port: the server field names the mount instead.
TEST_F(Broadcast, ServerFieldWithAMountReachesIcecastWithoutAShoutcastPort) {
    fixtures::IcecastOptions options;
    options.shoutcastPort = false;
    ASSERT_TRUE(ice.start(options)) << ice.error();
    configure("application/ogg");
    const std::pair<const char*, int> refused[] = {
        {"127.0.0.1", BASS_ERROR_FILEOPEN},  // the old form: nobody at port + 1
        {"ftp://127.0.0.1/live", BASS_ERROR_CAST_ADDRESS},
        {"http://127.0.0.1/", BASS_ERROR_CAST_ADDRESS},
    };
    for (const auto& [field, code] : refused) {
        storeText(station.server, field);
        EXPECT_EQ(toggleConnection(&station, true), 0) << field;
        EXPECT_EQ(boxTexts().back(), "Couldn't setup connection with server  Bass Error: 0x" + std::to_string(code));
        toggleConnection(&station, false);
    }
    for (const char* field : {"127.0.0.1/live", "http://source@127.0.0.1/live"}) {
        SCOPED_TRACE(field);
        storeText(station.server, field);
        const auto boxes = boxTexts().size();
        ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
        EXPECT_EQ(ice.waitSourceField("server_type", "application/ogg"), "application/ogg") << ice.statusJson();
        EXPECT_EQ(ice.sourceField("server_name"), "Larkspur FM");
        EXPECT_EQ(ice.sourceField("server_description"), "Late night standards");
        toggleConnection(&station, false);
        EXPECT_TRUE(sourceGone());
        EXPECT_EQ(boxTexts().size(), boxes);
    }
}

TEST_F(Broadcast, TitleReachesTheServerAtTheNextTick) {
    configure();
    ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
    ASSERT_FALSE(ice.waitSourceField("server_type").empty());
    hostWindow = 0x1234;
    desktop::headless::setWindowTitle(0x1234, "7. Chet Baker - Almost Blue - Winamp");
    // No other tick comes in this test: the title is sent by this one or never.
    updateTitle(&station);
    const auto sent = Clock::now();
    EXPECT_EQ(ice.waitSourceField("title", "Chet Baker - Almost Blue", 15000), "Chet Baker - Almost Blue");
    std::printf("title on the server after %lld ms (the timer's period is %d ms)\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count()),
                titleTimerPeriodMs);
}

TEST_F(Broadcast, TheMicrophoneIsOffTheAirUntilSpeakAndKeepsTheSystemsLevel) {
    fixtures::SoundServer& sound = on_air::Services::sound();
    // The capture device of a station that never chose one is the sound server's default source.
    std::string source;
    fixtures::run("pactl get-default-source", &source);
    source = source.substr(0, source.find('\n'));
    ASSERT_FALSE(source.empty());
    auto level = [&] {
        std::string out;
        fixtures::run("pactl get-source-volume " + source, &out);
        return out;
    };
    ASSERT_EQ(fixtures::run("pactl set-source-volume " + source + " 52429"), 0);  // the system's level: 80 %
    ASSERT_TRUE(sound.feedTone(1000, 30));
    configure();
    station.hostVolume = 100;
    station.hostVolumeSpeaking = 100;
    station.deviceVolumeSpeaking = 100;
    ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
    ASSERT_FALSE(ice.waitSourceField("server_type").empty());

    const auto before = fixtures::listen(ice.port(), 3);
    ASSERT_TRUE(before.ok) << before.error;
    EXPECT_LT(before.rms, 0.00056) << "the microphone is on the air before Speak";  // -65 dBFS
    setSpeaking(&station, 1);
    const auto speaking = fixtures::listen(ice.port(), 3);
    ASSERT_TRUE(speaking.ok) << speaking.error;
    EXPECT_NEAR(speaking.dominantHz, 1000, 5);
    EXPECT_GT(speaking.rms, 0.1);

    toggleConnection(&station, false);
    EXPECT_NE(level().find(": 52429 /"), std::string::npos) << level();
    sound.stopTone();
    fixtures::run("pactl set-source-volume " + source + " 100%");
}

// The test sound server lists the microphone feed's monitor first and has the test microphone
// as its default, as a desktop lists its speakers' monitor before the microphone.
TEST_F(Broadcast, ANewStationRecordsFromTheMicrophoneAndAnInputPluggedInAheadDoesNotMoveIt) {
    const auto openSource = [] {  // the stable name of the device the station records from
        BASS_DEVICEINFO info{};
        for (DWORD n = 0; BASS_RecordGetDeviceInfo(n, &info); ++n)
            if (info.flags & BASS_DEVICE_INIT) return std::string(info.driver);
        return std::string();
    };
    const auto numberOf = [](const std::string& name) {
        BASS_DEVICEINFO info{};
        for (DWORD n = 0; BASS_RecordGetDeviceInfo(n, &info); ++n)
            if (name == info.driver) return static_cast<int>(n);
        return -1;
    };
    BASS_DEVICEINFO first{};
    ASSERT_TRUE(BASS_RecordGetDeviceInfo(0, &first));
    ASSERT_TRUE(first.flags & BASS_DEVICE_LOOPBACK) << first.driver << " is listed first";

    configure();
    storeTextSettings(station, TextSettings{});  // a new station: nothing chosen
    desktop::ControlSpec list;
    list.number = 20;
    list.kind = desktop::ControlKind::DropList;
    desktop::createControl(1, list);
    fillCaptureDeviceList(20);
    const int shown = shownCaptureDevice(station);
    EXPECT_EQ(shown, 0);
    EXPECT_EQ(desktop::itemText(20, shown), "Test_Mic");
    EXPECT_EQ(desktop::itemText(20, desktop::itemCount(20) - 1).rfind("Monitor of ", 0), 0u);
    ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
    EXPECT_EQ(openSource(), "mic");
    toggleConnection(&station, false);

    chooseCaptureDevice(station, shown);  // the presenter confirms it
    const int numberBefore = station.recordDevice;
    EXPECT_EQ(numberBefore, numberOf("mic"));
    // Another input plugged in ahead of it (the microphone unplugged and back after it), and
    // made the system's default.
    struct Replugged {
        ~Replugged() {
            fixtures::run("pactl unload-module module-remap-source; pactl load-module module-remap-source "
                          "master=micfeed.monitor source_name=mic source_properties=device.description=Test_Mic; "
                          "pactl set-default-source mic");
        }
    } restore;
    ASSERT_EQ(fixtures::run("pactl unload-module module-remap-source && "
                            "pactl load-module module-remap-source master=micfeed.monitor source_name=usbmic "
                            "source_properties=device.description=USB_Mic && "
                            "pactl load-module module-remap-source master=micfeed.monitor source_name=mic "
                            "source_properties=device.description=Test_Mic && pactl set-default-source usbmic"),
              0);
    ASSERT_GT(numberOf("mic"), numberOf("usbmic"));
    ASSERT_NE(numberOf("mic"), numberBefore);
    ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
    EXPECT_EQ(openSource(), "mic");
    toggleConnection(&station, false);
}

// Icecast killed under a live source, then started again on the same ports.
class ServerDeath : public Broadcast {
protected:
    void TearDown() override {
        revivable.stopRevived();
        Broadcast::TearDown();
    }
    faults::Revivable revivable{ice};
};

TEST_F(ServerDeath, WithoutReconnectionTheUserIsTold) {
    configure();
    ASSERT_EQ(toggleConnection(&station, true), 1);
    ASSERT_FALSE(ice.waitSourceField("server_type").empty());
    revivable.kill();
    ASSERT_TRUE(eventually([&] { return !desktop::headless::boxes().empty(); }, 10s));
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"The server connection died!  "});
    EXPECT_EQ(station.streaming, 0);
    EXPECT_EQ(desktop::text(connectToggle), "Connect");
    EXPECT_TRUE(noEncoderLeft());
}

TEST_F(ServerDeath, WithReconnectionTheStationIsBackSoonAfterTheServer) {
    configure();
    station.autoReconnect = 1;
    ASSERT_EQ(toggleConnection(&station, true), 1);
    ASSERT_FALSE(ice.waitSourceField("server_type").empty());
    revivable.kill();
    ASSERT_TRUE(eventually([] { return station.streaming == 0; }, 10s));
    // An attempt against no server has begun, and fails.
    ASSERT_TRUE(eventually([] { return desktop::text(statusLine).rfind("reconnecting... #", 0) == 0; }, 10s));
    EXPECT_EQ(station.streaming, 0);
    ASSERT_TRUE(revivable.revive());
    const auto back = Clock::now();
    // Attempts come once a second; the figure is printed, not asserted (a loaded machine).
    EXPECT_EQ(ice.waitSourceField("server_type", "audio/mpeg", 15000), "audio/mpeg");
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - back).count();
    RecordProperty("back_on_air_ms", static_cast<int>(ms));
    std::printf("back on the air %lld ms after the server\n", static_cast<long long>(ms));
    ASSERT_TRUE(eventually([] { return desktop::text(connectToggle) == "Disconnect"; }, 3s));
    EXPECT_TRUE(desktop::checked(connectToggle));
    EXPECT_EQ(ice.sourceField("server_name"), "Larkspur FM");
    EXPECT_TRUE(boxTexts().empty());
    EXPECT_EQ(on_air::encoderChildren().size(), 1u);  // the failed attempts left none behind
}

}  // namespace

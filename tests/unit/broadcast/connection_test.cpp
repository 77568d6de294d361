#include "broadcast/connection.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "audio/talk_over.h"
#include "fake_bass.h"
#include "test_station.h"

namespace {

using Names = std::vector<std::string>;

const std::string encoderMessage =
    "Couldn't start encoding...\r\n Make sure OGGENC.EXE (if encoding to OGG) is in \\Plugins\\Larkspur\\ \r\n, or "
    "LAME.EXE (if encoding to MP3).";

class Connection : public ::testing::Test {
protected:
    void SetUp() override {
        test_station::prepare(station);
    }
    void TearDown() override {
        shutdownBroadcast(&station);
        showErrors = 1;
    }

    static std::vector<std::string> boxTexts() {
        std::vector<std::string> texts;
        for (const auto& box : desktop::headless::boxes()) texts.push_back(box.text);
        return texts;
    }
};

TEST_F(Connection, ConnectBuildsTheGraphStartsTheEncoderAndGoesOnTheAir) {
    storeText(station.url, "http://larkspur.example");
    storeText(station.genre, "Jazz");
    storeText(station.description, "Late night");
    station.isPublic = 1;
    station.recordDevice = 2;
    ASSERT_EQ(connectStream(&station), 1);

    EXPECT_EQ(fake_bass::callNames(),
              (Names{"BASS_RecordInit", "BASS_RecordGetInput", "BASS_FX_GetVersion", "BASS_RecordStart",
                     "BASS_StreamCreate", "BASS_ChannelSetFX", "BASS_FXSetParameters", "BASS_RecordSetInput",
                     "BASS_Mixer_StreamCreate", "BASS_ChannelPlay",
                     "BASS_Mixer_StreamAddChannel", "BASS_Mixer_StreamAddChannel", "BASS_Encode_Start",
                     "BASS_Encode_CastInit", "BASS_ChannelSetAttribute", "BASS_ChannelPlay", "BASS_ChannelPlay",
                     "BASS_Encode_SetNotify"}));
    EXPECT_EQ(fake_bass::callsTo("BASS_RecordInit")[0].ints[0], 2);

    auto start = fake_bass::callsTo("BASS_Encode_Start")[0];
    EXPECT_EQ(start.ints, (std::vector<std::int64_t>{station.mixer, 0x40001}));
    EXPECT_EQ(start.texts[0], encoderCommandLine(station, hostFolder()));
    EXPECT_EQ(station.encoder, start.result);

    auto cast = fake_bass::callsTo("BASS_Encode_CastInit")[0];
    EXPECT_EQ(cast.texts, (Names{"127.0.0.1:8000", "hackme", "audio/mpeg", "Larkspur FM",
                                 "http://larkspur.example", "Jazz", "Late night", ""}));
    EXPECT_NE(cast.args.find("\"Late night\", null, 128, 1"), std::string::npos) << cast.args;
    EXPECT_EQ(cast.ints[0], station.encoder);

    auto volume = fake_bass::callsTo("BASS_ChannelSetAttribute")[0];
    EXPECT_EQ(volume.ints, (std::vector<std::int64_t>{station.mixer, BASS_ATTRIB_VOL}));
    EXPECT_EQ(volume.volume, 0.0f);
    auto plays = fake_bass::callsTo("BASS_ChannelPlay");
    EXPECT_EQ(plays[1].ints, (std::vector<std::int64_t>{station.mixer, 0}));
    EXPECT_EQ(plays[2].ints, (std::vector<std::int64_t>{station.recordChannel, 0}));
    EXPECT_EQ(fake_bass::callsTo("BASS_Encode_SetNotify")[0].ints[0], station.encoder);

    EXPECT_EQ(station.streaming, 1);
    EXPECT_EQ(desktop::text(statusLine), "online... but no data.. please play sound..");
    EXPECT_TRUE(boxTexts().empty());
}

TEST_F(Connection, EachConnectFailureReportsAndDropsOnlyWhatItShould) {
    struct Case {
        const char* call;
        int skip;  // successful calls to it before the failing one
        std::string message;
        bool dropsCapture;
    } cases[] = {
        {"BASS_RecordInit", 0, "Can't Init the Recorddevice", false},
        {"BASS_RecordStart", 0, "Couldn't start recording", false},
        {"BASS_Mixer_StreamCreate", 0, "Couldn't create Mixer", false},
        {"BASS_Encode_Start", 0, encoderMessage, true},
        {"BASS_Encode_CastInit", 0, "Couldn't setup connection with server", true},
        {"BASS_ChannelSetAttribute", 0, "Error in mounting Mixer Channel!", true},
        {"BASS_ChannelPlay", 1, "Error in playing Mixer Channel!", true},
        {"BASS_ChannelPlay", 2, "Error in playing record Channel!", true},
        {"BASS_Encode_SetNotify", 0, "Error while setting Notify Callback!", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        SetUp();
        int seen = 0;
        const int skip = c.skip;
        const std::string name = c.call;
        if (skip)
            fake_bass::onCall(name, [&seen, skip, name](const fake_bass::Call&) {
                if (++seen == skip) fake_bass::fail(name, BASS_ERROR_TIMEOUT);
            });
        else
            fake_bass::fail(name, BASS_ERROR_TIMEOUT);

        EXPECT_EQ(connectStream(&station), 0);
        EXPECT_EQ(boxTexts(), Names{c.message + "  Bass Error: 0x40"});
        EXPECT_EQ(station.streaming, 0);
        EXPECT_EQ(fake_bass::count("BASS_RecordFree"), 0u);  // the caller's disconnect does that
        const auto stops = fake_bass::callsTo("BASS_ChannelStop");
        if (c.dropsCapture) {
            ASSERT_EQ(stops.size(), 1u);
            EXPECT_NE(stops[0].ints[0], 0);
            EXPECT_EQ(station.recordChannel, 0u);
        } else {
            EXPECT_TRUE(stops.empty());
        }
        EXPECT_NE(desktop::text(statusLine), "online... but no data.. please play sound..");
        fake_bass::onCall(name, nullptr);
    }
}

TEST_F(Connection, MissingServerOrPortIsFoundOnlyAfterTheEncoderStarted) {
    for (int which = 0; which < 2; ++which) {
        SetUp();
        if (which)
            station.port = 0;
        else
            storeText(station.server, "");
        EXPECT_EQ(connectStream(&station), 0);
        EXPECT_EQ(boxTexts(), Names{"Server or Port isn't configurated!  "});
        EXPECT_EQ(fake_bass::count("BASS_Encode_Start"), 1u);
        EXPECT_EQ(fake_bass::count("BASS_Encode_CastInit"), 0u);
        EXPECT_EQ(fake_bass::count("BASS_ChannelStop"), 0u);

        // The caller's disconnect ends everything and stands the toggle up.
        desktop::setChecked(connectToggle, true);
        fake_bass::clearCalls();
        disconnectStream(&station);
        EXPECT_EQ(fake_bass::count("BASS_ChannelStop"), 3u);
        EXPECT_EQ(fake_bass::count("BASS_RecordFree"), 1u);
        EXPECT_FALSE(desktop::checked(connectToggle));
        EXPECT_EQ(desktop::text(connectToggle), "Connect");
    }
}

TEST_F(Connection, FailuresStaySilentWhileErrorsAreOff) {
    showErrors = 0;
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_CAST_DENIED);
    EXPECT_EQ(connectStream(&station), 0);
    EXPECT_TRUE(boxTexts().empty());
    EXPECT_EQ(station.recordChannel, 0u);
}

TEST_F(Connection, StartEncoderWithoutRecordSaysSo) {
    EXPECT_EQ(startEncoder(nullptr), 0);
    EXPECT_EQ(connectStream(nullptr), 0);
    EXPECT_EQ(boxTexts(), Names(2, "Can't find Larkspur Structure!  "));
    EXPECT_TRUE(fake_bass::calls().empty());
}

TEST_F(Connection, DisconnectAlwaysRunsItsWholeSequence) {
    ASSERT_EQ(connectStream(&station), 1);
    station.speaking = 1;
    const auto channel = station.recordChannel.load(), mixer = station.mixer.load(),
               stream = station.hostStream.load(), encoder = station.encoder.load();
    desktop::setChecked(connectToggle, true);
    desktop::setText(connectToggle, "Disconnect");
    for (int round = 0; round < 2; ++round) {  // the second time nothing is connected
        fake_bass::clearCalls();
        disconnectStream(&station);
        auto calls = fake_bass::calls();
        // The system's input level goes back once, after the stops and before the device closes.
        Names expected{"BASS_ChannelStop", "BASS_ChannelStop", "BASS_ChannelStop", "BASS_RecordFree"};
        if (round == 0) expected.insert(expected.begin() + 3, "BASS_RecordSetInput");
        ASSERT_EQ(fake_bass::callNames(), expected);
        if (round == 0) {
            EXPECT_EQ(calls[0].ints[0], channel);
            EXPECT_EQ(calls[1].ints[0], mixer);
            EXPECT_EQ(calls[2].ints[0], stream);
        }
        EXPECT_EQ(station.recordChannel, 0u);
        EXPECT_EQ(station.mixer, 0u);
        EXPECT_EQ(station.hostStream, 0u);
        EXPECT_EQ(station.streaming, 0);
        EXPECT_EQ(station.speaking, 0);
        EXPECT_EQ(station.encoder, encoder);  // kept; nothing uses it while off the air
        EXPECT_EQ(desktop::text(statusLine), "offline...");
        EXPECT_FALSE(desktop::checked(connectToggle));
        EXPECT_EQ(desktop::text(connectToggle), "Connect");
    }
    fake_bass::clearCalls();
    disconnectStream(nullptr);
    EXPECT_TRUE(fake_bass::calls().empty());
}

TEST_F(Connection, WorksWithoutTheWindow) {
    desktop::headless::reset();
    ASSERT_EQ(connectStream(&station), 1);
    disconnectStream(&station);
    EXPECT_EQ(station.streaming, 0);
}

std::size_t indexOf(const Names& names, const std::string& name) {
    return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

TEST_F(Connection, TheMicrophoneIsClosedFromConnectUntilSpeakAndTheSystemLevelComesBack) {
    fake_bass::setInputLevel(0.6f);  // the level the system had before the station
    station.hostVolume = 70;
    station.hostVolumeSpeaking = 20;
    station.deviceVolumeSpeaking = 90;
    ASSERT_EQ(connectStream(&station), 1);

    // Noted as soon as the device is open; muted before the capture channel runs.
    const Names names = fake_bass::callNames();
    EXPECT_EQ(indexOf(names, "BASS_RecordGetInput"), 1u);
    EXPECT_LT(indexOf(names, "BASS_RecordSetInput"), indexOf(names, "BASS_ChannelPlay"));
    const auto music = fake_bass::callsTo("BASS_FXSetParameters");
    ASSERT_EQ(music.size(), 1u);
    EXPECT_EQ(music[0].ints.at(0), station.volumeFx);
    EXPECT_FLOAT_EQ(music[0].volume, 0.7f);
    const auto input = fake_bass::callsTo("BASS_RecordSetInput");
    ASSERT_EQ(input.size(), 1u);
    EXPECT_EQ(input[0].ints, (std::vector<std::int64_t>{-1, BASS_INPUT_ON}));
    EXPECT_EQ(input[0].volume, 0.0f);
    EXPECT_EQ(station.speaking, 0);

    setSpeaking(&station, 1);
    EXPECT_FLOAT_EQ(fake_bass::inputLevel(), 0.9f);

    // A second connect without a disconnect between must not take our own level for the system's.
    ASSERT_EQ(connectStream(&station), 1);
    EXPECT_EQ(fake_bass::inputLevel(), 0.0f);

    fake_bass::clearCalls();
    disconnectStream(&station);
    const auto restored = fake_bass::callsTo("BASS_RecordSetInput");
    ASSERT_EQ(restored.size(), 1u);
    EXPECT_EQ(restored[0].ints, (std::vector<std::int64_t>{-1, 0}));
    EXPECT_FLOAT_EQ(fake_bass::inputLevel(), 0.6f);

    // Restored once; the next session notes the level afresh.
    fake_bass::clearCalls();
    disconnectStream(&station);
    EXPECT_EQ(fake_bass::count("BASS_RecordSetInput"), 0u);
    fake_bass::setInputLevel(0.4f);
    ASSERT_EQ(connectStream(&station), 1);
    disconnectStream(&station);
    EXPECT_FLOAT_EQ(fake_bass::inputLevel(), 0.4f);
}

TEST_F(Connection, FailedConnectsLeaveTheSystemLevelAsTheyFoundIt) {
    // Past the device: muted at once, and the caller's disconnect puts the level back.
    fake_bass::setInputLevel(0.6f);
    fake_bass::fail("BASS_Encode_CastInit", BASS_ERROR_CAST_DENIED);
    EXPECT_EQ(connectStream(&station), 0);
    EXPECT_EQ(fake_bass::inputLevel(), 0.0f);
    disconnectStream(&station);
    EXPECT_FLOAT_EQ(fake_bass::inputLevel(), 0.6f);

    // No device: nothing noted, nothing set.
    fake_bass::clearCalls();
    fake_bass::fail("BASS_RecordInit", BASS_ERROR_DEVICE);
    EXPECT_EQ(connectStream(&station), 0);
    disconnectStream(&station);
    EXPECT_EQ(fake_bass::count("BASS_RecordGetInput"), 0u);
    EXPECT_EQ(fake_bass::count("BASS_RecordSetInput"), 0u);

    // A level that cannot be read is not guessed: the microphone still closes, nothing is put back.
    fake_bass::clearCalls();
    fake_bass::fail("BASS_RecordGetInput", BASS_ERROR_DRIVER);
    EXPECT_EQ(connectStream(&station), 1);
    EXPECT_EQ(fake_bass::inputLevel(), 0.0f);
    disconnectStream(&station);
    EXPECT_EQ(fake_bass::count("BASS_RecordSetInput"), 1u);
}

TEST(CommandLine, OnlyExactAudioMpegStartsLame) {
    Larkspur r;
    test_station::reset(r);
    EXPECT_EQ(encoderCommandLine(r, "/opt/host/"), "\"/opt/host/Plugins/Larkspur/lame\" -r -s 44100 -b 128 -");
    r.bitrate = 96;
    for (const char* type : {"Audio/MPEG", "application/ogg", "audio/aacp", "", "audio/mpeg "}) {
        storeText(r.contentType, type);
        EXPECT_EQ(encoderCommandLine(r, "/opt/host/"),
                  "\"/opt/host/Plugins/Larkspur/oggenc\" -r -R 44100 -b 96 -m 96 -")
            << type;
    }
}

TEST(CommandLine, QuotesAFolderWithSpacesAndStatesTheRealRate) {
    Larkspur r;
    test_station::reset(r);
    r.sampleRate = 22050;
    r.bitrate = 64;
    EXPECT_EQ(encoderCommandLine(r, "/home/dj/My Player/"),
              "\"/home/dj/My Player/Plugins/Larkspur/lame\" -r -s 22050 -b 64 -");
    storeText(r.contentType, "application/ogg");
    EXPECT_EQ(encoderCommandLine(r, "/home/dj/My Player/"),
              "\"/home/dj/My Player/Plugins/Larkspur/oggenc\" -r -R 22050 -b 64 -m 64 -");
}

TEST(CommandLine, OpusAndFlacStartTheirOwnEncodersOnRawStereo) {
    Larkspur r;
    test_station::reset(r);
    r.sampleRate = 22050;
    r.bitrate = 64;
    storeText(r.contentType, "audio/ogg; codecs=opus");
    EXPECT_EQ(encoderCommandLine(r, "/home/dj/My Player/"),
              "\"/home/dj/My Player/Plugins/Larkspur/opusenc\" --quiet --raw --raw-rate 22050 --raw-chan 2 "
              "--bitrate 64 --cvbr - -");
    storeText(r.contentType, "audio/ogg; codecs=flac");
    EXPECT_EQ(encoderCommandLine(r, "/opt/host/"),
              "\"/opt/host/Plugins/Larkspur/flac\" --silent --ogg --force-raw-format --endian=little --sign=signed "
              "--channels=2 --bps=16 --sample-rate=22050 -");
}

// The server is told the bare Ogg type (Icecast then keeps the headers for a listener who
// comes in later); the engine restarts the program at each title; FLAC announces no bitrate.
TEST_F(Connection, OpusAndFlacAreCastAsOggWithTitlesInTheStream) {
    const struct {
        const char* type;
        DWORD flag;
        const char* bitrate;
    } cases[] = {{"audio/ogg; codecs=opus", BASS_ENCODE_CHAIN_OPUS, ", 96, 0"},
                 {"audio/ogg; codecs=flac", BASS_ENCODE_CHAIN_FLAC, ", 0, 0"},
                 {"application/ogg", 0, ", 96, 0"},
                 {"audio/aacp", 0, ", 96, 0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        fake_bass::clearCalls();
        storeText(station.contentType, c.type);
        station.bitrate = 96;
        ASSERT_EQ(connectStream(&station), 1);
        EXPECT_EQ(fake_bass::callsTo("BASS_Encode_Start")[0].ints[1], 0x40001 | c.flag);
        const auto cast = fake_bass::callsTo("BASS_Encode_CastInit")[0];
        EXPECT_EQ(cast.texts[2], c.flag ? "audio/ogg" : c.type);
        EXPECT_NE(cast.args.find(c.bitrate), std::string::npos) << cast.args;
        disconnectStream(&station);
    }
}

TEST_F(Connection, AMissingOpusOrFlacEncoderIsNamedInTheBox) {
    const std::pair<const char*, const char*> cases[] = {
        {"audio/ogg; codecs=opus", "OPUSENC.EXE (if encoding to Opus)"},
        {"audio/ogg; codecs=flac", "FLAC.EXE (if encoding to FLAC)"},
    };
    for (const auto& [type, named] : cases) {
        storeText(station.contentType, type);
        fake_bass::fail("BASS_Encode_Start", BASS_ERROR_FILEOPEN);
        EXPECT_EQ(connectStream(&station), 0);
        EXPECT_EQ(boxTexts().back(), std::string("Couldn't start encoding...\r\n Make sure ") + named +
                                         " is in \\Plugins\\Larkspur\\ .  Bass Error: 0x2");
        EXPECT_EQ(station.recordChannel, 0u);
        disconnectStream(&station);
    }
}

TEST(StationTexts, ServerAddressIsServerColonPort) {
    Larkspur r;
    test_station::reset(r);
    storeText(r.server, " radio.example ");
    r.port = -8000;
    EXPECT_EQ(serverAddress(r), " radio.example :-8000");
    // An address with a mount point gets the port after its host.
    r.port = 8000;
    const std::pair<const char*, const char*> forms[] = {
        {"radio.example/live", "radio.example:8000/live"},
        {"http://radio.example/live", "http://radio.example:8000/live"},
        {"https://dj@radio.example/a/b.ogg", "https://dj@radio.example:8000/a/b.ogg"},
        {"http://[::1]/live", "http://[::1]:8000/live"},
        {"http://radio.example", "http://radio.example:8000"},  // the engine refuses the empty mount
    };
    for (const auto& [field, address] : forms) {
        storeText(r.server, field);
        EXPECT_EQ(serverAddress(r), address);
    }
}

TEST(StationTexts, HeaderCarriesOnlyTheContactsThatAreSet) {
    Larkspur r;
    test_station::reset(r);
    storeText(r.stationName, "Larkspur FM");
    EXPECT_EQ(stationHeader(r), "Larkspur FM");
    storeText(r.irc, "#larkspur");
    EXPECT_EQ(stationHeader(r), "Larkspur FM\r\nicy-irc: #larkspur");
    storeText(r.icq, "12345");
    storeText(r.aim, "larkdj");
    EXPECT_EQ(stationHeader(r), "Larkspur FM\r\nicy-icq: 12345\r\nicy-aim: larkdj\r\nicy-irc: #larkspur");
}

TEST(StationTexts, LineBreaksInsideFieldsCannotInjectHeaderLines) {
    Larkspur r;
    test_station::reset(r);
    storeText(r.stationName, "Larkspur\r\nicy-pub: 1");
    storeText(r.aim, "\r\n");  // empty once cleaned: no line at all
    storeText(r.irc, "#a\nb");
    EXPECT_EQ(stationHeader(r), "Larkspuricy-pub: 1\r\nicy-irc: #ab");
    storeText(r.server, "host\r\n");
    r.port = 80;
    EXPECT_EQ(serverAddress(r), "host:80");
}

TEST_F(Connection, EveryCastTextIsCleanedOfLineBreaks) {
    storeText(station.password, "pa\r\nss");
    storeText(station.url, "http://x\n");
    storeText(station.genre, "\rRock");
    storeText(station.description, "two\r\nlines");
    storeText(station.contentType, "application/ogg\r\n");
    ASSERT_EQ(connectStream(&station), 1);
    auto cast = fake_bass::callsTo("BASS_Encode_CastInit")[0];
    EXPECT_EQ(cast.texts, (Names{"127.0.0.1:8000", "pass", "application/ogg", "Larkspur FM", "http://x", "Rock",
                                 "twolines", ""}));
}

}  // namespace

#include "audio/audio_graph.h"
#include "audio/capture_devices.h"

#include <gtest/gtest.h>

#include "fake_bass.h"
#include "test_station.h"

namespace {

using Names = std::vector<std::string>;

class AudioGraph : public ::testing::Test {
protected:
    void SetUp() override {
        test_station::openWindow();
        fake_bass::reset();
        releaseAudioDevice();  // forget host streams of earlier tests
        fake_bass::reset();
        test_station::reset(record);
        showErrors = 1;
    }
    void TearDown() override { showErrors = 1; }

    std::vector<std::string> boxTexts() {
        std::vector<std::string> texts;
        for (const auto& box : desktop::headless::boxes()) texts.push_back(box.text);
        return texts;
    }

    Larkspur record;
};

constexpr const char* noFormat = "No settings for the Channels found (Freq & Mono/Stereo)  ";

TEST_F(AudioGraph, InitOpensTheDefaultDeviceAtTheRecordRateOwnedByTheWindow) {
    record.sampleRate = 22050;
    initAudioDevice(1, &record);
    auto init = fake_bass::callsTo("BASS_Init");
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0].ints, (std::vector<std::int64_t>{-1, 22050, 0, std::int64_t(desktop::nativeHandle(1))}));
    EXPECT_NE(desktop::nativeHandle(1), 0u);
    EXPECT_TRUE(boxTexts().empty());
}

TEST_F(AudioGraph, InitFailureNamesTheFixedRateWhateverTheRecordHolds) {
    record.sampleRate = 22050;
    fake_bass::fail("BASS_Init", BASS_ERROR_DRIVER);
    initAudioDevice(1, &record);
    EXPECT_EQ(boxTexts(), Names{"BASS_Init(count,44100,0,WindowID(0),0)  Bass Error: 0x3"});
}

TEST_F(AudioGraph, ReleaseClosesOnlyADeviceThatOurInitOpened) {
    // Someone else in the process holds the device: our Init fails, our stream alone goes.
    fake_bass::fail("BASS_Init", BASS_ERROR_ALREADY);
    initAudioDevice(1, &record);
    ASSERT_EQ(createSources(&record), 1);
    const auto stream = record.hostStream.load();
    fake_bass::clearCalls();
    releaseAudioDevice();
    EXPECT_EQ(fake_bass::callNames(), Names{"BASS_StreamFree"});
    EXPECT_EQ(fake_bass::callsTo("BASS_StreamFree").at(0).ints.at(0), stream);

    initAudioDevice(1, &record);
    fake_bass::clearCalls();
    releaseAudioDevice();
    releaseAudioDevice();  // the second finds nothing of ours
    EXPECT_EQ(fake_bass::callNames(), Names{"BASS_Free"});
}

TEST_F(AudioGraph, EveryBuilderRefusesWithoutRateOrChannels) {
    for (int which = 0; which < 2; ++which) {
        test_station::reset(record);
        (which ? record.channels : record.sampleRate) = 0;
        initAudioDevice(1, &record);
        EXPECT_EQ(createSources(&record), 0);
        EXPECT_EQ(createMixer(&record), 0);
    }
    EXPECT_EQ(boxTexts(), Names(6, std::string(noFormat)));
    // Nothing is opened or created; only the effects add-on is bound.
    EXPECT_EQ(fake_bass::callNames(), Names(2, "BASS_FX_GetVersion"));
}

TEST_F(AudioGraph, BuildersWithoutRecordSayTheStructureIsMissing) {
    EXPECT_EQ(createSources(nullptr), 0);
    EXPECT_EQ(createMixer(nullptr), 0);
    EXPECT_EQ(boxTexts(), Names(2, "Can't find Larkspur Structure!  "));
    EXPECT_TRUE(fake_bass::calls().empty());
}

TEST_F(AudioGraph, SourcesArePausedCaptureDecodePushStreamAndVolumeEffect) {
    ASSERT_EQ(createSources(&record), 1);
    auto calls = fake_bass::calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].name, "BASS_FX_GetVersion");
    EXPECT_EQ(calls[1].name, "BASS_RecordStart");
    EXPECT_EQ(calls[1].ints, (std::vector<std::int64_t>{44100, 2, BASS_RECORD_PAUSE}));
    EXPECT_EQ(calls[1].args, "44100, 2, 32768, 0, 0");
    EXPECT_EQ(calls[2].name, "BASS_StreamCreate");
    EXPECT_EQ(calls[2].args, "44100, 2, 2097152, STREAMPROC_PUSH, 0");
    EXPECT_EQ(calls[3].name, "BASS_ChannelSetFX");
    EXPECT_EQ(calls[3].ints, (std::vector<std::int64_t>{static_cast<std::int64_t>(calls[2].result), BASS_FX_BFX_VOLUME, 0}));
    EXPECT_EQ(record.recordChannel, calls[1].result);
    EXPECT_EQ(record.hostStream, calls[2].result);
    EXPECT_EQ(record.volumeFx, calls[3].result);
}

TEST_F(AudioGraph, EachSourceFailureReportsAndKeepsWhatExists) {
    struct Case {
        const char* call;
        const char* message;
        bool channel, stream;
    } cases[] = {
        {"BASS_RecordStart", "Couldn't start recording  Bass Error: 0x23", false, false},
        {"BASS_StreamCreate", "Couldn't set up the winamp channel  Bass Error: 0x23", true, false},
        {"BASS_ChannelSetFX", "Couldn't set up the Volume DSP!  Bass Error: 0x23", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        SetUp();
        fake_bass::fail(c.call, BASS_ERROR_DEVICE);
        EXPECT_EQ(createSources(&record), 0);
        EXPECT_EQ(boxTexts(), Names{c.message});
        EXPECT_EQ(record.recordChannel != 0, c.channel);
        EXPECT_EQ(record.hostStream != 0, c.stream);
        EXPECT_EQ(record.volumeFx, 0u);
        EXPECT_EQ(fake_bass::count("BASS_ChannelStop") + fake_bass::count("BASS_StreamFree"), 0u);
    }
}

TEST_F(AudioGraph, ANewConnectReleasesThePreviousHostStream) {
    ASSERT_EQ(createSources(&record), 1);
    const auto first = record.hostStream.load();
    record.hostStream = 0;  // as a disconnect leaves it
    record.recordChannel = 0;
    const auto before = fake_bass::calls().size();
    ASSERT_EQ(createSources(&record), 1);
    auto names = fake_bass::callNames();
    EXPECT_EQ(Names(names.begin() + before, names.end()),
              (Names{"BASS_FX_GetVersion", "BASS_RecordStart", "BASS_StreamFree", "BASS_StreamCreate",
                     "BASS_ChannelSetFX"}));
    EXPECT_EQ(fake_bass::callsTo("BASS_StreamFree")[0].ints[0], first);
    EXPECT_NE(record.hostStream, first);
}

TEST_F(AudioGraph, NoStreamIsReleasedAfterTheDeviceWent) {
    ASSERT_EQ(createSources(&record), 1);
    releaseAudioDevice();
    fake_bass::reset();
    ASSERT_EQ(createSources(&record), 1);
    EXPECT_EQ(fake_bass::count("BASS_StreamFree"), 0u);
}

TEST_F(AudioGraph, MixerStartsTheCaptureBeforeAddingBothSources) {
    ASSERT_EQ(createSources(&record), 1);
    fake_bass::reset();
    ASSERT_EQ(createMixer(&record), 1);
    auto calls = fake_bass::calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].name, "BASS_Mixer_StreamCreate");
    EXPECT_EQ(calls[0].args, "44100, 2, 393216");
    EXPECT_EQ(record.mixer, calls[0].result);
    EXPECT_EQ(calls[1].name, "BASS_ChannelPlay");
    EXPECT_EQ(calls[1].ints, (std::vector<std::int64_t>{record.recordChannel, 0}));
    EXPECT_EQ(calls[2].name, "BASS_Mixer_StreamAddChannel");
    EXPECT_EQ(calls[2].ints, (std::vector<std::int64_t>{record.mixer, record.recordChannel, BASS_MIXER_FILTER}));
    EXPECT_EQ(calls[3].name, "BASS_Mixer_StreamAddChannel");
    EXPECT_EQ(calls[3].ints, (std::vector<std::int64_t>{record.mixer, record.hostStream, 0}));
}

TEST_F(AudioGraph, EachMixerFailureReports) {
    struct Case {
        const char* call;
        int skip;  // successful calls before the failing one
        const char* message;
    } cases[] = {
        {"BASS_Mixer_StreamCreate", 0, "Couldn't create Mixer  Bass Error: 0x1"},
        {"BASS_Mixer_StreamAddChannel", 0, "Couldn't add recordingchannel to mixer  Bass Error: 0x1"},
        {"BASS_Mixer_StreamAddChannel", 1, "Couldn't add winampchannel to mixer  Bass Error: 0x1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        SetUp();
        record.recordChannel = 7;
        record.hostStream = 8;
        if (c.skip) {
            fake_bass::onCall(c.call, [&](const fake_bass::Call&) {
                fake_bass::onCall(c.call, nullptr);
                fake_bass::fail(c.call, BASS_ERROR_MEM);
            });
        } else {
            fake_bass::fail(c.call, BASS_ERROR_MEM);
        }
        EXPECT_EQ(createMixer(&record), 0);
        EXPECT_EQ(boxTexts(), Names{c.message});
        EXPECT_EQ(fake_bass::count("BASS_ChannelStop"), 0u);
    }
}

TEST_F(AudioGraph, FailuresStaySilentWhileErrorsAreOff) {
    showErrors = 0;
    fake_bass::fail("BASS_RecordStart", BASS_ERROR_DEVICE);
    EXPECT_EQ(createSources(&record), 0);
    fake_bass::fail("BASS_Mixer_StreamCreate", BASS_ERROR_MEM);
    EXPECT_EQ(createMixer(&record), 0);
    EXPECT_TRUE(boxTexts().empty());
}

class DeviceList : public AudioGraph {
protected:
    void SetUp() override {
        AudioGraph::SetUp();
        addList(20);
    }
    static void addList(int number) {
        desktop::ControlSpec list;
        list.number = number;
        list.kind = desktop::ControlKind::DropList;
        desktop::createControl(1, list);
    }
};

TEST_F(DeviceList, DevicesWithoutFlagsAreListedAndTheEngineOrderStaysWithoutADefaultOrMonitor) {
    fake_bass::setDevices({{"Built-in", "a", BASS_DEVICE_ENABLED | BASS_DEVICE_DEFAULT},
                           {"Unplugged", "b", 0},
                           {"USB Mic", "c", BASS_DEVICE_ENABLED}});
    EXPECT_EQ(fillCaptureDeviceList(20), 0);
    ASSERT_EQ(desktop::itemCount(20), 3);
    EXPECT_EQ(desktop::itemText(20, 0), "Built-in");
    EXPECT_EQ(desktop::itemText(20, 1), "Unplugged");
    EXPECT_EQ(desktop::itemText(20, 2), "USB Mic");
    EXPECT_EQ(fake_bass::count("BASS_RecordGetDeviceInfo"), 4u);  // the fourth ends the list
}

// A desktop's sound server: its speakers' monitor first, the microphone the system's default.
TEST_F(DeviceList, TheDefaultInputLeadsMonitorsComeLastAndAChoiceFollowsItsDeviceByName) {
    const fake_bass::Device speakers{"Monitor of Speakers", "speakers.monitor",
                                     BASS_DEVICE_ENABLED | BASS_DEVICE_LOOPBACK};
    const fake_bass::Device usb{"USB Mic", "usb", BASS_DEVICE_ENABLED};
    const fake_bass::Device builtIn{"Built-in Mic", "builtin", BASS_DEVICE_ENABLED | BASS_DEVICE_DEFAULT};
    const fake_bass::Device hdmi{"HDMI", "hdmi.monitor", BASS_DEVICE_ENABLED | BASS_DEVICE_LOOPBACK};
    fake_bass::setDevices({speakers, usb, builtIn, hdmi});
    Larkspur record;  // a new station
    fillCaptureDeviceList(20);
    ASSERT_EQ(desktop::itemCount(20), 4);
    EXPECT_EQ(desktop::itemText(20, 0), "Built-in Mic");
    EXPECT_EQ(desktop::itemText(20, 1), "USB Mic");
    EXPECT_EQ(desktop::itemText(20, 2), "Monitor of Speakers");
    EXPECT_EQ(desktop::itemText(20, 3), "Monitor of HDMI");
    EXPECT_EQ(shownCaptureDevice(record), 0);
    EXPECT_EQ(captureDeviceNumber(record), -1);  // the library's default input, whatever its number

    chooseCaptureDevice(record, 1);
    EXPECT_EQ(record.recordDevice, 1);
    EXPECT_EQ(textSettingsOf(record).captureDevice, "usb");

    // A device plugged in ahead of it, and the list read again for a new window.
    fake_bass::setDevices({{"Webcam", "cam", BASS_DEVICE_ENABLED}, speakers, usb, builtIn, hdmi});
    EXPECT_EQ(captureDeviceNumber(record), 2);
    addList(91);
    fillCaptureDeviceList(91);
    EXPECT_EQ(desktop::itemText(91, shownCaptureDevice(record)), "USB Mic");

    // Unplugged: the default input rather than whatever took its number.
    fake_bass::setDevices({speakers, builtIn, hdmi});
    EXPECT_EQ(captureDeviceNumber(record), -1);
    addList(92);
    fillCaptureDeviceList(92);
    EXPECT_EQ(shownCaptureDevice(record), 0);

    // A choice an older version kept by number alone stays that number.
    Larkspur older;
    older.recordDevice = 2;
    EXPECT_EQ(captureDeviceNumber(older), 2);
    EXPECT_EQ(desktop::itemText(92, shownCaptureDevice(older)), "Monitor of HDMI");
    older.recordDevice = 7;  // gone: the default is shown, the number is kept
    EXPECT_EQ(shownCaptureDevice(older), 0);
    EXPECT_EQ(captureDeviceNumber(older), 7);
    chooseCaptureDevice(older, -1);  // nothing selected
    EXPECT_EQ(older.recordDevice, -1);
    EXPECT_EQ(textSettingsOf(older).captureDevice, "");
}

TEST_F(DeviceList, NoCaptureDevicesGiveAnEmptyList) {
    fake_bass::setDevices({});
    EXPECT_EQ(fillCaptureDeviceList(20), 0);
    EXPECT_EQ(desktop::itemCount(20), 0);
}

TEST_F(DeviceList, WithoutTheControlTheEnumerationStillEnds) {
    fake_bass::setDevices({{"One", "a", 1}});
    EXPECT_EQ(fillCaptureDeviceList(99), 0);
    EXPECT_EQ(fake_bass::count("BASS_RecordGetDeviceInfo"), 2u);
}

}  // namespace

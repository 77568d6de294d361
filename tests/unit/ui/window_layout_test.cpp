// The window as built on the headless desktop, and the record shown in it.
#include <gtest/gtest.h>

#include <cstring>

#include "desktop/desktop.h"
#include "desktop/headless.h"
#include "fake_bass.h"
#include "plugin/globals.h"
#include "test_station.h"
#include "ui/window_layout.h"
#include "window_table.h"

namespace {

namespace hl = desktop::headless;
using desktop::ControlKind;

// What start-up leaves without a settings file.
void emptyRecord(Larkspur& r) {
    test_station::reset(r);
    storeText(r.contentType, "");
    r.bitrate = 0;
    r.sampleRate = 0;
    r.hostVolume = r.hostVolumeSpeaking = r.deviceVolumeSpeaking = 0;
}

std::vector<std::string> items(int list) {
    std::vector<std::string> out;
    for (int i = 0; i < desktop::itemCount(list); ++i) out.push_back(desktop::itemText(list, i));
    return out;
}

class Layout : public ::testing::Test {
protected:
    Larkspur record;

    void SetUp() override {
        desktop::selectBackend("headless");
        hl::reset();
        fake_bass::reset();
        fake_bass::setDevices({{"Mic A", "a"}, {"Line B", "b"}});
        emptyRecord(record);
    }
};

TEST_F(Layout, BuildsTheWholeWindowInOrder) {
    buildWindow(&record);
    auto win = hl::windowInfo(1);
    ASSERT_TRUE(win.exists);
    EXPECT_EQ(win.width, 259);
    EXPECT_EQ(win.height, 416);  // the described 360 and the meters below the pages
    auto screen = desktop::screenSize();
    auto outer = desktop::outerSize(259, 416);
    EXPECT_EQ(win.x, (screen.width - outer.width) / 2);
    EXPECT_EQ(win.y, (screen.height - outer.height) / 2);
    EXPECT_NE(win.background, 0x000000u);  // no composition on X11: no black glass

    // Every row of the window's table, in creation order.
    using window_table::Row;
    using window_table::outputsRows;
    using window_table::rows;
    ASSERT_EQ(std::size(rows), 47u);
    std::vector<int> order;
    for (const Row& row : rows) order.push_back(row.number);
    // The outputs page after the described pages, its numbers from 47 on, past the meters' 60 to 65.
    for (const Row& row : outputsRows) {
        EXPECT_TRUE((row.number >= 47 && row.number <= 59) || row.number >= 66) << row.number;
        order.push_back(row.number);
    }
    // The meters come after the described controls, on the window below the pages, each after
    // its label; they take no focus.
    for (int number : {63, 60, 64, 61, 65, 62}) order.push_back(number);
    EXPECT_EQ(hl::controlNumbers(), order);
    for (int meter : {60, 61, 62}) {
        const auto spec = hl::controlSpec(meter);
        EXPECT_EQ(spec.kind, ControlKind::Meter);
        EXPECT_EQ(spec.page, desktop::onWindow);
        EXPECT_GE(spec.y, 360);
        EXPECT_LE(spec.y + spec.height, 416);
        EXPECT_FALSE(spec.tabStop);
        EXPECT_EQ(desktop::meter(meter), desktop::MeterReading{});  // the floor until the first tick
    }
    EXPECT_EQ(hl::controlSpec(63).text, "Music");
    EXPECT_EQ(hl::controlSpec(64).text, "Mic");
    EXPECT_EQ(hl::controlSpec(65).text, "On air");
    std::vector<Row> every(std::begin(rows), std::end(rows));
    every.insert(every.end(), std::begin(outputsRows), std::end(outputsRows));
    for (const Row& row : every) {
        SCOPED_TRACE(row.number);
        const auto spec = hl::controlSpec(row.number);
        EXPECT_EQ(spec.kind, row.kind);
        EXPECT_EQ(spec.page, row.page);
        EXPECT_EQ((std::vector<int>{spec.x, spec.y, spec.width, spec.height}),
                  (std::vector<int>{row.x, row.y, row.w, row.h}));
        EXPECT_EQ(spec.text, row.text);
        EXPECT_EQ(spec.tabStop, row.tabStop);
    }

    EXPECT_EQ(items(0), (std::vector<std::string>{"  Streaming  ", " ServerConfig", "  SoundConfig  ", "  Outputs  "}));
    EXPECT_EQ(desktop::selected(0), 0);
    EXPECT_EQ(items(22), (std::vector<std::string>{"MP3", "AAC", "OGG", "Opus", "FLAC"}));
    EXPECT_EQ(items(24), (std::vector<std::string>{"44100", "22050"}));
    EXPECT_EQ(items(26), (std::vector<std::string>{"32", "40", "48", "56", "64", "80", "96", "112", "128", "160",
                                                   "192", "224", "256", "320"}));
    EXPECT_EQ(items(20), (std::vector<std::string>{"Mic A", "Line B"}));

    EXPECT_EQ(desktop::textColor(30), 0xFFFFFFu);
    EXPECT_EQ(desktop::backgroundColor(30), 0x000000u);

    // The server field explains each form it takes and where the port goes; the format list
    // what an Opus listener gets and why FLAC has no bitrate.
    const std::string help = hl::toolTip(3);
    for (const char* form : {"radio.example.org:", "radio.example.org/live", "http://[user@]", "https://", "Port field"})
        EXPECT_NE(help.find(form), std::string::npos) << form;
    for (const char* fact : {"48000 Hz", "FLAC: lossless"}) EXPECT_NE(hl::toolTip(22).find(fact), std::string::npos);
    // A state line's failure can run past it: the whole line is its tooltip.
    for (int line = 74; line <= 79; ++line) EXPECT_EQ(hl::toolTip(line), desktop::text(line));
    for (int number : hl::controlNumbers()) {
        if (number == 3 || number == 22 || (number >= 74 && number <= 79)) continue;
        EXPECT_EQ(hl::toolTip(number), "") << number;
    }
}

TEST_F(Layout, EmptyRecordIsShownAndBroughtIntoRange) {
    record.channels = 0;
    buildWindow(&record);
    for (int edit : {3, 5, 12, 13, 15, 17, 41, 42, 46}) EXPECT_EQ(desktop::text(edit), "") << edit;
    EXPECT_EQ(desktop::text(4), "0");
    EXPECT_FALSE(desktop::checked(11));
    EXPECT_FALSE(desktop::checked(40));
    for (int bar : {33, 35, 37}) EXPECT_EQ(desktop::position(bar), 0);
    EXPECT_EQ(desktop::selected(20), 0);
    EXPECT_EQ(desktop::selected(22), 0);
    EXPECT_EQ(textOf(record.contentType), "audio/mpeg");
    EXPECT_EQ(desktop::selected(26), 0);
    EXPECT_EQ(record.bitrate, 32);
    EXPECT_EQ(desktop::selected(24), 0);
    EXPECT_EQ(record.sampleRate, 44100);
    EXPECT_EQ(record.channels, 2);
}

TEST_F(Layout, KnownValuesSelectTheirItems) {
    buildWindow(&record);
    struct Case {
        const char* type;
        int format;
        const char* stored;
    };
    for (Case c : {Case{"application/ogg", 2, "application/ogg"}, Case{"audio/aacp", 1, "audio/aacp"},
                   Case{"Audio/MPEG", 0, "audio/mpeg"}, Case{"audio/mpeg ", 0, "audio/mpeg"}}) {
        storeText(record.contentType, c.type);
        ASSERT_EQ(showRecord(&record), 1);
        EXPECT_EQ(desktop::selected(22), c.format) << c.type;
        EXPECT_EQ(textOf(record.contentType), c.stored) << c.type;
    }
    record.bitrate = 320;
    record.sampleRate = 22050;
    showRecord(&record);
    EXPECT_EQ(desktop::selected(26), 13);
    EXPECT_EQ(record.bitrate, 320);
    EXPECT_EQ(desktop::selected(24), 1);
    EXPECT_EQ(record.sampleRate, 22050);

    record.bitrate = 100;
    record.sampleRate = 8000;
    showRecord(&record);
    EXPECT_EQ(desktop::selected(26), 0);
    EXPECT_EQ(record.bitrate, 32);
    EXPECT_EQ(desktop::selected(24), 0);
    EXPECT_EQ(record.sampleRate, 44100);
}

TEST_F(Layout, OpusAndFlacHaveTheirOwnBitrateLists) {
    buildWindow(&record);
    storeText(record.contentType, "audio/ogg; codecs=opus");
    record.bitrate = 320;  // beyond Opus: the first entry, as for the other formats
    ASSERT_EQ(showRecord(&record), 1);
    EXPECT_EQ(desktop::selected(22), 3);
    EXPECT_EQ(items(26).front(), "16");
    EXPECT_EQ(items(26).back(), "256");
    EXPECT_EQ(record.bitrate, 16);
    EXPECT_TRUE(desktop::enabled(26));

    storeText(record.contentType, "audio/ogg; codecs=flac");
    record.bitrate = 128;
    showRecord(&record);
    EXPECT_EQ(desktop::selected(22), 4);
    EXPECT_EQ(items(26), std::vector<std::string>{"lossless"});
    EXPECT_EQ(desktop::selected(26), 0);
    EXPECT_FALSE(desktop::enabled(26));
    EXPECT_EQ(desktop::text(27), "");  // no "lossless kb/s"
    EXPECT_EQ(record.bitrate, 128);  // kept for the next format

    // Letter case and the parameter matter: anything else is MP3 again, with its list.
    for (const char* type : {"audio/ogg; codecs=Opus", "audio/ogg"}) {
        storeText(record.contentType, type);
        showRecord(&record);
        EXPECT_EQ(desktop::selected(22), 0) << type;
        EXPECT_EQ(textOf(record.contentType), "audio/mpeg");
        EXPECT_EQ(items(26).size(), 14u);
        EXPECT_TRUE(desktop::enabled(26));
        EXPECT_EQ(desktop::text(27), "kb/s");
        EXPECT_EQ(record.bitrate, 128);
    }
}

TEST_F(Layout, OutOfRangeLevelsAndDevicesAreShownNotChanged) {
    record.hostVolume = 150;
    record.hostVolumeSpeaking = -5;
    record.recordDevice = 2;  // only two devices: 0 and 1
    record.port = -1;
    record.autoReconnect = 1;
    record.isPublic = 1;
    buildWindow(&record);
    EXPECT_EQ(desktop::position(33), 100);
    EXPECT_EQ(desktop::position(35), 0);
    EXPECT_EQ(record.hostVolume, 150);
    EXPECT_EQ(record.hostVolumeSpeaking, -5);
    EXPECT_EQ(desktop::selected(20), 0);
    EXPECT_EQ(record.recordDevice, 2);
    EXPECT_EQ(desktop::text(4), "-1");
    EXPECT_TRUE(desktop::checked(40));
    EXPECT_TRUE(desktop::checked(11));

    record.recordDevice = 1;
    showRecord(&record);
    EXPECT_EQ(desktop::selected(20), 1);
}

TEST_F(Layout, NoCaptureDeviceSelectsNothing) {
    fake_bass::setDevices({});
    buildWindow(&record);
    EXPECT_EQ(desktop::itemCount(20), 0);
    EXPECT_EQ(desktop::selected(20), -1);
}

TEST_F(Layout, TextsAreShownTrimmedAndWhole) {
    storeText(record.server, "  radio.example \t ");
    std::string full(255, 'x');
    full.front() = 'A';
    full.back() = 'Z';
    std::memcpy(record.stationName, full.data(), 255);  // no terminator
    storeText(record.genre, "   ");
    buildWindow(&record);
    EXPECT_EQ(desktop::text(3), "radio.example \t");
    EXPECT_EQ(desktop::text(12), full);
    EXPECT_EQ(desktop::text(13), "");
    EXPECT_EQ(textOf(record.server), "  radio.example \t ");  // the record keeps its text
}

TEST_F(Layout, NoWindowNoControlsAndNoRecordNothing) {
    hl::failWindows(true);
    buildWindow(&record);
    EXPECT_FALSE(desktop::windowExists(1));
    EXPECT_TRUE(hl::controlNumbers().empty());
    EXPECT_EQ(record.bitrate, 0);  // showRecord did not run
    EXPECT_EQ(showRecord(nullptr), 0);
}

}  // namespace

// The configuration window, built from one table, and the record shown in it.
#include "ui/window_layout.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio/audio_graph.h"
#include "audio/capture_devices.h"
#include "broadcast/formats.h"
#include "desktop/desktop.h"
#include "plugin/globals.h"
#include "ui/outputs_page.h"

namespace {

using desktop::ControlKind;
using K = ControlKind;

constexpr int onWindow = desktop::onWindow;
constexpr int tabControl = 0;

struct Row {
    int number;
    ControlKind kind;
    int page;
    int x, y, w, h;
    const char* text;
    bool tabStop;
};

// Creation order is also the focus order.
constexpr std::array<Row, 80> layout{{
    {18, K::Image, onWindow, 0, 0, 265, 45, "", false},
    {30, K::CenteredText, onWindow, 0, 45, 260, 20, "", false},
    {0, K::TabControl, onWindow, 0, 65, 260, 295, "", true},
    // "  Streaming  "
    {31, K::ToggleButton, 0, 13, 13, 130, 25, "Connect", true},
    {32, K::Text, 0, 13, 48, 135, 15, "Winampvolume:", false},
    {33, K::Trackbar, 0, 13, 63, 230, 30, "", true},
    {34, K::Text, 0, 13, 103, 170, 15, "Winampvolume while speaking:", false},
    {35, K::Trackbar, 0, 13, 118, 230, 30, "", true},
    {36, K::Text, 0, 13, 158, 170, 15, "Devicevolume while speaking:", false},
    {37, K::Trackbar, 0, 13, 173, 230, 30, "", true},
    {38, K::PushButton, 0, 13, 223, 160, 30, "Speak", true},
    {39, K::ToggleButton, 0, 178, 223, 70, 30, "Hold", true},
    {40, K::CheckBox, 0, 148, 18, 95, 15, "auto reconnect", true},
    // " ServerConfig"
    {1, K::GroupBox, 1, 8, 13, 240, 100, "Connection", false},
    {2, K::Text, 1, 23, 33, 85, 15, "Server:", false},
    {3, K::Edit, 1, 23, 48, 150, 20, "", true},
    {4, K::NumberEdit, 1, 178, 48, 60, 20, "", true},
    {5, K::PasswordEdit, 1, 78, 78, 105, 20, "", true},
    {6, K::Text, 1, 178, 33, 40, 15, "Port:", false},
    {7, K::Text, 1, 23, 83, 50, 15, "Password:", false},
    {8, K::GroupBox, 1, 8, 118, 240, 145, "UserData", false},
    {9, K::Text, 1, 23, 138, 75, 15, "Stationname:", false},
    {10, K::Text, 1, 168, 138, 45, 15, "Genre:", false},
    {11, K::CheckBox, 1, 193, 78, 45, 20, "Public", true},
    {12, K::Edit, 1, 23, 153, 140, 20, "", true},
    {13, K::Edit, 1, 168, 153, 70, 20, "", true},
    {14, K::Text, 1, 23, 178, 55, 15, "Url:", false},
    {15, K::Edit, 1, 23, 193, 70, 20, "", true},
    {43, K::Text, 1, 98, 178, 55, 15, "ICQ:", false},
    {41, K::Edit, 1, 98, 193, 65, 20, "", true},
    {44, K::Text, 1, 167, 178, 55, 15, "IRC:", false},
    {42, K::Edit, 1, 167, 193, 70, 20, "", true},
    {16, K::Text, 1, 23, 218, 60, 15, "Description:", false},
    {17, K::Edit, 1, 23, 233, 140, 20, "", true},
    {45, K::Text, 1, 168, 218, 45, 15, "AIM:", false},
    {46, K::Edit, 1, 168, 233, 70, 20, "", true},
    // "  SoundConfig  "
    {19, K::Text, 2, 13, 18, 50, 15, "Input:", false},
    {20, K::DropList, 2, 63, 13, 180, 20, "", true},
    {21, K::Text, 2, 13, 58, 50, 15, "Stream:", false},
    {22, K::DropList, 2, 63, 53, 65, 20, "", true},
    {23, K::Text, 2, 133, 58, 15, 15, "@", false},
    {24, K::DropList, 2, 153, 53, 90, 20, "", true},
    {25, K::Text, 2, 63, 88, 30, 15, "with", false},
    {26, K::DropList, 2, 93, 83, 75, 20, "", true},
    {27, K::Text, 2, 173, 88, 30, 15, "kb/s", false},
    {28, K::PushButton, 2, 8, 118, 235, 25, "Open Mixer", true},
    {29, K::Image, 2, 13, 153, 235, 115, "", false},
    // "  Outputs  " (ui/outputs_page.h): one server's settings at a time, chosen in the list
    // at the top; the recording's; a state line for every output and the recording.
    {47, K::DropList, 3, 8, 6, 85, 20, "", true},
    {48, K::CheckBox, 3, 100, 8, 80, 15, "enabled", true},
    {49, K::Text, 3, 8, 34, 45, 15, "Server:", false},
    {50, K::Edit, 3, 55, 31, 193, 20, "", true},
    {51, K::Text, 3, 8, 59, 45, 15, "Port:", false},
    {52, K::NumberEdit, 3, 55, 56, 50, 20, "", true},
    {53, K::Text, 3, 110, 59, 56, 15, "Password:", false},
    {54, K::PasswordEdit, 3, 168, 56, 80, 20, "", true},
    {55, K::Text, 3, 8, 84, 45, 15, "Stream:", false},
    {56, K::DropList, 3, 55, 81, 65, 20, "", true},
    {57, K::DropList, 3, 125, 81, 72, 20, "", true},
    {58, K::Text, 3, 202, 84, 30, 15, "kb/s", false},
    {59, K::CheckBox, 3, 8, 113, 78, 15, "Record to:", true},
    {66, K::Edit, 3, 88, 111, 160, 20, "", true},
    {67, K::Text, 3, 8, 139, 45, 15, "Stream:", false},
    {68, K::DropList, 3, 55, 136, 65, 20, "", true},
    {69, K::DropList, 3, 125, 136, 72, 20, "", true},
    {70, K::Text, 3, 202, 139, 30, 15, "kb/s", false},
    {71, K::Text, 3, 8, 164, 45, 15, "Split:", false},
    {72, K::NumberEdit, 3, 55, 161, 35, 20, "", true},
    {73, K::Text, 3, 95, 164, 153, 15, "min (0: a file per connect)", false},
    {74, K::Text, 3, 8, 189, 240, 13, "", false},
    {75, K::Text, 3, 8, 202, 240, 13, "", false},
    {76, K::Text, 3, 8, 215, 240, 13, "", false},
    {77, K::Text, 3, 8, 228, 240, 13, "", false},
    {78, K::Text, 3, 8, 241, 240, 13, "", false},
    {79, K::Text, 3, 8, 254, 240, 13, "", false},
    // The meters, under the pages (ui/meters.h)
    {63, K::Text, onWindow, 6, 365, 44, 15, "Music", false},
    {60, K::Meter, onWindow, 52, 366, 201, 12, "", false},
    {64, K::Text, onWindow, 6, 381, 44, 15, "Mic", false},
    {61, K::Meter, onWindow, 52, 382, 201, 12, "", false},
    {65, K::Text, onWindow, 6, 397, 44, 15, "On air", false},
    {62, K::Meter, onWindow, 52, 398, 201, 12, "", false},
}};

// What the format list cannot show: the rate an Opus listener gets, why FLAC has no bitrate.
constexpr const char* formatHelp =
    "Opus: the listener gets 48000 Hz (the encoder resamples)\n"
    "FLAC: lossless, no bitrate to choose\n"
    "Opus and FLAC carry each title in the stream itself";

// The server field takes a bare host or an Icecast 2 address; the port has a field of its own.
constexpr const char* serverFieldHelp =
    "radio.example.org: SHOUTcast source on port + 1\n"
    "radio.example.org/live or http://[user@]radio.example.org/live: Icecast 2 mount\n"
    "https://[user@]radio.example.org/live: Icecast 2 over TLS\n"
    "The port goes in the Port field.";

constexpr std::array<const char*, 4> tabLabels{"  Streaming  ", " ServerConfig", "  SoundConfig  ", "  Outputs  "};

constexpr int formatList = 22;
constexpr int bitrateList = 26;
constexpr int bitrateUnit = 27;
constexpr std::array<const char*, 2> sampleRateItems{"44100", "22050"};

// Shown texts lose leading and trailing spaces; tabs stay.
std::string trimmed(const std::string& s) {
    auto first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    auto last = s.find_last_not_of(' ');
    return s.substr(first, last - first + 1);
}

void showText(int control, const TextField& field) { desktop::setText(control, trimmed(textOf(field))); }

}  // namespace

void buildWindow(Larkspur* record) {
    desktop::ScreenSize screen = desktop::screenSize();
    desktop::ScreenSize outer = desktop::outerSize(configClientWidth, configClientHeight);
    if (screen.width > 0) outer.width = std::min(outer.width, screen.width);
    if (screen.height > 0) outer.height = std::min(outer.height, screen.height);
    int x = (screen.width - outer.width) / 2;
    int y = (screen.height - outer.height) / 2;
    if (!desktop::openConfigWindow(configWindow, hostWindow.load(), x, y, configClientWidth, configClientHeight))
        return;

    desktop::setWindowIcon(configWindow, windowIcon);
    if (desktop::compositionEnabled()) desktop::setWindowBackground(configWindow, 0x000000);

    int pages = 0;
    for (const Row& row : layout) {
        // Each page comes into being just before its first control (the table keeps pages in order).
        for (; row.page != onWindow && pages <= row.page; ++pages)
            desktop::addTab(tabControl, tabLabels[static_cast<std::size_t>(pages)]);
        desktop::ControlSpec spec;
        spec.number = row.number;
        spec.kind = row.kind;
        spec.page = row.page;
        spec.x = row.x;
        spec.y = row.y;
        spec.width = row.w;
        spec.height = row.h;
        spec.text = row.text;
        spec.tabStop = row.tabStop;
        if (row.number == 18) spec.image = &bannerImage;
        if (row.number == 29) spec.image = &logoImage;
        desktop::createControl(configWindow, spec);  // a single failure is ignored
    }

    desktop::setToolTip(3, serverFieldHelp);
    desktop::setTextColor(30, 0xFFFFFF);
    desktop::setBackgroundColor(30, 0x000000);

    desktop::setToolTip(formatList, formatHelp);
    for (int rate : formats::mp3.bitrates) desktop::addItem(bitrateList, std::to_string(rate));
    for (const char* item : sampleRateItems) desktop::addItem(24, item);
    for (const StreamFormat& format : formats::all) desktop::addItem(formatList, std::string(format.name));

    fillCaptureDeviceList(20);
    showRecord(record);
    buildOutputsPage(record);
}

int offeredBitrate(const StreamFormat& format, int bitrate, bool nearest) {
    const auto rates = format.bitrates;
    if (rates.empty()) return bitrate;
    auto match = std::find(rates.begin(), rates.end(), bitrate);
    if (match == rates.end() && nearest) {
        // The closest offered, the lower of two as close.
        match = std::min_element(rates.begin(), rates.end(),
                                 [&](int a, int b) { return std::abs(a - bitrate) < std::abs(b - bitrate); });
    }
    return match == rates.end() ? rates.front() : *match;
}

int showBitrateList(int list, int unit, const StreamFormat& format, int bitrate, bool nearest) {
    std::vector<std::string> items;
    for (int rate : format.bitrates) items.push_back(std::to_string(rate));
    if (items.empty()) items.emplace_back(formats::losslessItem);
    std::vector<std::string> shown;
    for (int i = 0; i < desktop::itemCount(list); ++i) shown.push_back(desktop::itemText(list, i));
    if (shown != items) {
        desktop::clearItems(list);
        for (const std::string& item : items) desktop::addItem(list, item);
    }
    desktop::setEnabled(list, !format.bitrates.empty());
    desktop::setText(unit, format.bitrates.empty() ? "" : "kb/s");
    // A lossless format keeps the bitrate for the next format chosen.
    if (format.bitrates.empty()) {
        desktop::select(list, 0);
        return bitrate;
    }
    const int chosen = offeredBitrate(format, bitrate, nearest);
    const auto rates = format.bitrates;
    desktop::select(list, static_cast<int>(std::find(rates.begin(), rates.end(), chosen) - rates.begin()));
    return chosen;
}

void showBitrates(Larkspur* record, bool nearest) {
    const int position = formats::positionOf(textOf(record->contentType));
    const StreamFormat& format = formats::all[static_cast<std::size_t>(std::max(position, 0))];
    record->bitrate = showBitrateList(bitrateList, bitrateUnit, format, record->bitrate, nearest);
}

int showRecord(Larkspur* record) {
    if (!record) return 0;

    showText(3, record->server);
    showText(13, record->genre);
    showText(5, record->password);
    showText(12, record->stationName);
    showText(15, record->url);
    desktop::setText(4, std::to_string(record->port));
    showText(17, record->description);
    showText(46, record->aim);
    showText(41, record->icq);
    showText(42, record->irc);

    desktop::setChecked(40, record->autoReconnect.load() != 0);
    desktop::setChecked(11, record->isPublic != 0);

    desktop::setPosition(37, record->deviceVolumeSpeaking);
    desktop::setPosition(35, record->hostVolumeSpeaking);
    desktop::setPosition(33, record->hostVolume);

    desktop::select(20, std::max(shownCaptureDevice(*record), 0));

    int format = formats::positionOf(textOf(record->contentType));
    if (format < 0) {
        format = 0;
        storeText(record->contentType, formats::mp3.contentType);
    }
    desktop::select(formatList, format);
    showBitrates(record, false);

    int ratePos = 0;
    if (record->sampleRate == 22050) {
        ratePos = 1;
    } else if (record->sampleRate != 44100) {
        record->sampleRate = 44100;
    }
    desktop::select(24, ratePos);

    record->channels = 2;
    return 1;
}

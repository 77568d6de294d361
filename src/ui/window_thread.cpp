// The window thread: one pass per message, timers, the Speak poll, control handlers, the stop flag.
#include "ui/window_thread.h"

#include <chrono>
#include <vector>

#include "audio/audio_graph.h"
#include "audio/capture_devices.h"
#include "audio/talk_over.h"
#include "broadcast/connection.h"
#include "broadcast/formats.h"
#include "broadcast/title_status.h"
#include "desktop/desktop.h"
#include "plugin/globals.h"
#include "settings/settings_file.h"
#include "ui/meters.h"
#include "ui/outputs_page.h"
#include "ui/window_layout.h"

namespace {

constexpr int formatList = 22;
constexpr std::uint32_t green = 0x00FF00;

void copyText(int control, TextField& field) { storeText(field, desktop::text(control)); }

// `saved` holds the bytes last written (at first, the record as the window shows it): an
// unchanged record is not written again. A failed write is tried again at the next tick.
void saveIfChanged(Larkspur* record, std::vector<std::uint8_t>& saved) {
    std::vector<std::uint8_t> now = encodeSettings(*record);
    if (now == saved) return;
    if (saveSettings(record)) saved = std::move(now);
}

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void onConnectToggle(Larkspur* record) {
    // The toggle's state and text are set under the connection lock by the toggle itself.
    toggleConnection(record, desktop::checked(connectToggle));
}

}  // namespace

void onFormatChosen(Larkspur* record) {
    const int position = desktop::selected(formatList);
    if (position < 0 || position >= static_cast<int>(formats::all.size())) return;
    const StreamFormat& format = formats::all[static_cast<std::size_t>(position)];
    if (format.program.empty()) {
        storeText(record->contentType, formats::mp3.contentType);
        desktop::select(formatList, 0);
        showBitrates(record, true);
        desktop::messageBox(desktop::nativeHandle(configWindow), "Larkspur",
                            "Sorry, AAC isn't supported jet!. Maybe next release.\r\nThe Format was set to MP3");
        return;
    }
    storeText(record->contentType, format.contentType);
    showBitrates(record, true);
}

namespace {

void onBitrateChosen(Larkspur* record) {
    // "lossless" is no bitrate: the record keeps the one the next format will use.
    if (formats::encodedAs(textOf(record->contentType)).bitrates.empty()) return;
    record->bitrate = parseInteger(desktop::itemText(26, desktop::selected(26)));
}

}  // namespace

void handleControlEvent(Larkspur* record, int control) {
    if (!record) return;
    switch (control) {
    case 28: desktop::openSoundSettings(); break;
    case connectToggle: onConnectToggle(record); break;
    case holdButton: onHoldToggled(record); break;
    case 33:
    case 35:
    case 37: onLevelChanged(record, control); break;
    case 40: record->autoReconnect = desktop::checked(40) ? 1 : 0; break;
    case 11: record->isPublic = desktop::checked(11) ? 1 : 0; break;
    case 3: copyText(3, record->server); break;
    case 5: copyText(5, record->password); break;
    case 12: copyText(12, record->stationName); break;
    case 13: copyText(13, record->genre); break;
    case 15: copyText(15, record->url); break;
    case 17: copyText(17, record->description); break;
    case 41: copyText(41, record->icq); break;
    case 42: copyText(42, record->irc); break;
    case 46: copyText(46, record->aim); break;
    case 4: record->port = parseInteger(desktop::text(4)); break;
    case 20: chooseCaptureDevice(*record, desktop::selected(20)); break;
    case formatList: onFormatChosen(record); break;
    case 24: record->sampleRate = desktop::selected(24) == 0 ? 44100 : 22050; break;
    case 26: onBitrateChosen(record); break;
    default: handleOutputsPageEvent(record, control); break;  // tab control, banner, Speak (polled), labels, group boxes, picture
    }
}

std::int32_t parseInteger(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    unsigned base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i < text.size() && text[i] == '%') {
        base = 2;
        ++i;
    }
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9') digit = unsigned(c - '0');
        else if (c >= 'a' && c <= 'f') digit = unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = unsigned(c - 'A' + 10);
        else break;
        if (digit >= base) break;
        value = value * base + digit;  // wraps, as unsigned arithmetic does
    }
    if (negative) value = ~value + 1;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value & 0xFFFFFFFFu));
}

int windowThreadProc(Larkspur* record) {
    resetPressSpeaking();
    buildWindow(record);
    initAudioDevice(configWindow, record);
    desktop::setTextColor(statusLine, green);
    desktop::setTimer(configWindow, titleTimer, titleTimerPeriodMs);
    desktop::setTimer(configWindow, statusTimer, statusTimerPeriodMs);
    std::vector<std::uint8_t> savedSettings = record ? encodeSettings(*record) : std::vector<std::uint8_t>{};
    desktop::setTimer(configWindow, settingsTimer, settingsTimerPeriodMs);
    startMeters(record);
    desktop::setTimer(configWindow, meterTimer, meterTimerPeriodMs);

    for (;;) {
        desktop::Event event = desktop::nextEvent();
        if (event.kind == desktop::Event::Kind::Quit) {
            desktop::closeWindow(configWindow);  // forced end: the window goes with the thread
            return 0;
        }
        if (event.kind == desktop::Event::Kind::Timer) {
            if (event.id == titleTimer) updateTitle(record);
            else if (event.id == statusTimer) {
                updateStatus(record);
                showOutputStates();
            }
            else if (event.id == settingsTimer && record) saveIfChanged(record, savedSettings);
            else if (event.id == meterTimer) updateMeters(record, steadyMs());
        }
        pollSpeakButton(record);
        if (event.kind == desktop::Event::Kind::Control) handleControlEvent(record, event.id);
        if (stopRequested.load() == 1) {
            // The window belongs to this thread and goes with it; the acknowledgement is the last act.
            desktop::closeWindow(configWindow);
            stopRequested = 0;
            return 0;
        }
    }
}

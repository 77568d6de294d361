// The track title for the server and the status line's streaming time.
#include "broadcast/title_status.h"

#include <cmath>

#include "bass.h"
#include "broadcast/broadcast_state.h"
#include "broadcast/connection.h"
#include "broadcast/dead_air.h"
#include "broadcast/formats.h"
#include "broadcast/outputs.h"
#include "broadcast/recording.h"
#include "broadcast/station_log.h"
#include "desktop/desktop.h"
#include "plugin/globals.h"

namespace {

constexpr std::uint32_t green = 0x00FF00;
constexpr std::uint32_t red = 0xFF0000;
constexpr std::uint32_t amber = 0xFFC000;  // on the way to the air
constexpr std::string_view hostSuffix = " - Winamp";
constexpr std::size_t maxTitleBytes = 299;

// The encoder that got the last title; window thread only. A format that carries its titles
// in the stream starts every connection without one, so its encoder gets the title it has
// not had yet even when the track did not change.
std::uint32_t titledEncoder = 0;

// The host's title as far as a 300-byte buffer holds it, never cut inside a UTF-8 sequence.
std::string hostTitle() {
    std::string title = desktop::windowTitle(hostWindow.load());
    if (title.size() > maxTitleBytes) {
        std::size_t end = maxTitleBytes;
        while (end > 0 && (static_cast<unsigned char>(title[end]) & 0xC0) == 0x80) --end;
        title.resize(end);
    }
    return title;
}

// While the station streams, output 1 is on the air unless it fails alone (its state then says
// so); another output counts once its connect started it, even when it then failed (it stays
// off with its failure).
void countOutputs(StatusFacts& f) {
    const OutputState one = outputState(1);
    f.outputs = 1;
    f.outputsOnAir = one.phase == OutputPhase::onAir || (one.phase == OutputPhase::off && one.failure.empty()) ? 1 : 0;
    for (int n = firstExtraOutput; n <= lastOutput; ++n) {
        const OutputState state = outputState(n);
        if (state.phase == OutputPhase::off && state.failure.empty()) continue;
        ++f.outputs;
        if (state.phase == OutputPhase::onAir) ++f.outputsOnAir;
    }
}

}  // namespace

std::string trackTitle(const std::string& hostTitle) {
    std::string title = hostTitle;
    const auto space = title.find(' ');
    if (space != std::string::npos) title.erase(0, space + 1);
    if (title.ends_with(hostSuffix)) title.resize(title.size() - hostSuffix.size());
    return title;
}

std::string streamingTime(int seconds) {
    const int rest = seconds % 60;
    return std::to_string(seconds / 60) + ":" + (rest < 10 ? "0" : "") + std::to_string(rest);
}

void updateTitle(Larkspur* record) {
    if (!record || record->streaming != 1) return;
    const std::string title = trackTitle(hostTitle());
    const std::uint32_t encoder = record->encoder;
    const bool untitledStream = formats::encodedAs(textOf(record->contentType)).titlesInStream &&
                                encoder != titledEncoder && !title.empty();
    const bool changed = title != record->lastTitle;
    if (!changed && !untitledStream) return;
    const std::string url = textOf(record->url);
    BASS_Encode_CastSetTitle(encoder, title.c_str(), url.c_str());
    // Kept whether or not the server took it: a refused title is not sent again.
    record->lastTitle = title;
    titledEncoder = encoder;
    if (!changed) return;  // the same title again in a new stream is no news
    sendTitleToOutputs(title, url);
    logTitle(title);
    recordTitle(title);
}

StatusFacts statusFacts(Larkspur* record) {
    StatusFacts f;
    f.connecting = broadcastState.connecting;
    f.reconnecting = broadcastState.reconnecting;
    f.attempt = broadcastState.attempt;
    f.reason = broadcastState.lastFailure;
    f.streaming = record && record->streaming == 1;
    if (!f.streaming) return f;
    countOutputs(f);
    f.microphoneLost = BASS_ChannelIsActive(record->recordChannel) == BASS_ACTIVE_STALLED;
    f.deadAir = deadAirWatch().active();
    if (f.deadAir) f.silentSeconds = deadAirWatch().silentSeconds();
    const DWORD stream = record->hostStream;
    const QWORD position = BASS_Mixer_ChannelGetPosition(stream, BASS_POS_BYTE);
    const double seconds = BASS_ChannelBytes2Seconds(stream, position);
    // A failed query gives a negative (or absurd) figure: the line keeps what it shows.
    if (!(seconds >= 0.0) || seconds >= 2147483647.0) return f;
    const double total = seconds + double(broadcastState.carriedMs.load()) / 1000.0;
    if (total >= 0.5 && total < 2147483647.0) f.seconds = int(std::lround(total));
    return f;
}

// In order of priority: what the presenter must know first comes first.
StatusView statusView(const StatusFacts& f) {
    if (f.connecting) return {false, "connecting...", amber};
    if (f.reconnecting) {
        std::string text = "reconnecting...";
        if (f.attempt > 0) text += " #" + std::to_string(f.attempt);
        if (f.reason != FailureReason::None) text += std::string(f.attempt > 0 ? ": " : " ") + reasonText(f.reason);
        return {false, text, amber};
    }
    if (!f.streaming) {
        if (f.reason == FailureReason::None) return {false, "offline!", red};
        return {false, std::string("offline! ") + reasonText(f.reason), red};
    }
    if (f.deadAir) return {false, "dead air! silent for " + streamingTime(f.silentSeconds), red};
    if (f.seconds < 0) return {true, {}, 0};
    std::string online = "online! | streaming since: " + streamingTime(f.seconds);
    if (f.outputsOnAir < f.outputs) online += " | " + std::to_string(f.outputsOnAir) + " of " + std::to_string(f.outputs);
    if (f.microphoneLost) online += " | microphone lost, waiting for it...";
    return {false, online, green};
}

void updateStatus(Larkspur* record) {
    const StatusView view = statusView(statusFacts(record));
    if (view.keep) return;
    setStatus(view.text);
    if (desktop::controlExists(statusLine)) desktop::setTextColor(statusLine, view.colour);
}

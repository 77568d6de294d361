#include "ui/outputs_page.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include "broadcast/formats.h"
#include "desktop/desktop.h"
#include "ui/window_layout.h"
#include "ui/window_thread.h"

namespace {

constexpr std::uint32_t onAirColour = 0x008000;
constexpr std::uint32_t underWayColour = 0xA05000;
constexpr std::uint32_t failedColour = 0xC00000;
constexpr std::uint32_t offColour = 0x000000;

constexpr std::int32_t highestPort = 65535;
constexpr std::int32_t longestSplit = 24 * 60;  // a file a day, from midnight

// The formats the page offers: those the settings file has a word for (AAC has none).
std::vector<const StreamFormat*> offeredFormats() {
    std::vector<const StreamFormat*> out;
    for (const StreamFormat& format : formats::all)
        if (!format.key.empty()) out.push_back(&format);
    return out;
}

int positionOfKey(const std::string& key) {
    const auto offered = offeredFormats();
    for (std::size_t i = 0; i < offered.size(); ++i)
        if (offered[i]->key == key) return static_cast<int>(i);
    return -1;
}

// The output whose settings the fields show (window thread only). An edit's event that comes
// after another output was chosen, before the fields were filled again, still belongs to it.
int shownOutput = firstExtraOutput;

// Changes the record's text settings under the text lock, in one step.
template <typename Change>
void changeSettings(Larkspur* record, Change&& change) {
    std::lock_guard<std::mutex> guard(textLock());
    change(record->textPart);
}

// The text part cannot hold a port beyond 65535: such a port is none (connect then says so).
std::int32_t portOf(const std::string& text) {
    const std::int32_t port = parseInteger(text);
    return port < 0 || port > highestPort ? 0 : port;
}

std::int32_t splitOf(const std::string& text) { return std::clamp(parseInteger(text), 0, longestSplit); }

// A format word and its bitrate in a format list, its bitrate list and unit.
void showFormat(int formatList, int bitrateList, int unit, const std::string& key, std::int32_t bitrate) {
    desktop::select(formatList, std::max(positionOfKey(key), 0));
    showBitrateList(bitrateList, unit, formatNamed(key), bitrate, true);
}

// A format chosen in a page list: its word and a bitrate it offers, the nearest to the one set.
void chooseFormat(int formatList, int bitrateList, int unit, std::string& key, std::int32_t& bitrate) {
    const int position = desktop::selected(formatList);
    const auto offered = offeredFormats();
    if (position < 0 || position >= static_cast<int>(offered.size())) return;
    const StreamFormat& format = *offered[static_cast<std::size_t>(position)];
    key = std::string(format.key);
    bitrate = showBitrateList(bitrateList, unit, format, bitrate, true);
}

// "lossless", or nothing chosen, is no bitrate: the one set stays.
void chooseBitrate(int bitrateList, const std::string& key, std::int32_t& bitrate) {
    const int position = desktop::selected(bitrateList);
    if (position < 0 || formatNamed(key).bitrates.empty()) return;
    bitrate = parseInteger(desktop::itemText(bitrateList, position));
}

void showLine(int control, const std::string& text, std::uint32_t colour) {
    desktop::setText(control, text);
    desktop::setTextColor(control, colour);
    desktop::setToolTip(control, text);  // a long failure runs past the line
}

std::uint32_t colourOf(const OutputState& state) {
    switch (state.phase) {
    case OutputPhase::onAir: return onAirColour;
    case OutputPhase::connecting:
    case OutputPhase::reconnecting: return underWayColour;
    case OutputPhase::off: break;
    }
    return state.failure.empty() ? offColour : failedColour;
}

}  // namespace

std::string outputStateText(int n, const OutputState& state) {
    const std::string name = "Output " + std::to_string(n) + ": ";
    switch (state.phase) {
    case OutputPhase::onAir: return name + "on the air";
    case OutputPhase::connecting: return name + "connecting...";
    case OutputPhase::reconnecting:
        return name + (state.failure.empty() ? "reconnecting..." : "reconnecting: " + state.failure);
    case OutputPhase::off: break;
    }
    return name + (state.failure.empty() ? "off" : "off: " + state.failure);
}

std::string recordingStateText(const RecordingState& state) {
    if (state.on) {
        const std::string file = state.file.substr(state.file.find_last_of("/\\") + 1);
        return file.empty() ? "Recording: on" : "Recording: on, " + file;
    }
    return state.failure.empty() ? "Recording: off" : "Recording: off: " + state.failure;
}

void buildOutputsPage(Larkspur* record) {
    for (int n = firstExtraOutput; n <= lastOutput; ++n) desktop::addItem(outputChoice, "Output " + std::to_string(n));
    for (const StreamFormat* format : offeredFormats()) {
        desktop::addItem(outputFormat, std::string(format->name));
        desktop::addItem(recordFormat, std::string(format->name));
    }
    desktop::select(outputChoice, 0);
    shownOutput = firstExtraOutput;
    if (!record) return;
    // What the lists show is what connect uses: a bitrate its format lacks becomes the nearest.
    changeSettings(record, [](TextSettings& text) {
        for (OutputSettings& o : text.outputs) o.bitrate = offeredBitrate(formatNamed(o.format), o.bitrate, true);
        text.recording.bitrate = offeredBitrate(formatNamed(text.recording.format), text.recording.bitrate, true);
    });
    showOutputSettings(record);
    showOutputStates();
}

void showOutputSettings(Larkspur* record) {
    if (!record) return;
    const int n = firstExtraOutput + std::clamp(desktop::selected(outputChoice), 0, lastOutput - firstExtraOutput);
    shownOutput = n;
    const TextSettings text = textSettingsOf(*record);
    const OutputSettings& o = text.output(n);
    desktop::setChecked(outputEnabled, o.enabled);
    desktop::setText(outputServer, o.server);
    desktop::setText(outputPort, std::to_string(o.port));
    desktop::setText(outputPassword, o.password);
    showFormat(outputFormat, outputBitrate, outputBitrateUnit, o.format, o.bitrate);

    const RecordingSettings& r = text.recording;
    desktop::setChecked(recordEnabled, r.enabled);
    desktop::setText(recordFolder, r.folder);
    desktop::setText(recordSplit, std::to_string(r.split));
    showFormat(recordFormat, recordBitrate, recordBitrateUnit, r.format, r.bitrate);
}

bool handleOutputsPageEvent(Larkspur* record, int control) {
    if (!record) return false;
    const int n = shownOutput;
    // Controls are read before the text lock is taken: the window's calls take locks of their own.
    switch (control) {
    case outputChoice: showOutputSettings(record); return true;
    case outputEnabled: {
        const bool on = desktop::checked(outputEnabled);
        changeSettings(record, [&](TextSettings& t) { t.output(n).enabled = on; });
        return true;
    }
    case outputServer: {
        const std::string server = desktop::text(outputServer);
        changeSettings(record, [&](TextSettings& t) { t.output(n).server = server; });
        return true;
    }
    case outputPort: {
        const std::int32_t port = portOf(desktop::text(outputPort));
        changeSettings(record, [&](TextSettings& t) { t.output(n).port = port; });
        return true;
    }
    case outputPassword: {
        const std::string password = desktop::text(outputPassword);
        changeSettings(record, [&](TextSettings& t) { t.output(n).password = password; });
        return true;
    }
    case outputFormat: {
        OutputSettings o = textSettingsOf(*record).output(n);
        chooseFormat(outputFormat, outputBitrate, outputBitrateUnit, o.format, o.bitrate);
        changeSettings(record, [&](TextSettings& t) {
            t.output(n).format = o.format;
            t.output(n).bitrate = o.bitrate;
        });
        return true;
    }
    case outputBitrate: {
        OutputSettings o = textSettingsOf(*record).output(n);
        chooseBitrate(outputBitrate, o.format, o.bitrate);
        changeSettings(record, [&](TextSettings& t) { t.output(n).bitrate = o.bitrate; });
        return true;
    }
    case recordEnabled: {
        const bool on = desktop::checked(recordEnabled);
        changeSettings(record, [&](TextSettings& t) { t.recording.enabled = on; });
        return true;
    }
    case recordFolder: {
        const std::string folder = desktop::text(recordFolder);
        changeSettings(record, [&](TextSettings& t) { t.recording.folder = folder; });
        return true;
    }
    case recordFormat: {
        RecordingSettings r = textSettingsOf(*record).recording;
        chooseFormat(recordFormat, recordBitrate, recordBitrateUnit, r.format, r.bitrate);
        changeSettings(record, [&](TextSettings& t) {
            t.recording.format = r.format;
            t.recording.bitrate = r.bitrate;
        });
        return true;
    }
    case recordBitrate: {
        RecordingSettings r = textSettingsOf(*record).recording;
        chooseBitrate(recordBitrate, r.format, r.bitrate);
        changeSettings(record, [&](TextSettings& t) { t.recording.bitrate = r.bitrate; });
        return true;
    }
    case recordSplit: {
        const std::int32_t split = splitOf(desktop::text(recordSplit));
        changeSettings(record, [&](TextSettings& t) { t.recording.split = split; });
        return true;
    }
    default: return false;
    }
}

void showOutputStates() {
    for (int n = 1; n <= lastOutput; ++n) {
        const OutputState state = outputState(n);
        showLine(firstStateLine + n - 1, outputStateText(n, state), colourOf(state));
    }
    const RecordingState recording = recordingState();
    const std::uint32_t colour = recording.on ? onAirColour : recording.failure.empty() ? offColour : failedColour;
    showLine(recordingStateLine, recordingStateText(recording), colour);
}

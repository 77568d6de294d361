#include "ui/meters.h"

#include <array>

#include "audio/levels.h"
#include "broadcast/connection.h"
#include "broadcast/dead_air.h"
#include "broadcast/title_status.h"
#include "desktop/desktop.h"

namespace {

// Window thread only.
std::array<PeakMeter, 3> peakMeters;

}  // namespace

void startMeters(const Larkspur* record) {
    peakMeters = {};
    if (!record) return;
    const TextSettings text = textSettingsOf(*record);
    setDeadAirSettings({text.deadAirThreshold, text.deadAirSeconds});
}

void updateMeters(Larkspur* record, std::int64_t nowMs) {
    if (!record) return;
    // Each reading covers the time since the last, so no peak falls between two ticks.
    const StationLevels levels = readStationLevels(*record, float(meterTimerPeriodMs) / 1000.0f);
    desktop::setMeter(musicMeter, peakMeters[0].update(levels.music, nowMs));
    desktop::setMeter(microphoneMeter, peakMeters[1].update(levels.microphone, nowMs));
    desktop::setMeter(airMeter, peakMeters[2].update(levels.air, nowMs));
    if (watchForDeadAir(record->streaming == 1, levels.air, nowMs)) {
        // Sound is back before the host's has streamed a second: the line says so, not the warning.
        if (!deadAirWatch().active() && record->streaming == 1) setStatus(noDataStatus);
        updateStatus(record);
    }
}

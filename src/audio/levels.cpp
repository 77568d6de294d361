#include "audio/levels.h"

#include <algorithm>
#include <cmath>

#include "bass.h"

double levelDb(float factor) {
    if (!(factor > 0.0f)) return desktop::meterFloorDb;
    return std::clamp(20.0 * std::log10(double(factor)), desktop::meterFloorDb, 0.0);
}

namespace {

double peakDb(DWORD channel, float seconds) {
    if (channel == 0) return desktop::meterFloorDb;
    float level = 0.0f;
    if (!BASS_ChannelGetLevelEx(channel, &level, seconds, BASS_LEVEL_MONO)) return desktop::meterFloorDb;
    return levelDb(level);
}

}  // namespace

StationLevels readStationLevels(const Larkspur& record, float seconds) {
    StationLevels levels;
    levels.music = peakDb(record.hostStream, seconds);
    levels.microphone = peakDb(record.recordChannel, seconds);
    levels.air = peakDb(record.mixer, seconds);
    return levels;
}

desktop::MeterReading PeakMeter::update(double peakDb, std::int64_t nowMs) {
    const double elapsed = started_ ? double(std::max<std::int64_t>(nowMs - lastMs_, 0)) / 1000.0 : 0.0;
    started_ = true;
    lastMs_ = nowMs;
    bar_ = std::max(peakDb, std::max(bar_ - fallDbPerSecond * elapsed, desktop::meterFloorDb));
    if (peakDb >= hold_) {
        hold_ = peakDb;
        holdSinceMs_ = nowMs;
    } else if (nowMs - holdSinceMs_ >= holdMs) {
        hold_ = bar_;  // the mark lets go and rides the bar down
        holdSinceMs_ = nowMs - holdMs;
    }
    if (peakDb >= clipDb) clipUntilMs_ = nowMs + clipMs;
    return {bar_, hold_, nowMs < clipUntilMs_};
}

#include "broadcast/dead_air.h"

#include <algorithm>

#include "broadcast/station_log.h"

namespace {

// Both values in one word, so that a reader never sees half of a change.
std::uint64_t packed(const DeadAirSettings& s) {
    return std::uint64_t(std::uint32_t(s.thresholdDb)) << 32 | std::uint32_t(s.seconds);
}
std::atomic<std::uint64_t> settingsWord{packed(DeadAirSettings{})};

}  // namespace

DeadAirSettings deadAirSettings() {
    const std::uint64_t word = settingsWord.load();
    return {std::int32_t(std::uint32_t(word >> 32)), std::int32_t(std::uint32_t(word))};
}

void setDeadAirSettings(const DeadAirSettings& settings) {
    settingsWord.store(packed({std::clamp(settings.thresholdDb, -120, 0), std::clamp(settings.seconds, 0, 3600)}));
}

bool DeadAirWatch::update(bool onAir, double airDb, std::int64_t nowMs, const DeadAirSettings& settings) {
    const bool wasActive = active_;
    lastMs_ = nowMs;
    if (!onAir || airDb >= double(settings.thresholdDb) || settings.seconds <= 0) {
        silent_ = false;
        active_ = false;
    } else {
        if (!silent_) {
            silentSinceMs_ = nowMs;
            silent_ = true;
        }
        active_ = nowMs - silentSinceMs_.load() >= std::int64_t(settings.seconds) * 1000;
    }
    return active_ != wasActive;
}

int DeadAirWatch::silentSeconds() const {
    return silent_ ? int((lastMs_.load() - silentSinceMs_.load()) / 1000) : 0;
}

DeadAirWatch& deadAirWatch() {
    static DeadAirWatch watch;
    return watch;
}

bool watchForDeadAir(bool onAir, double airDb, std::int64_t nowMs) {
    DeadAirWatch& watch = deadAirWatch();
    if (!watch.update(onAir, airDb, nowMs, deadAirSettings())) return false;
    logDeadAir(watch.active());
    return true;
}

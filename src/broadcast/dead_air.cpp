#include "broadcast/dead_air.h"

#include <string>

#include "broadcast/station_events.h"

std::atomic<DeadAirSettings> deadAirSettings{DeadAirSettings{}};

bool DeadAirWatch::update(bool onAir, double airDb, std::int64_t nowMs, const DeadAirSettings& settings) {
    const bool wasActive = active_;
    lastMs_ = nowMs;
    if (!onAir || airDb >= double(settings.thresholdDb)) {
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
    if (!watch.update(onAir, airDb, nowMs, deadAirSettings.load())) return false;
    if (watch.active())
        noteStationEvent(StationEvent::DeadAirBegins, "silent for " + std::to_string(watch.silentSeconds()) + " s");
    else
        noteStationEvent(StationEvent::DeadAirEnds);
    return true;
}

// Dead air: what goes on the air stays below a threshold for a set time while the station is
// on the air. Decided on the window thread at every meter tick, on the time it is handed.
#pragma once

#include <atomic>
#include <cstdint>

// The presenter's choice (the settings file's text part carries them).
struct DeadAirSettings {
    int thresholdDb = -50;  // dBFS: quieter than this is silence
    int seconds = 15;       // silence this long is dead air; 0: no warning
};
// The settings in force, read at every decision: a change takes effect at the next meter tick.
// Any thread. Values are kept within -120..0 dBFS and 0..3600 s (the settings file's ranges).
DeadAirSettings deadAirSettings();
void setDeadAirSettings(const DeadAirSettings& settings);

class DeadAirWatch {
public:
    // The air's level now. Returns true when the warning begins or ends with this tick.
    bool update(bool onAir, double airDb, std::int64_t nowMs, const DeadAirSettings& settings);
    bool active() const { return active_.load(); }
    // Whole seconds of silence up to the last update (0 while there is sound or the station is
    // off the air).
    int silentSeconds() const;

private:
    // Updated on the window thread; read by the status line on any thread.
    std::atomic<bool> silent_{false};  // below the threshold since silentSinceMs_
    std::atomic<std::int64_t> silentSinceMs_{0};
    std::atomic<std::int64_t> lastMs_{0};
    std::atomic<bool> active_{false};
};

// The station's watch: fed by the meter tick on the window thread, read by the status line.
DeadAirWatch& deadAirWatch();
// One meter tick's look at the air: updates the watch and notes where the warning begins and
// ends. True when it did either (the status line then changes at once).
bool watchForDeadAir(bool onAir, double airDb, std::int64_t nowMs);

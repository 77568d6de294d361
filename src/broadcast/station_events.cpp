#include "broadcast/station_events.h"

#include <atomic>

namespace {

std::atomic<StationEventSink> eventSink{nullptr};

}  // namespace

void setStationEventSink(StationEventSink sink) { eventSink.store(sink); }

void noteStationEvent(StationEvent event, const std::string& detail) {
    if (StationEventSink sink = eventSink.load()) sink(event, detail);
}

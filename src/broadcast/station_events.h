// What the station log records, each from one place: dead air beginning and ending, each
// failure with its reason, each reconnect attempt. The log itself is a sink set at start-up;
// without one the events go nowhere.
#pragma once

#include <string>

#include "broadcast/failure_reason.h"

enum class StationEvent {
    Failure,           // detail: the reason in words
    ReconnectAttempt,  // detail: "attempt N" and the last reason
    DeadAirBegins,     // detail: how long it has been silent
    DeadAirEnds,
};

// Called on the thread where the event happens (window thread, a failure handler); must not
// touch widgets or take the connection lock.
using StationEventSink = void (*)(StationEvent event, const std::string& detail);
void setStationEventSink(StationEventSink sink);  // nullptr: none

void noteStationEvent(StationEvent event, const std::string& detail = {});

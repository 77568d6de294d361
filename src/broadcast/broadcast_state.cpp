#include "broadcast/broadcast_state.h"

#include "broadcast/dead_air.h"

BroadcastState broadcastState;

void resetBroadcastState() {
    broadcastState.connecting = false;
    broadcastState.reconnecting = false;
    broadcastState.attempt = 0;
    broadcastState.lastFailure = FailureReason::None;
    broadcastState.carriedMs = 0;
    deadAirWatch().update(false, 0.0, 0, deadAirSettings());
}

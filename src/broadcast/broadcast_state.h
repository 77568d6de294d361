// What the status line needs to know of the broadcast beyond `streaming`: a connect under way,
// the reconnect loop's attempts, the last failure's reason and the time streamed before a
// reconnection. Written by the connection operations on any thread, read by the status timer.
#pragma once

#include <atomic>
#include <cstdint>

#include "broadcast/failure_reason.h"

struct BroadcastState {
    std::atomic<bool> connecting{false};  // the user's connect is under way
    std::atomic<bool> reconnecting{false};  // a failure handler's reconnect loop runs
    std::atomic<int> attempt{0};            // its attempt under way or last made; 0 before the first
    std::atomic<FailureReason> lastFailure{FailureReason::None};  // cleared by the user's connect and disconnect
    // Host sound streamed by the broadcast's earlier connections (before a reconnection), in ms:
    // the streaming time goes on across reconnects. The gaps between them are not counted.
    std::atomic<std::int64_t> carriedMs{0};
};

extern BroadcastState broadcastState;

// Nothing under way, nothing failed, no time carried, no dead air: a fresh start (Quit, tests).
void resetBroadcastState();

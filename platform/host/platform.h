// What the player's platforms do differently beside the main window, the loader and the sound
// output: start-up, where the module lives, stop requests from outside, and the block clock.
#pragma once

#include <chrono>
#include <string>

namespace host {

// Once, first thing in main, before any thread starts.
void initPlatform();

// <the player's folder>/Plugins/ and the module's file name on this platform.
std::string defaultPluginPath();

// Waits up to `timeoutMs` for a stop request from outside (a signal, a console event); its
// reason ("interrupted", "terminated"), or null when none came.
const char* waitForStop(int timeoutMs);

// The playback thread's wait for its next block, as close to `due` as the system allows.
void sleepUntil(std::chrono::steady_clock::time_point due);

}  // namespace host

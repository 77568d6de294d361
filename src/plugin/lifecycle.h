// Start-up, Init, Config and Quit, apart from the exports, so tests can run them with a
// window thread procedure of their own.
#pragma once

#include "plugin/host_interface.h"
#include "settings/larkspur.h"

using WindowProcedure = int (*)(Larkspur* record);
using ShutdownStep = void (*)(Larkspur* record);

constexpr int hiddenWindow = 0;
constexpr int quitWaitMs = 3000;
constexpr const char* aboutTitle = "Larkspur v0.1";

// At load: channels 2, failure reports on, the three images decoded.
void startUp(Larkspur* record);

// Init: loads the settings, opens window 0, then runs `procedure` on the window thread.
// 0 on success, 1 when window 0 cannot be opened (no thread is started then).
int startPlugin(Larkspur* record, const winampDSPModule* module, WindowProcedure procedure);

// Quit: asks the window thread to end and waits up to 3000 ms, then ends its loop by force,
// runs `cancel` (may be null: it ends whatever else the thread waits on) and joins it; runs
// `shutdown` (may be null), closes window 0 and saves the settings (only after an Init, so a
// stray Quit cannot empty the file).
int stopPlugin(Larkspur* record, ShutdownStep shutdown, ShutdownStep cancel = nullptr);

// Config: the about box; returns once it is closed.
int showAbout();

bool windowThreadRunning();

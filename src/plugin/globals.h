// Process-wide state shared by the plug-in's threads.
#pragma once

#include <atomic>
#include <cstdint>

#include "desktop/desktop.h"

extern std::atomic<std::int32_t> showErrors;             // gates every failure message box
extern std::atomic<desktop::NativeWindow> hostWindow;    // the host's main window, from Init
extern std::atomic<std::int32_t> stopRequested;          // Quit asks the window thread to end

extern desktop::Image bannerImage;  // 265 x 45
extern desktop::Image logoImage;    // 235 x 115
extern desktop::Image windowIcon;   // 16 x 16

// Process-wide state shared by the plug-in's threads; all zero until start-up.
#include "plugin/globals.h"

std::atomic<std::int32_t> showErrors{0};
std::atomic<desktop::NativeWindow> hostWindow{0};
std::atomic<std::int32_t> stopRequested{0};

desktop::Image bannerImage;
desktop::Image logoImage;
desktop::Image windowIcon;

// Process-wide state shared by the plug-in's threads; all zero until start-up.
// constinit: the load-time start-up of another file fills them, so no dynamic
// initialisation may run after it and wipe them.
#include "plugin/globals.h"

constinit std::atomic<std::int32_t> showErrors{0};
constinit std::atomic<desktop::NativeWindow> hostWindow{0};
constinit std::atomic<std::int32_t> stopRequested{0};

constinit desktop::Image bannerImage;
constinit desktop::Image logoImage;
constinit desktop::Image windowIcon;

#include "ui/window_thread.h"

int windowThreadProc(Larkspur*) { return 0; }
void handleControlEvent(Larkspur*, int) {}
void onFormatChosen(Larkspur*) {}
std::int32_t parseInteger(const std::string&) { return 0; }

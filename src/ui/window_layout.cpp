#include "ui/window_layout.h"

void buildWindow(Larkspur*) {}
int showRecord(Larkspur*) { return 1; }

// The configuration window: its controls, built from one table, and the record shown in them.
#pragma once

#include "settings/larkspur.h"

constexpr int configWindow = 1;
constexpr int configClientWidth = 259;
constexpr int configClientHeight = 416;  // the meters below the tab pages

void buildWindow(Larkspur* record);
int showRecord(Larkspur* record);

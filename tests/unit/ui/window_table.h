// The window's table as the tests expect it: every control in creation order, with the text
// it shows for a record without a settings file.
#pragma once

#include "desktop/desktop.h"

namespace window_table {

struct Row {
    int number;
    desktop::ControlKind kind;
    int page, x, y, w, h;
    const char* text;
    bool tabStop;
};

using K = desktop::ControlKind;
constexpr int W = desktop::onWindow;

inline constexpr Row rows[] = {
    {18, K::Image, W, 0, 0, 265, 45, "", false},
    {30, K::CenteredText, W, 0, 45, 260, 20, "", false},
    {0, K::TabControl, W, 0, 65, 260, 295, "", true},
    {31, K::ToggleButton, 0, 13, 13, 130, 25, "Connect", true},
    {32, K::Text, 0, 13, 48, 135, 15, "Winampvolume:", false},
    {33, K::Trackbar, 0, 13, 63, 230, 30, "", true},
    {34, K::Text, 0, 13, 103, 170, 15, "Winampvolume while speaking:", false},
    {35, K::Trackbar, 0, 13, 118, 230, 30, "", true},
    {36, K::Text, 0, 13, 158, 170, 15, "Devicevolume while speaking:", false},
    {37, K::Trackbar, 0, 13, 173, 230, 30, "", true},
    {38, K::PushButton, 0, 13, 223, 160, 30, "Speak", true},
    {39, K::ToggleButton, 0, 178, 223, 70, 30, "Hold", true},
    {40, K::CheckBox, 0, 148, 18, 95, 15, "auto reconnect", true},
    {1, K::GroupBox, 1, 8, 13, 240, 100, "Connection", false},
    {2, K::Text, 1, 23, 33, 85, 15, "Server:", false},
    {3, K::Edit, 1, 23, 48, 150, 20, "", true},
    {4, K::NumberEdit, 1, 178, 48, 60, 20, "0", true},  // the record's port, shown
    {5, K::PasswordEdit, 1, 78, 78, 105, 20, "", true},
    {6, K::Text, 1, 178, 33, 40, 15, "Port:", false},
    {7, K::Text, 1, 23, 83, 50, 15, "Password:", false},
    {8, K::GroupBox, 1, 8, 118, 240, 145, "UserData", false},
    {9, K::Text, 1, 23, 138, 75, 15, "Stationname:", false},
    {10, K::Text, 1, 168, 138, 45, 15, "Genre:", false},
    {11, K::CheckBox, 1, 193, 78, 45, 20, "Public", true},
    {12, K::Edit, 1, 23, 153, 140, 20, "", true},
    {13, K::Edit, 1, 168, 153, 70, 20, "", true},
    {14, K::Text, 1, 23, 178, 55, 15, "Url:", false},
    {15, K::Edit, 1, 23, 193, 70, 20, "", true},
    {43, K::Text, 1, 98, 178, 55, 15, "ICQ:", false},
    {41, K::Edit, 1, 98, 193, 65, 20, "", true},
    {44, K::Text, 1, 167, 178, 55, 15, "IRC:", false},
    {42, K::Edit, 1, 167, 193, 70, 20, "", true},
    {16, K::Text, 1, 23, 218, 60, 15, "Description:", false},
    {17, K::Edit, 1, 23, 233, 140, 20, "", true},
    {45, K::Text, 1, 168, 218, 45, 15, "AIM:", false},
    {46, K::Edit, 1, 168, 233, 70, 20, "", true},
    {19, K::Text, 2, 13, 18, 50, 15, "Input:", false},
    {20, K::DropList, 2, 63, 13, 180, 20, "", true},
    {21, K::Text, 2, 13, 58, 50, 15, "Stream:", false},
    {22, K::DropList, 2, 63, 53, 65, 20, "", true},
    {23, K::Text, 2, 133, 58, 15, 15, "@", false},
    {24, K::DropList, 2, 153, 53, 90, 20, "", true},
    {25, K::Text, 2, 63, 88, 30, 15, "with", false},
    {26, K::DropList, 2, 93, 83, 75, 20, "", true},
    {27, K::Text, 2, 173, 88, 30, 15, "kb/s", false},
    {28, K::PushButton, 2, 8, 118, 235, 25, "Open Mixer", true},
    {29, K::Image, 2, 13, 153, 235, 115, "", false},
};

// The fourth page, "  Outputs  ", after the described ones; off the air, without a text part.
inline constexpr Row outputsRows[] = {
    {47, K::DropList, 3, 8, 6, 85, 20, "", true},
    {48, K::CheckBox, 3, 100, 8, 80, 15, "enabled", true},
    {49, K::Text, 3, 8, 34, 45, 15, "Server:", false},
    {50, K::Edit, 3, 55, 31, 193, 20, "", true},
    {51, K::Text, 3, 8, 59, 45, 15, "Port:", false},
    {52, K::NumberEdit, 3, 55, 56, 50, 20, "0", true},
    {53, K::Text, 3, 110, 59, 56, 15, "Password:", false},
    {54, K::PasswordEdit, 3, 168, 56, 80, 20, "", true},
    {55, K::Text, 3, 8, 84, 45, 15, "Stream:", false},
    {56, K::DropList, 3, 55, 81, 65, 20, "", true},
    {57, K::DropList, 3, 125, 81, 72, 20, "", true},
    {58, K::Text, 3, 202, 84, 30, 15, "kb/s", false},
    {59, K::CheckBox, 3, 8, 113, 78, 15, "Record to:", true},
    {66, K::Edit, 3, 88, 111, 160, 20, "", true},
    {67, K::Text, 3, 8, 139, 45, 15, "Stream:", false},
    {68, K::DropList, 3, 55, 136, 65, 20, "", true},
    {69, K::DropList, 3, 125, 136, 72, 20, "", true},
    {70, K::Text, 3, 202, 139, 30, 15, "kb/s", false},
    {71, K::Text, 3, 8, 164, 45, 15, "Split:", false},
    {72, K::NumberEdit, 3, 55, 161, 35, 20, "0", true},
    {73, K::Text, 3, 95, 164, 153, 15, "min (0: a file per connect)", false},
    {74, K::Text, 3, 8, 189, 240, 13, "Output 1: off", false},
    {75, K::Text, 3, 8, 202, 240, 13, "Output 2: off", false},
    {76, K::Text, 3, 8, 215, 240, 13, "Output 3: off", false},
    {77, K::Text, 3, 8, 228, 240, 13, "Output 4: off", false},
    {78, K::Text, 3, 8, 241, 240, 13, "Output 5: off", false},
    {79, K::Text, 3, 8, 254, 240, 13, "Recording: off", false},
};

}  // namespace window_table

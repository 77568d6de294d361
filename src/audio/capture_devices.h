// The capture device list as a presenter expects it: the system's default input first, then
// the other inputs, monitors of outputs last and marked as such. A choice is kept by the
// device's stable name (text part) as well as its library number (recordDevice), so that a
// device plugged in or out does not move it.
#pragma once

#include <string>
#include <vector>

#include "settings/larkspur.h"

struct CaptureDevice {
    int number = 0;          // what BASS_RecordInit takes
    std::string name;        // as listed
    std::string stableName;  // BASS_DEVICEINFO.driver
    bool isDefault = false;
    bool monitor = false;
};

// The library's devices in the presenter's order, read afresh.
std::vector<CaptureDevice> captureDevices();

// The position in `devices` of the station's choice: the device of that stable name; without
// a name, the device numbered recordDevice when that is not 0 (a choice kept by an older
// version; 0 is what a station that never chose holds); else, or when that device is gone,
// the default input. -1 for an empty list.
int chosenCaptureDevice(const std::vector<CaptureDevice>& devices, const std::string& stableName,
                        int recordDevice);

// Window thread: fills the list control with captureDevices() and keeps what it showed.
void showCaptureDevices(int control);
// Window thread: the position to select for the record in the list shown.
int shownCaptureDevice(const Larkspur& record);
// Window thread: the user chose the device at that position of the list shown.
void chooseCaptureDevice(Larkspur& record, int position);

// Any thread (connect): the number to open, from the devices there are now; -1 (the
// library's default input) when the station never chose or its device is gone.
int captureDeviceNumber(const Larkspur& record);

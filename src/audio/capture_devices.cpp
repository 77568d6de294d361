#include "audio/capture_devices.h"

#include <algorithm>

#include "bass.h"
#include "broadcast/station_log.h"
#include "desktop/desktop.h"

namespace {

// A library that never ends its list must not hang the window.
constexpr DWORD maxDevices = 1024;
constexpr std::string_view monitorMark = "Monitor of ";

// What the list control shows; window thread only.
std::vector<CaptureDevice>& shownDevices() {
    static auto* shown = new std::vector<CaptureDevice>;  // never destroyed: the thread may outlive exit
    return *shown;
}

int rank(const CaptureDevice& d) { return d.monitor ? 2 : d.isDefault ? 0 : 1; }

int positionOfNumber(const std::vector<CaptureDevice>& devices, int number) {
    for (std::size_t i = 0; i < devices.size(); ++i)
        if (devices[i].number == number) return static_cast<int>(i);
    return -1;
}

}  // namespace

std::vector<CaptureDevice> captureDevices() {
    std::vector<CaptureDevice> devices;
    for (DWORD n = 0; n < maxDevices; ++n) {
        BASS_DEVICEINFO info{};
        if (!BASS_RecordGetDeviceInfo(n, &info)) break;
        // Devices with a flags word of 0 are listed too: a device number is never skipped.
        CaptureDevice d;
        d.number = static_cast<int>(n);
        d.name = info.name ? info.name : "";
        d.stableName = info.driver ? info.driver : "";
        d.isDefault = (info.flags & BASS_DEVICE_DEFAULT) != 0;
        d.monitor = (info.flags & BASS_DEVICE_LOOPBACK) != 0;
        if (d.monitor && !d.name.starts_with(monitorMark)) d.name = std::string(monitorMark) + d.name;
        devices.push_back(std::move(d));
    }
    std::stable_sort(devices.begin(), devices.end(),
                     [](const CaptureDevice& a, const CaptureDevice& b) { return rank(a) < rank(b); });
    return devices;
}

int chosenCaptureDevice(const std::vector<CaptureDevice>& devices, const std::string& stableName,
                        int recordDevice) {
    if (devices.empty()) return -1;
    int position = -1;
    if (!stableName.empty()) {
        for (std::size_t i = 0; i < devices.size() && position < 0; ++i)
            if (devices[i].stableName == stableName) position = static_cast<int>(i);
    } else if (recordDevice != 0) {
        position = positionOfNumber(devices, recordDevice);
    }
    // The default input leads the list when there is one.
    return position < 0 ? 0 : position;
}

void showCaptureDevices(int control) {
    std::vector<CaptureDevice>& shown = shownDevices();
    shown = captureDevices();
    if (!desktop::controlExists(control)) return;
    for (const CaptureDevice& d : shown) desktop::addItem(control, d.name);
}

int shownCaptureDevice(const Larkspur& record) {
    return chosenCaptureDevice(shownDevices(), textSettingsOf(record).captureDevice, record.recordDevice);
}

void chooseCaptureDevice(Larkspur& record, int position) {
    const std::vector<CaptureDevice>& shown = shownDevices();
    TextSettings text = textSettingsOf(record);
    if (position >= 0 && static_cast<std::size_t>(position) < shown.size()) {
        record.recordDevice = shown[static_cast<std::size_t>(position)].number;
        text.captureDevice = shown[static_cast<std::size_t>(position)].stableName;
    } else {
        record.recordDevice = position;  // nothing chosen, as the list says
        text.captureDevice.clear();
    }
    storeTextSettings(record, text);
}

int captureDeviceNumber(const Larkspur& record) {
    const std::string name = textSettingsOf(record).captureDevice;
    if (name.empty()) return record.recordDevice != 0 ? record.recordDevice.load() : -1;
    for (const CaptureDevice& d : captureDevices())
        if (d.stableName == name) return d.number;
    // A listing cut short by Quit says nothing about the device.
    if (BASS_ErrorGetCode() == BASS_ERROR_RECORD_CANCEL) return -1;
    logCaptureDeviceMissing(name);
    return -1;
}

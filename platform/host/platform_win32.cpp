#include "platform.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <thread>

namespace host {

namespace {

std::atomic<const char*> stopReason{nullptr};
HANDLE stopEvent = nullptr;

BOOL WINAPI onConsoleEvent(DWORD type) {
    const char* reason = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT ? "interrupted" : "terminated";
    const char* none = nullptr;
    stopReason.compare_exchange_strong(none, reason);
    SetEvent(stopEvent);
    // A closed console ends the process once this returns: hold it while the main thread
    // stops the player and the module's Quit saves the settings (the system allows 5 s).
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) Sleep(10000);
    return TRUE;  // handled: the main thread stops the player in order
}

}  // namespace

void initPlatform() {
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    // The block schedule wants millisecond sleeps, not the default 15.6 ms tick.
    timeBeginPeriod(1);
}

std::string defaultPluginPath() {
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return "Plugins\\dsp_wren.dll";
    std::string path(buf, n);
    return path.substr(0, path.find_last_of("\\/") + 1) + "Plugins\\dsp_wren.dll";
}

const char* waitForStop(int timeoutMs) {
    if (const char* r = stopReason.exchange(nullptr)) return r;
    if (WaitForSingleObject(stopEvent, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0) {
        ResetEvent(stopEvent);
        return stopReason.exchange(nullptr);
    }
    return nullptr;
}

void sleepUntil(std::chrono::steady_clock::time_point due) { std::this_thread::sleep_until(due); }

}  // namespace host

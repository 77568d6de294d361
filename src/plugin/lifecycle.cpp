#include "plugin/lifecycle.h"

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

#include "plugin/globals.h"
#include "resources/images.h"

namespace {

// Never destroyed: a host that ends without Quit (its display went away) must not be
// aborted by the destructor of a thread still running.
std::thread& windowThread = *new std::thread;
std::atomic<bool> windowThreadDone{false};
// Quit saves only what Init loaded: a Quit without Init would overwrite the user's file with
// an empty record.
std::atomic<bool> settingsLoaded{false};

}  // namespace

void startUp(Larkspur* record) {
    record->channels = 2;
    showErrors.store(1);
    decodeEmbeddedImages(bannerImage, logoImage, windowIcon);
}

int startPlugin(Larkspur* record, const winampDSPModule* module, WindowProcedure procedure) {
    // A second Init while running would reload the record under the window thread's feet.
    if (windowThread.joinable()) return 0;
    loadSettings(record);
    settingsLoaded.store(true);
    const desktop::NativeWindow parent = module ? module->hwndParent : 0;
    if (!desktop::openHiddenWindow(hiddenWindow, parent, 288, 150)) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    hostWindow.store(parent);
    if (procedure == nullptr) return 0;
    desktop::resetLoop();
    stopRequested.store(0);
    windowThreadDone.store(false);
    try {
        windowThread = std::thread([record, procedure] {
            try {
                procedure(record);
            } catch (...) {
                // An exception must not end the host's process from this thread.
            }
            windowThreadDone.store(true);
        });
    } catch (const std::system_error&) {
        // Runs without its window then, as if the thread had never been asked for.
    }
    return 0;
}

int stopPlugin(Larkspur* record, ShutdownStep shutdown, ShutdownStep cancel) {
    if (windowThread.joinable()) {
        stopRequested.store(1);
        const auto start = std::chrono::steady_clock::now();
        // The thread clears the flag as its last act; a procedure that returned on its own
        // (its window failed) never looks at it.
        while (stopRequested.load() != 0 && !windowThreadDone.load()) {
            if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(quitWaitMs)) {
                // Closes a box the thread shows and ends its loop; `cancel` ends a connect it
                // waits on, so the join ends too. Never leave a thread running into unloaded code.
                desktop::endLoop();
                if (cancel) cancel(record);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        windowThread.join();
        stopRequested.store(0);
    }
    if (shutdown) shutdown(record);
    if (desktop::windowExists(hiddenWindow)) desktop::closeWindow(hiddenWindow);
    if (settingsLoaded.exchange(false)) saveSettings(record);
    return 0;
}

int showAbout() {
    desktop::messageBox(desktop::foregroundWindowOfThisProcess(), aboutTitle,
                        "Larkspur\r\n\r\nTurns the player into an internet radio station: what it plays, "
                        "mixed with your microphone, is encoded to MP3 or Ogg Vorbis and sent to a "
                        "SHOUTcast or Icecast server together with the track titles.\r\n\r\n"
                        "Open the Larkspur window to set up the station and go on the air.");
    return 0;
}

bool windowThreadRunning() { return windowThread.joinable() && !windowThreadDone.load(); }

#include "platform.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "main_window.h"

namespace host {

namespace {
sigset_t stopSignals;
}

void initPlatform() {
    initXlibThreads();
    // Signals are taken by the main thread only; every thread started from here (the
    // module's included) inherits the blocked mask.
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
}

std::string defaultPluginPath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "./Plugins/dsp_wren.so";
    std::string path(buf, static_cast<std::size_t>(n));
    return path.substr(0, path.find_last_of('/') + 1) + "Plugins/dsp_wren.so";
}

const char* waitForStop(int timeoutMs) {
    timespec wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000L * 1000L};
    int sig = sigtimedwait(&stopSignals, nullptr, &wait);
    if (sig == SIGINT) return "interrupted";
    if (sig == SIGTERM) return "terminated";
    return nullptr;
}

void sleepUntil(std::chrono::steady_clock::time_point due) { std::this_thread::sleep_until(due); }

}  // namespace host

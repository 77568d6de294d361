// The module's six exports. Nothing here may throw into the host.
#include "broadcast/connection.h"
#include "plugin/host_interface.h"
#include "plugin/lifecycle.h"
#include "plugin/sample_tap.h"
#include "settings/larkspur.h"
#include "ui/window_thread.h"

#if defined(_WIN32)
#define LARKSPUR_EXPORT extern "C" __declspec(dllexport)
#else
#define LARKSPUR_EXPORT extern "C" __attribute__((visibility("default")))
#endif

LARKSPUR_EXPORT winampDSPModule* getModule(int index);
LARKSPUR_EXPORT int Config(winampDSPModule* module);
LARKSPUR_EXPORT int Init(winampDSPModule* module);
LARKSPUR_EXPORT int DSPProc(winampDSPModule* module, short int* samples, int numsamples, int bps, int nch,
                            int srate);
LARKSPUR_EXPORT int Quit(winampDSPModule* module);

namespace {

// Start-up when the module is loaded.
struct AtLoad {
    AtLoad() {
        try {
            startUp(&station);
        } catch (...) {
            // Out of memory while decoding: the window goes without its pictures.
        }
    }
} atLoad;

}  // namespace

LARKSPUR_EXPORT winampDSPHeader* winampDSPGetHeader2() {
    return fillHostRecords({getModule, Config, Init, DSPProc, Quit});
}

LARKSPUR_EXPORT winampDSPModule* getModule(int index) { return moduleRecord(index); }

LARKSPUR_EXPORT int Config(winampDSPModule*) {
    try {
        return showAbout();
    } catch (...) {
        return 0;
    }
}

LARKSPUR_EXPORT int Init(winampDSPModule* module) {
    try {
        return startPlugin(&station, module, windowThreadProc);
    } catch (...) {
        return 1;
    }
}

LARKSPUR_EXPORT int DSPProc(winampDSPModule*, short int* samples, int numsamples, int bps, int nch, int srate) {
    return dspProc(&station, samples, numsamples, bps, nch, srate);
}

LARKSPUR_EXPORT int Quit(winampDSPModule*) {
    try {
        return stopPlugin(&station, shutdownBroadcast, cancelConnects);
    } catch (...) {
        return 0;
    }
}

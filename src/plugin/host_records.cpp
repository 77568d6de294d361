// The header and module records handed to the host.
#include "plugin/host_interface.h"

namespace {

char headerDescription[] = "Larkspur Streaming DSP";
char moduleDescription[] = "DSP 1";

winampDSPHeader header{};
winampDSPModule module{};

}  // namespace

winampDSPHeader* fillHostRecords(const HostEntryPoints& entries) {
    header.version = DSP_HDRVER;
    header.description = headerDescription;
    header.getModule = entries.getModule;

    // The host fills in hwndParent and hDllInstance after each call; userData is never written.
    module.description = moduleDescription;
    module.hwndParent = 0;
    module.hDllInstance = nullptr;
    module.Config = entries.Config;
    module.Init = entries.Init;
    module.ModifySamples = entries.ModifySamples;
    module.Quit = entries.Quit;
    return &header;
}

winampDSPModule* moduleRecord(int index) { return index == 0 ? &module : nullptr; }

#include "module_loader.h"

namespace host {

const char* bindModule(GetHeaderProc getHeader, LoadedModule& out) {
    if (!getHeader) return "not a DSP module (no winampDSPGetHeader2)";
    DspHeader* header = getHeader();
    if (!header || !header->getModule) return "not a DSP module (no header or getModule)";
    DspModule* module = header->getModule(0);
    if (!module) return "the module offers no module 0";
    if (!module->Init || !module->ModifySamples || !module->Quit || !module->Config)
        return "module 0 lacks Init, Config, ModifySamples or Quit";
    out.header = header;
    out.module = module;
    return nullptr;
}

}  // namespace host

// Loads a DSP module the way the host does: dlopen or LoadLibrary, winampDSPGetHeader2,
// getModule(0).
#pragma once

#include <string>

#include "dsp_module.h"

namespace host {

struct LoadedModule {
    void* handle = nullptr;
    DspHeader* header = nullptr;
    DspModule* module = nullptr;
};

// False with a one-line reason when the file cannot be loaded or lacks the entry points;
// nothing stays loaded then.
bool loadModule(const std::string& path, LoadedModule& out, std::string& error);
void unloadModule(LoadedModule& m);

// The host's part once the file is loaded: the header, module 0 and its four calls. Null when
// all is there (then `out` has header and module), else the reason.
const char* bindModule(GetHeaderProc getHeader, LoadedModule& out);

}  // namespace host

// The DSP module records as the host sees them (published layout, header version 0x20).
#pragma once

#include "host_interface.h"

namespace host {

using DspModule = winampDSPModule;
using DspHeader = winampDSPHeader;
using GetHeaderProc = winampDSPHeader* (*)();

}  // namespace host

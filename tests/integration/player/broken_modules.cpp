// Test doubles of modules a host must refuse: one without the entry point (BROKEN_NO_ENTRY),
// one whose header offers no module 0.
#include "host_interface.h"

#ifdef BROKEN_NO_ENTRY
extern "C" __attribute__((visibility("default"))) int somethingElse() { return 1; }
#else
namespace {
winampDSPModule* noModule(int) { return nullptr; }
winampDSPHeader header{DSP_HDRVER, const_cast<char*>("No module"), noModule};
}  // namespace
extern "C" __attribute__((visibility("default"))) winampDSPHeader* winampDSPGetHeader2() { return &header; }
#endif

#include <windows.h>

#include <cstdint>

#include "error.h"

namespace bassx {
namespace {
// A TLS slot of the process, taken when the library loads: the code is kept in the slot's
// pointer itself, so no thread ever allocates for it (the compiler's thread_local would, on
// its first use from the host's playback thread).
const DWORD slot = TlsAlloc();
}  // namespace

void setError(int code) { TlsSetValue(slot, reinterpret_cast<void*>(static_cast<intptr_t>(code))); }
int lastError() { return static_cast<int>(reinterpret_cast<intptr_t>(TlsGetValue(slot))); }

}  // namespace bassx

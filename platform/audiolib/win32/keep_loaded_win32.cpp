// The engine's DLL pinned once it runs threads of its own (see threads.h).
#include <windows.h>

#include <mutex>

#include "threads.h"

namespace bassx {

void keepEngineLoaded() {
    static std::once_flag pinned;
    std::call_once(pinned, [] {
        HMODULE self = nullptr;
        // The module holding this code: BASS.dll, or a test program linked with the engine.
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCSTR>(&keepEngineLoaded), &self);
    });
}

}  // namespace bassx

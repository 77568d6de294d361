#include <windows.h>

#include "backend.h"

namespace desktop::detail {

// The full path in the ANSI code page, as the host's own folder is named to the encoders.
std::string readExecutablePath() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

// The Win32 controls are not there yet: the window lives in memory.
Backend& nativeBackend() { return headlessBackend(); }

}  // namespace desktop::detail

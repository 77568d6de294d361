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

Backend& nativeBackend() { return win32Backend(); }
const char* nativeBackendName() { return "win32"; }

}  // namespace desktop::detail

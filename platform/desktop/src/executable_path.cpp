#include <climits>
#include <unistd.h>

#include "backend.h"

namespace desktop::detail {

std::string readExecutablePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

Backend& nativeBackend() { return fltkBackend(); }
const char* nativeBackendName() { return "fltk"; }

}  // namespace desktop::detail

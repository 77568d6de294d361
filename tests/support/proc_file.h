// A /proc file read whole. The entry of a process or thread that ends while it is read fails
// the read with ESRCH, which a file stream turns into an exception: plain reads here, and what
// was read so far.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>

inline std::string readProcFile(const std::string& path) {
    std::string out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return out;
}

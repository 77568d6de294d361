#include "file_output.h"

#include <fcntl.h>

#include <cerrno>

#include "bass.h"

#if defined(_WIN32)
#include <io.h>
#include <sys/stat.h>
// The ANSI forms, as every system call here; not inherited by the encoder processes.
#define LARKSPUR_OPEN_FLAGS (_O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT)
#define LARKSPUR_OPEN(path) ::_open(path, LARKSPUR_OPEN_FLAGS, _S_IREAD | _S_IWRITE)
#define LARKSPUR_WRITE(fd, p, n) ::_write(fd, p, static_cast<unsigned>(n))
#define LARKSPUR_CLOSE ::_close
#else
#include <unistd.h>
#define LARKSPUR_OPEN(path) ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644)
#define LARKSPUR_WRITE(fd, p, n) ::write(fd, p, n)
#define LARKSPUR_CLOSE ::close
#endif

namespace bassx {

FileOutput::~FileOutput() { close(); }

int FileOutput::open(const std::string& path) {
    if (fd_ >= 0 || path.empty()) return BASS_ERROR_ILLPARAM;
    fd_ = LARKSPUR_OPEN(path.c_str());
    return fd_ >= 0 ? BASS_OK : BASS_ERROR_FILEOPEN;
}

bool FileOutput::write(const void* data, size_t len) {
    if (fd_ < 0 || failed_) return false;
    auto* p = static_cast<const char*>(data);
    // In slices: a 32-bit write count on Windows, and a short write (a disk filling up) is
    // followed by one that tells why.
    while (len > 0) {
        const size_t slice = len < (1u << 20) ? len : (1u << 20);
        const auto n = LARKSPUR_WRITE(fd_, p, slice);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failed_ = true;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void FileOutput::close() {
    if (fd_ >= 0) LARKSPUR_CLOSE(fd_);
    fd_ = -1;
}

}  // namespace bassx

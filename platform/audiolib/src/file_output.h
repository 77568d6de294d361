// The file a recording's encoder writes into: always a new file (an existing one is never
// replaced), written as the program's output comes, with nothing held back in the library.
#pragma once

#include <cstddef>
#include <string>

namespace bassx {

class FileOutput {
public:
    FileOutput() = default;
    ~FileOutput();
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;

    // BASS error code: BASS_ERROR_FILEOPEN when the file exists or cannot be made.
    int open(const std::string& path);
    // All of it or false (disk full, an I/O error): the file is then broken off for good.
    bool write(const void* data, size_t len);
    void close();

private:
    int fd_ = -1;
    bool failed_ = false;
};

}  // namespace bassx

// Shared by the fuzz targets: each runs in a private temp folder with the headless desktop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz_support {

// Once per process: a fresh temp folder becomes the working folder (the settings file lands
// there), the headless backend is chosen and fake_bass is reset. Returns the folder.
const std::string& setUp();

// Aborts with a message: libFuzzer keeps the input that got us here.
[[noreturn]] void fail(const char* what, const std::string& detail = {});

inline void check(bool condition, const char* what, const std::string& detail = {}) {
    if (!condition) fail(what, detail);
}

// Printable form of bytes for failure messages.
std::string printable(const std::string& bytes);

}  // namespace fuzz_support

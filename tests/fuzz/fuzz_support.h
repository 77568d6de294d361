// Shared by the fuzz targets: each runs in a private temp folder with the headless desktop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz_support {

// Once per process: a fresh temp folder for the settings file, the headless backend chosen,
// fake_bass reset. Returns the folder.
const std::string& setUp();

// While it lives the private folder is the working folder (the settings file is found by its
// bare name); the fuzzer's own relative paths work again once it goes.
class InPrivateFolder {
public:
    InPrivateFolder();
    ~InPrivateFolder();
    InPrivateFolder(const InPrivateFolder&) = delete;
    InPrivateFolder& operator=(const InPrivateFolder&) = delete;

private:
    int previous_;
};

// Aborts with a message: libFuzzer keeps the input that got us here.
[[noreturn]] void fail(const char* what, const std::string& detail = {});

inline void check(bool condition, const char* what, const std::string& detail = {}) {
    if (!condition) fail(what, detail);
}

// Printable form of bytes for failure messages.
std::string printable(const std::string& bytes);

}  // namespace fuzz_support

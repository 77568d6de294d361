// What the security suites share: the station under test with its password, the fake audio
// library, and stderr caught in a file.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "broadcast/connection.h"
#include "fake_bass.h"
#include "test_station.h"

namespace security {

namespace fs = std::filesystem;

inline const std::string secret = "pw-Sekr1t-42";

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A name of its own below the temporary folder.
inline fs::path tempPath(const std::string& tag) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return fs::temp_directory_path() / ("larkspur-" + tag + "-" + std::to_string(now));
}

// Everything written to stderr while it lives goes to a file instead.
class CapturedStderr {
public:
    CapturedStderr() : path_(tempPath("stderr")) {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int fd = ::open(path_.string().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    std::string stop() {
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        std::string text = readFile(path_);
        fs::remove(path_);
        return text;
    }

private:
    fs::path path_;
    int saved_;
};

class Security : public ::testing::Test {
protected:
    void SetUp() override {
        test_station::openWindow();
        fake_bass::reset();
        test_station::reset(station);
        test_station::configure(station);
        storeText(station.password, secret);
        showErrors = 1;
    }
    void TearDown() override {
        station.autoReconnect = 0;
        shutdownBroadcast(&station);
    }
};

}  // namespace security

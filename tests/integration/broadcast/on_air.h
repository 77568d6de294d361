// A station on loopback: a private sound server (the capture device), a private Icecast, the
// real engine and the headless desktop with the status line and the Connect toggle.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "fixtures.h"
#include "settings/larkspur.h"

namespace on_air {

// The sound server and the output device, once per test binary.
class Services : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    static fixtures::SoundServer& sound();
};

class Station : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A fresh headless desktop: the configuration window with controls 30 and 31, no boxes.
    void openWindow();
    // The record pointed at `ice`, MP3 at 128 kb/s unless changed.
    void configure(const std::string& contentType = "audio/mpeg");
    std::vector<std::string> boxTexts() const;
    // Polls until the /live source is gone.
    bool sourceGone(std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

    fixtures::Icecast ice;
};

// Encoder processes (lame, oggenc, opusenc, flac) that are children of this process, zombies included.
std::vector<pid_t> encoderChildren();
bool noEncoderLeft(std::chrono::milliseconds limit = std::chrono::seconds(3));
using fixtures::eventually;

}  // namespace on_air

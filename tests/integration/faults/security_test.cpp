// On the air with a real Icecast and real encoders: the password is nowhere but the source
// connection (not in an encoder's command line or environment, the process list, a box or
// stderr), the encoder is our own child with no shell between, and hostile station texts
// and titles arrive as plain values.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "broadcast/connection.h"
#include "broadcast/title_status.h"
#include "desktop/headless.h"
#include "faults.h"
#include "on_air.h"
#include "plugin/globals.h"

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

const auto* services = ::testing::AddGlobalTestEnvironment(new on_air::Services);

const std::string secret = "s3cret-Pass-0451";

class OnAirSecurity : public on_air::Station {
protected:
    void SetUp() override {
        on_air::Station::SetUp();
        ice.stop();
        ASSERT_TRUE(ice.start(secret)) << ice.error();
    }
};

TEST_F(OnAirSecurity, PasswordStaysInTheSourceConnection) {
    const fs::path errPath = fs::temp_directory_path() / ("larkspur-err-" + std::to_string(::getpid()));
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int fd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    ::close(fd);

    configure();  // titles reach Icecast for MP3 mounts
    ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
    const auto encoders = on_air::encoderChildren();
    ASSERT_EQ(encoders.size(), 1u);
    const pid_t encoder = encoders[0];
    const std::string cmdline = faults::cmdlineOf(encoder);
    std::string processList;
    fixtures::run("ps -eo args", &processList);
    hostWindow = 0x51;
    desktop::headless::setWindowTitle(0x51, "1. Some Artist - Some Song - Winamp");
    updateTitle(&station);
    EXPECT_EQ(ice.waitSourceField("title", "Some Artist - Some Song", 3000), "Some Artist - Some Song");
    // A wrong password afterwards: the box must not quote it either.
    toggleConnection(&station, false);
    storeText(station.password, secret + "-wrong");
    EXPECT_EQ(toggleConnection(&station, true), 0);
    toggleConnection(&station, false);

    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::ifstream in(errPath, std::ios::binary);
    const std::string errText((std::istreambuf_iterator<char>(in)), {});
    fs::remove(errPath);

    // The encoder is ours, started without a shell, and knows nothing of the password.
    EXPECT_NE(cmdline.find("lame"), std::string::npos) << cmdline;
    EXPECT_EQ(cmdline.find(secret), std::string::npos) << cmdline;
    EXPECT_EQ(processList.find(secret), std::string::npos);
    EXPECT_TRUE(faults::children("sh").empty());
    EXPECT_EQ(errText.find(secret), std::string::npos) << errText;
    for (const auto& box : boxTexts()) EXPECT_EQ(box.find(secret), std::string::npos) << box;
    EXPECT_EQ(boxTexts().size(), 1u) << ::testing::PrintToString(boxTexts());
}

TEST_F(OnAirSecurity, EncoderEnvironmentHoldsNoPassword) {
    configure();
    storeText(station.password, secret);
    ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
    const auto encoders = on_air::encoderChildren();
    ASSERT_EQ(encoders.size(), 1u);
    EXPECT_EQ(faults::environOf(encoders[0]).find(secret), std::string::npos);
    EXPECT_EQ(faults::cmdlineOf(encoders[0]).find(secret), std::string::npos);
}

// Line breaks cannot add header lines: Icecast sees each text as one plain value.
TEST_F(OnAirSecurity, HostileStationTextsArriveAsPlainValues) {
    configure();
    storeText(station.password, secret);
    storeText(station.stationName, "Larkspur FM\r\nicy-genre: Evil");
    storeText(station.genre, "Jazz\r\nicy-url: http://evil.example/");
    storeText(station.description, "Late\r\n\r\nnight");
    storeText(station.irc, "#lark\r\nicy-name: Evil");
    ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
    EXPECT_EQ(ice.waitSourceField("server_name"), "Larkspur FMicy-genre: Evil");
    EXPECT_EQ(ice.sourceField("genre"), "Jazzicy-url: http://evil.example/");
    EXPECT_EQ(ice.sourceField("server_url"), "http://larkspur.example/");
    EXPECT_EQ(ice.sourceField("server_description"), "Latenight");
}

// Every character that means something in a request line arrives in the title as itself.
TEST_F(OnAirSecurity, TitleWithRequestSyntaxArrivesWhole) {
    configure();
    storeText(station.password, secret);
    ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
    ASSERT_FALSE(ice.waitSourceField("server_type").empty());
    const std::string title = "AC/DC & Friends? #1 100% =+ mode=updinfo&song=x";
    hostWindow = 0x52;
    desktop::headless::setWindowTitle(0x52, "3. " + title + " - Winamp");
    updateTitle(&station);
    EXPECT_EQ(ice.waitSourceField("title", title, 3000), title);
}

}  // namespace

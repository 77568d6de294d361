// The source password stays between the settings file and the source connection; no station
// text reaches a shell, adds an encoder argument, a header line or a request parameter; the
// settings file is readable by its owner only.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "broadcast/connection.h"
#include "fake_bass.h"
#include "icy.h"
#include "process.h"
#include "test_station.h"
#include "title.h"

namespace fs = std::filesystem;

namespace {

const std::string secret = "pw-Sekr1t-42";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Everything written to stderr while it lives goes to a file instead.
class CapturedStderr {
public:
    CapturedStderr() : path_(fs::temp_directory_path() / ("larkspur-stderr-" + std::to_string(::getpid()))) {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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

// Every failing step of a connect and both deaths: the boxes, the encoder's command line and
// stderr never show the password; only the cast set-up receives it.
TEST_F(Security, PasswordReachesOnlyTheSourceConnection) {
    CapturedStderr err;
    for (const char* step : {"BASS_RecordInit", "BASS_StreamCreate", "BASS_Mixer_StreamCreate", "BASS_Encode_Start",
                             "BASS_Encode_CastInit", "BASS_ChannelSetAttribute", "BASS_ChannelPlay",
                             "BASS_Encode_SetNotify", ""}) {
        if (*step) fake_bass::fail(step, BASS_ERROR_UNKNOWN);
        if (toggleConnection(&station, true) != 1) toggleConnection(&station, false);
        fake_bass::clearFailure(step);
    }
    ASSERT_EQ(station.streaming, 1);
    fake_bass::notify(0, BASS_ENCODE_NOTIFY_CAST);
    ASSERT_TRUE(test_station::eventually(
        [] {
            const auto boxes = desktop::headless::boxes();
            return !boxes.empty() && boxes.back().text.rfind("The server connection died!", 0) == 0;
        },
        std::chrono::seconds(3)));
    EXPECT_GE(desktop::headless::boxes().size(), 5u);
    const std::string stderrText = err.stop();

    for (const auto& box : desktop::headless::boxes()) EXPECT_EQ(box.text.find(secret), std::string::npos) << box.text;
    EXPECT_EQ(stderrText.find(secret), std::string::npos);
    int castCalls = 0;
    for (const auto& call : fake_bass::calls()) {
        const bool mayCarry = call.name == "BASS_Encode_CastInit";
        castCalls += mayCarry;
        if (!mayCarry) {
            EXPECT_EQ(call.args.find(secret), std::string::npos) << call.name << "(" << call.args << ")";
        }
    }
    EXPECT_GT(castCalls, 0);
    EXPECT_EQ(fake_bass::lastCommandLine().find(secret), std::string::npos);
}

TEST_F(Security, SettingsFileIsForItsOwnerOnly) {
    const fs::path previous = fs::current_path();
    const fs::path folder = fs::temp_directory_path() / ("larkspur-mode-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    fs::current_path(folder);
    std::ofstream(settingsFileName) << "an older, world-readable file";
    fs::permissions(settingsFileName, fs::perms(0644));
    const mode_t umaskBefore = ::umask(0);  // whatever the host's umask allows
    EXPECT_EQ(saveSettings(&station), 1);
    ::umask(umaskBefore);
    struct stat st {};
    ASSERT_EQ(::stat(settingsFileName, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(readFile(settingsFileName).find(secret), std::string::npos);
    fs::current_path(previous);
    fs::remove_all(folder);
}

// The encoder is started without a shell: a host folder full of shell syntax is one argument,
// and nothing in it runs.
TEST_F(Security, NoTextReachesAShell) {
    const fs::path base = fs::temp_directory_path() / ("larkspur-shell-" + std::to_string(::getpid()));
    const std::string folder = (base / "my player; touch pwned; $(touch pwned2) `touch pwned3` & |").string() + "/";
    fs::create_directories(folder + "Plugins/Larkspur");
    const std::string argsFile = (base / "args").string();
    {
        std::ofstream script(folder + "Plugins/Larkspur/lame");
        script << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" << argsFile << "'\n";
    }
    fs::permissions(folder + "Plugins/Larkspur/lame", fs::perms(0755));
    storeText(station.stationName, "Name; touch pwned4");

    const auto args = bassx::splitCommandLine(encoderCommandLine(station, folder));
    ASSERT_FALSE(args.empty());
    EXPECT_EQ(args[0], folder + "Plugins/Larkspur/lame");
    EXPECT_EQ(args, (std::vector<std::string>{folder + "Plugins/Larkspur/lame", "-r", "-s", "44100", "-b", "128", "-"}));
    {
        bassx::Process process;
        ASSERT_EQ(process.start(args), 0);
        process.end(2000);
    }
    EXPECT_EQ(readFile(argsFile), "-r\n-s\n44100\n-b\n128\n-\n");
    const fs::path cwd = fs::current_path();
    for (const char* name : {"pwned", "pwned2", "pwned3", "pwned4"}) {
        EXPECT_FALSE(fs::exists(cwd / name)) << name;
        EXPECT_FALSE(fs::exists(base / name)) << name;
    }
    fs::remove_all(base);
}

// A host folder holding a double quote cannot be written into the command line: the encoder
// is refused instead of starting whatever program the split would name. The folder is the
// executable's own, so a copy of this binary runs the check from such a folder.
TEST_F(Security, HostFolderWithAQuoteStartsNoProgram) {
    const fs::path folder = fs::temp_directory_path() / ("larkspur-quote-" + std::to_string(::getpid())) /
                            "a\" -b 1 \"x";
    fs::create_directories(folder);
    const fs::path copy = folder / "security_unit_tests";
    fs::copy_file("/proc/self/exe", copy);
    fs::permissions(copy, fs::perms(0755));
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("LARKSPUR_QUOTED_FOLDER", "1", 1);
        ::execl(copy.c_str(), copy.c_str(), "--gtest_also_run_disabled_tests",
                "--gtest_filter=Security.DISABLED_InAQuotedFolder", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the check in the quoted folder failed";
    fs::remove_all(folder.parent_path());
}

TEST_F(Security, DISABLED_InAQuotedFolder) {
    ASSERT_NE(std::getenv("LARKSPUR_QUOTED_FOLDER"), nullptr);
    ASSERT_NE(hostFolder().find('"'), std::string::npos) << hostFolder();
    EXPECT_EQ(startEncoder(&station), 0);
    EXPECT_EQ(fake_bass::count("BASS_Encode_Start"), 0u);
    const auto boxes = desktop::headless::boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.rfind("Couldn't start encoding...", 0), 0u) << boxes[0].text;
}

// CR and LF never leave a station text: whatever the fields hold, the source's header block
// has exactly the lines the station means to send.
TEST_F(Security, NoTextAddsAHeaderLine) {
    storeText(station.stationName, "Larkspur FM\r\nicy-genre: Evil\r\n\r\nGET /");
    storeText(station.genre, "Jazz\r\nX-Injected: 1");
    storeText(station.url, "http://larkspur.example/\nicy-pub: 1");
    storeText(station.description, "Late\rnight");
    storeText(station.irc, "#lark\r\nicy-url: http://evil.example/");
    storeText(station.contentType, "audio/mpeg\r\nX-Type: 2");
    toggleConnection(&station, true);
    const auto casts = fake_bass::callsTo("BASS_Encode_CastInit");
    ASSERT_EQ(casts.size(), 1u);
    const auto& t = casts[0].texts;  // server, pass, content, name, url, genre, desc, headers
    ASSERT_GE(t.size(), 7u);
    for (std::size_t i = 0; i < t.size(); ++i)
        if (i != 3) {
            EXPECT_EQ(t[i].find_first_of("\r\n"), std::string::npos) << i << ": " << t[i];
        }

    bassx::icy::CastParams p;
    p.password = t[1];
    p.content = t[2];
    p.name = t[3];
    p.url = t[4];
    p.genre = t[5];
    p.desc = t[6];
    p.bitrate = 128;
    const std::string block = bassx::icy::buildHeaders(p);
    EXPECT_EQ(block,
              "icy-name:Larkspur FMicy-genre: EvilGET /\r\n"
              "icy-genre:JazzX-Injected: 1\r\n"
              "icy-url:http://larkspur.example/icy-pub: 1\r\n"
              "icy-description:Latenight\r\n"
              "icy-pub:0\r\n"
              "icy-br:128\r\n"
              "content-type:audio/mpegX-Type: 2\r\n"
              "icy-irc: #larkicy-url: http://evil.example/\r\n"
              "\r\n");
}

// The title update's values cannot add request parameters, end the request line or the header.
TEST(TitleRequest, EveryValueIsUrlEncoded) {
    const std::string request = bassx::title::buildRequest("127.0.0.1", 8000, "p&ss=1?#%", "AC/DC & Friends? #1 100% =+\r\nX: y",
                                                           "http://x.example/?a=1&b=2#c");
    EXPECT_EQ(request.substr(0, request.find("\r\n")),
              "GET /admin.cgi?pass=p%26ss%3D1%3F%23%25&mode=updinfo"
              "&song=AC%2FDC%20%26%20Friends%3F%20%231%20100%25%20%3D%2B%0D%0AX%3A%20y"
              "&url=http%3A%2F%2Fx.example%2F%3Fa%3D1%26b%3D2%23c HTTP/1.0");
    EXPECT_EQ(request.find("\r\n\r\n"), request.size() - 4);
    EXPECT_EQ(bassx::title::urlEncode("\xc3\xa9\x01 ~._-"), "%C3%A9%01%20~._-");
}

}  // namespace

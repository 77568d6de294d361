// The host player as a process: its real-time block schedule, the calling order it gives a
// module, its main window title, the conversion of files to 44100 Hz stereo, bad input, and
// shut-down on signals with the real module.
#include <gtest/gtest.h>
// Xlib after gtest, and its clashing macros gone after it.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#undef None
#undef Bool
#undef Status
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "display.h"
#include "fixtures.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

extern char** environ;

namespace {

constexpr double kBlocksPerSecond = 44100.0 / 576.0;

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream s(text);
    for (std::string l; std::getline(s, l);) out.push_back(l);
    return out;
}

// key=value of a log line ("quit blocks=3 bad=0 ...").
long long field(const std::string& line, const std::string& key) {
    auto at = line.find(" " + key + "=");
    if (at == std::string::npos) return -1;
    return std::stoll(line.substr(at + key.size() + 2));
}

std::string findLine(const std::vector<std::string>& ls, const std::string& prefix) {
    for (const auto& l : ls)
        if (l.rfind(prefix, 0) == 0) return l;
    return {};
}

class Player {
public:
    // env: a value sets the variable, nullopt removes it.
    Player(const std::vector<std::string>& args, const std::map<std::string, std::optional<std::string>>& env,
           const std::string& cwd, const std::string& errFile) {
        std::map<std::string, std::string> all;
        for (char** e = environ; *e; ++e) {
            std::string kv = *e;
            auto eq = kv.find('=');
            if (eq != std::string::npos) all[kv.substr(0, eq)] = kv.substr(eq + 1);
        }
        for (const auto& [k, v] : env) {
            if (v)
                all[k] = *v;
            else
                all.erase(k);
        }
        std::vector<std::string> envs, argv{PLAYER_EXE};
        for (const auto& [k, v] : all) envs.push_back(k + "=" + v);
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(cwd.c_str()) != 0) _exit(120);
            int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 2);
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(devnull, 1);
            std::vector<char*> a, e;
            for (auto& s : argv) a.push_back(s.data());
            for (auto& s : envs) e.push_back(s.data());
            a.push_back(nullptr);
            e.push_back(nullptr);
            execve(a[0], a.data(), e.data());
            _exit(121);
        }
    }
    ~Player() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    bool running() {
        if (pid_ <= 0) return false;
        int st;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = st;
            pid_ = 0;
            return false;
        }
        return true;
    }
    // Exit status, or -1 when it did not end in time (it is killed then).
    int wait(std::chrono::milliseconds limit) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (running()) {
            if (std::chrono::steady_clock::now() > until) return -1;
            std::this_thread::sleep_for(20ms);
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }

private:
    pid_t pid_ = -1;
    int status_ = 0;
};

struct Tone {
    int format;
    int rate;
    int channels;
    double hz;
    double seconds;
    const char* artist = nullptr;
    const char* title = nullptr;
};

void writeTone(const std::string& path, const Tone& t) {
    SF_INFO info{};
    info.samplerate = t.rate;
    info.channels = t.channels;
    info.format = t.format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    if (t.artist) sf_set_string(f, SF_STR_ARTIST, t.artist);
    if (t.title) sf_set_string(f, SF_STR_TITLE, t.title);
    auto frames = static_cast<sf_count_t>(t.seconds * t.rate);
    std::vector<float> buf(static_cast<std::size_t>(frames * t.channels));
    for (sf_count_t i = 0; i < frames; ++i)
        for (int c = 0; c < t.channels; ++c)
            buf[static_cast<std::size_t>(i * t.channels + c)] =
                static_cast<float>(0.5 * std::sin(2 * M_PI * t.hz * double(i) / t.rate));
    sf_writef_float(f, buf.data(), frames);
    sf_close(f);
}

// Frequency from the rising zero crossings of one channel of interleaved stereo.
double frequency(const std::vector<std::int16_t>& st, int channel, std::size_t from, std::size_t to) {
    int crossings = 0;
    std::size_t first = 0, last = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
        if (st[2 * (i - 1) + channel] < 0 && st[2 * i + channel] >= 0) {
            if (crossings == 0) first = i;
            last = i;
            ++crossings;
        }
    }
    if (crossings < 2) return 0;
    return 44100.0 * (crossings - 1) / double(last - first);
}

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fixtures::makeTempDir("player-test");
        log_ = dir_ + "/dsp.log";
        err_ = dir_ + "/stderr.txt";
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::map<std::string, std::optional<std::string>> env(bool display = false) {
        return {{"LARKSPUR_TEST_DSP_LOG", log_},
                {"DISPLAY", display ? std::optional<std::string>(xvfb_.name()) : std::nullopt}};
    }
    std::vector<std::string> logLines() { return lines(slurp(log_)); }
    // Server radio.example.org, port 8000, MP3 at 128 kb/s, 44100 Hz stereo; the file's path.
    std::string writeUsersSettings() {
        const std::string settings = dir_ + "/Larkspur_Settings.dat";
        std::string block(2584, '\0');
        std::memcpy(&block[0], "radio.example.org", 17);
        std::memcpy(&block[1530], "audio/mpeg", 10);
        const std::int32_t port = 8000, bitrate = 128, rate = 44100, channels = 2;
        std::memcpy(&block[1785], &port, 4);
        std::memcpy(&block[1789], &bitrate, 4);
        std::memcpy(&block[1807], &rate, 4);
        std::memcpy(&block[1811], &channels, 4);
        std::ofstream(settings, std::ios::binary) << block;
        return settings;
    }

    std::string dir_, log_, err_;
    fixtures::Display xvfb_;
};

TEST_F(PlayerTest, HandsBlocksInRealTimeInTheHostsOrder) {
    Player p({"--plugin", COUNT_DSP, "--seconds", "3"}, env(), dir_, err_);
    ASSERT_EQ(p.wait(15s), 0) << slurp(err_);

    auto ls = logLines();
    ASSERT_GE(ls.size(), 5u) << slurp(log_);
    EXPECT_EQ(ls[0], "header");
    EXPECT_EQ(ls[1], "module 0");
    EXPECT_EQ(ls[2], "init hwnd=0 instance=1") << "no display: no main window";
    EXPECT_EQ(ls[3].rfind("quit ", 0), 0u) << ls[3];
    EXPECT_EQ(ls.back(), "unload late=0") << "ModifySamples after Quit, or no dlclose";

    const std::string& quit = ls[3];
    long long blocks = field(quit, "blocks");
    EXPECT_EQ(field(quit, "bad"), 0) << "every block: 576 frames, 16 bit, 2 channels, 44100 Hz";
    EXPECT_EQ(field(quit, "same_thread"), 1) << "Init and Quit on the host's user-interface thread";
    EXPECT_EQ(field(quit, "dsp_off_ui"), 1) << "ModifySamples on the playback thread";
    // About 3 s of blocks, and the rate over their span within 1%.
    EXPECT_NEAR(double(blocks), 3 * kBlocksPerSecond, 10);
    double span = double(field(quit, "span_ns")) / 1e9;
    ASSERT_GT(span, 2.0);
    EXPECT_NEAR((double(blocks) - 1) / span, kBlocksPerSecond, kBlocksPerSecond * 0.01);
}

TEST_F(PlayerTest, WindowTitleNamesTheTrackAndFollowsTrackChanges) {
    ASSERT_TRUE(xvfb_.start()) << "Xvfb did not start";
    const std::string a = dir_ + "/a.wav", b = dir_ + "/b.flac", c = dir_ + "/plain name.wav";
    writeTone(a, {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 440, 1.2, "Artist A", "Song A"});
    writeTone(b, {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, 660, 1.2, "\xC3\x98rjan", "Caf\xC3\xA9"});
    writeTone(c, {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 880, 1.2});
    const std::vector<std::string> want{"1. Artist A - Song A - Winamp", "2. \xC3\x98rjan - Caf\xC3\xA9 - Winamp",
                                        "3. plain name - Winamp"};

    Player p({"--plugin", COUNT_DSP, "--exit-at-end", a, b, c}, env(true), dir_, err_);
    Window w = 0;
    for (int i = 0; i < 200 && !w; ++i) {
        auto init = findLine(logLines(), "init ");
        if (!init.empty()) w = static_cast<Window>(field(init, "hwnd"));
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_NE(w, 0u) << "a display is there: hwndParent must be the main window\n" << slurp(err_);

    Display* d = XOpenDisplay(xvfb_.name().c_str());
    ASSERT_NE(d, nullptr);
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });  // the window goes at the end
    Atom netName = XInternAtom(d, "_NET_WM_NAME", False), utf8 = XInternAtom(d, "UTF8_STRING", False);
    std::vector<std::string> seenNet, seenWm;
    while (p.running()) {
        Atom type;
        int format;
        unsigned long n, rest;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(d, w, netName, 0, 1024, False, utf8, &type, &format, &n, &rest, &data) == Success &&
            data) {
            std::string t(reinterpret_cast<char*>(data), n);
            if (seenNet.empty() || seenNet.back() != t) seenNet.push_back(t);
            XFree(data);
        }
        XTextProperty prop{};
        if (XGetWMName(d, w, &prop) && prop.value) {
            char** list = nullptr;
            int count = 0;
            if (Xutf8TextPropertyToTextList(d, &prop, &list, &count) >= Success && count > 0) {
                std::string t = list[0];
                if (seenWm.empty() || seenWm.back() != t) seenWm.push_back(t);
                XFreeStringList(list);
            }
            XFree(prop.value);
        }
        std::this_thread::sleep_for(30ms);
    }
    XCloseDisplay(d);
    EXPECT_EQ(p.wait(1s), 0) << slurp(err_);
    EXPECT_EQ(seenNet, want);
    EXPECT_EQ(seenWm, want);
}

void pressKey(Display* d, Window w, KeySym sym) {
    XEvent key{};
    key.xkey.type = KeyPress;
    key.xkey.display = d;
    key.xkey.window = w;
    key.xkey.root = DefaultRootWindow(d);
    key.xkey.same_screen = True;
    key.xkey.keycode = XKeysymToKeycode(d, sym);
    XSendEvent(d, w, True, KeyPressMask, &key);
    XFlush(d);
}

void closeWindow(Display* d, Window w) {
    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.window = w;
    close.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    close.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &close);
    XFlush(d);
}

// The user's hand in the main window: C opens the module's configuration, closing the window
// ends the player through Quit; a stop while the configuration box stays open still quits.
TEST_F(PlayerTest, KeyCConfiguresAndClosingTheWindowQuits) {
    ASSERT_TRUE(xvfb_.start()) << "Xvfb did not start";
    for (bool boxStaysOpen : {false, true}) {
        SCOPED_TRACE(boxStaysOpen ? "configuration box left open, then SIGTERM" : "window closed");
        fs::remove(log_);
        auto e = env(true);
        if (boxStaysOpen) e["LARKSPUR_TEST_DSP_CONFIG_BLOCKS"] = "1";
        Player p({"--plugin", COUNT_DSP, "--loop"}, e, dir_, err_);
        Window w = 0;
        for (int i = 0; i < 200 && !w; ++i) {
            auto init = findLine(logLines(), "init ");
            if (!init.empty()) w = static_cast<Window>(field(init, "hwnd"));
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_NE(w, 0u) << slurp(err_);
        Display* d = XOpenDisplay(xvfb_.name().c_str());
        ASSERT_NE(d, nullptr);

        pressKey(d, w, XK_c);
        for (int i = 0; i < 100 && findLine(logLines(), "config").empty(); ++i) std::this_thread::sleep_for(20ms);
        EXPECT_EQ(findLine(logLines(), "config"), "config same_thread=1") << "Config on the host's UI thread";
        ASSERT_TRUE(p.running());

        if (boxStaysOpen)
            kill(p.pid(), SIGTERM);
        else
            closeWindow(d, w);
        XCloseDisplay(d);
        EXPECT_EQ(p.wait(8s), 0) << slurp(err_);
        auto ls = logLines();
        EXPECT_NE(findLine(ls, "quit "), "") << "Quit keeps the settings";
        EXPECT_EQ(findLine(ls, "quit again"), "");
        if (!boxStaysOpen) {
            EXPECT_EQ(ls.back(), "unload late=0");
        }
    }
}

struct Conversion {
    const char* name;
    Tone tone;
    const char* ext;
    double levelTolerance = 0.02;  // of full scale; lossy coding overshoots a little
};

void PrintTo(const Conversion& c, std::ostream* os) { *os << c.name; }

class ConversionTest : public PlayerTest, public ::testing::WithParamInterface<Conversion> {};

TEST_P(ConversionTest, ModuleGetsTheFileAs44100HzStereo) {
    const Conversion& cv = GetParam();
    const std::string file = dir_ + "/in." + cv.ext, raw = dir_ + "/given.raw";
    writeTone(file, cv.tone);
    auto e = env();
    e["LARKSPUR_TEST_DSP_RAW"] = raw;
    Player p({"--plugin", COUNT_DSP, "--exit-at-end", file}, e, dir_, err_);
    ASSERT_EQ(p.wait(20s), 0) << slurp(err_);

    std::string bytes = slurp(raw);
    std::vector<std::int16_t> st(bytes.size() / 2);
    std::memcpy(st.data(), bytes.data(), st.size() * 2);
    const std::size_t frames = st.size() / 2;
    // Whole blocks, the last one padded with silence.
    EXPECT_EQ(frames % 576, 0u);
    std::size_t sounding = 0;
    for (std::size_t i = 0; i < frames; ++i)
        if (st[2 * i] != 0) sounding = i + 1;
    EXPECT_NEAR(double(sounding), cv.tone.seconds * 44100, 0.002 * 44100) << "duration kept";
    EXPECT_LT(frames - sounding, 576u + 64);

    std::size_t differ = 0;
    for (std::size_t i = 0; i < frames; ++i)
        if (st[2 * i] != st[2 * i + 1]) ++differ;
    EXPECT_EQ(differ, 0u) << "both channels carry the same signal";
    EXPECT_NEAR(frequency(st, 0, 0, sounding), cv.tone.hz, cv.tone.hz * 0.002) << "pitch kept";

    std::int16_t peak = 0;
    for (auto s : st) peak = std::max<std::int16_t>(peak, static_cast<std::int16_t>(std::abs(s)));
    EXPECT_NEAR(peak, 0.5 * 32767, cv.levelTolerance * 32767) << "level kept";
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ConversionTest,
    ::testing::Values(Conversion{"Mono22050Wav", {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 22050, 1, 1000, 1.0}, "wav"},
                      Conversion{"Stereo48000Flac", {SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 2, 1000, 1.0}, "flac"},
                      Conversion{"Mono44100Ogg", {SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 1, 500, 1.0}, "ogg"},
                      Conversion{"Stereo32000Mp3", {SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 32000, 2, 750, 1.0},
                                 "mp3", 0.06}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PlayerTest, UnreadableFilesAreSkippedWithOneLineEach) {
    const std::string text = dir_ + "/notes.wav", missing = dir_ + "/missing.flac", good = dir_ + "/good.wav";
    const std::string aiff = dir_ + "/other.aiff";  // readable audio, but not a host format
    std::ofstream(text) << "not audio at all\n";
    writeTone(good, {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 440, 0.5});
    writeTone(aiff, {SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44100, 2, 440, 0.5});

    Player p({"--plugin", COUNT_DSP, "--exit-at-end", text, missing, aiff, good}, env(), dir_, err_);
    ASSERT_EQ(p.wait(15s), 0) << slurp(err_);
    auto errs = lines(slurp(err_));
    int skipped = 0;
    for (const auto& l : errs) {
        for (const auto& bad : {text, missing, aiff})
            if (l.rfind("player: skipping " + bad + ": ", 0) == 0) ++skipped;
        EXPECT_EQ(l.find(good), std::string::npos) << l;
    }
    EXPECT_EQ(skipped, 3) << slurp(err_);
    auto quit = findLine(logLines(), "quit ");
    EXPECT_EQ(field(quit, "blocks"), (22050 + 575) / 576) << "the good file still plays, whole";

    // Nothing playable at all: a clear failure, and the module is never loaded.
    fs::remove(log_);
    Player none({"--plugin", COUNT_DSP, text, missing}, env(), dir_, err_);
    EXPECT_EQ(none.wait(10s), 1);
    EXPECT_NE(slurp(err_).find("player: no playable file"), std::string::npos) << slurp(err_);
    EXPECT_FALSE(fs::exists(log_));
}

TEST_F(PlayerTest, SignalsEndPlayingAndCallQuitOnce) {
    for (int sig : {SIGTERM, SIGINT}) {
        fs::remove(log_);
        Player p({"--plugin", COUNT_DSP, "--loop"}, env(), dir_, err_);
        // A loaded machine may take a while to start it: a second of playing counts from Init.
        for (int i = 0; i < 1000 && p.running() && findLine(logLines(), "init ").empty(); ++i)
            std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(1s);
        ASSERT_TRUE(p.running()) << slurp(err_);
        kill(p.pid(), sig);
        ASSERT_EQ(p.wait(5s), 0) << strsignal(sig) << ": " << slurp(err_);
        auto ls = logLines();
        int quits = 0;
        for (const auto& l : ls) quits += l.rfind("quit ", 0) == 0;
        EXPECT_EQ(quits, 1) << strsignal(sig);
        EXPECT_GT(field(findLine(ls, "quit "), "blocks"), 40);
        EXPECT_EQ(ls.back(), "unload late=0") << strsignal(sig);
    }
}

TEST_F(PlayerTest, LosingTheDisplayNeitherEndsPlayingNorSkipsQuit) {
    ASSERT_TRUE(xvfb_.start()) << "Xvfb did not start";
    Player p({"--plugin", COUNT_DSP, "--loop"}, env(true), dir_, err_);
    for (int i = 0; i < 200 && findLine(logLines(), "init ").empty(); ++i) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(500ms);
    xvfb_.stop();
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(p.running()) << slurp(err_);
    kill(p.pid(), SIGTERM);
    EXPECT_EQ(p.wait(5s), 0) << slurp(err_);
    EXPECT_NE(slurp(err_).find("player: lost the display"), std::string::npos) << slurp(err_);
    auto ls = logLines();
    EXPECT_GT(field(findLine(ls, "quit "), "blocks"), 100) << "played on after the display went";
    EXPECT_EQ(ls.back(), "unload late=0");
}

// --audio makes the music audible on the sound server; without it the player is silent.
TEST_F(PlayerTest, AudioOptionPlaysThroughTheSoundServer) {
    fixtures::SoundServer sound;
    ASSERT_TRUE(sound.start()) << sound.error();
    const std::string file = dir_ + "/tone.wav", heard = dir_ + "/heard.raw";
    writeTone(file, {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 660, 5});
    for (bool audible : {true, false}) {
        SCOPED_TRACE(audible ? "--audio" : "silent");
        auto e = env();
        e["PULSE_SERVER"] = sound.pulseServer();
        std::vector<std::string> args{"--plugin", COUNT_DSP, "--seconds", "4", file};
        if (audible) args.insert(args.begin(), "--audio");
        Player p(args, e, dir_, err_);
        std::this_thread::sleep_for(1500ms);
        // The server's only sink feeds its test microphone: record a second of what reaches it
        // (a count of bytes, not of seconds: a loaded machine is slow to start the recorder).
        fixtures::run("PULSE_SERVER='" + sound.pulseServer() +
                      "' timeout 10 parec -d mic --latency-msec=20 --format=s16le --rate=44100 --channels=1 --raw"
                      " | head -c 88200 > '" + heard + "'");
        std::string bytes = slurp(heard);
        std::vector<std::int16_t> mono(bytes.size() / 2);
        std::memcpy(mono.data(), bytes.data(), mono.size() * 2);
        ASSERT_GT(mono.size(), 22050u) << "the recorder got too little";
        double level = fixtures::rmsLevel(mono.data(), mono.size());
        if (audible) {
            EXPECT_GT(level, 0.2);
            EXPECT_NEAR(fixtures::dominantFrequency(mono.data(), mono.size(), 44100), 660, 660 * 0.02);
        } else {
            EXPECT_LT(level, 0.001);
        }
        EXPECT_EQ(p.wait(10s), 0) << slurp(err_);
    }
}

TEST_F(PlayerTest, RealModuleKeepsTheSettingsThroughSigterm) {
    ASSERT_TRUE(fs::exists(REAL_DSP)) << REAL_DSP << " is not built";
    ASSERT_TRUE(xvfb_.start()) << "Xvfb did not start";
    fixtures::SoundServer sound;
    ASSERT_TRUE(sound.start()) << sound.error();

    // A user's settings file: it must come back whole, with the user's server in it.
    const std::string settings = writeUsersSettings();

    auto e = env(true);
    e["PULSE_SERVER"] = sound.pulseServer();
    Player p({"--plugin", REAL_DSP, "--loop"}, e, dir_, err_);
    std::this_thread::sleep_for(3s);
    ASSERT_TRUE(p.running()) << slurp(err_);
    kill(p.pid(), SIGTERM);
    ASSERT_EQ(p.wait(10s), 0) << slurp(err_);

    std::string saved = slurp(settings);
    ASSERT_EQ(saved.size(), 2584u);
    EXPECT_EQ(saved.substr(0, 18), std::string("radio.example.org\0", 18));
    std::int32_t savedPort = 0;
    std::memcpy(&savedPort, &saved[1785], 4);
    EXPECT_EQ(savedPort, 8000);
}

// The module's window, centred on the 1280 x 1024 screen with no window manager, is drawn once
// its Connect toggle's box and label make more than two colours where the bare window has one.
constexpr int configX = (1280 - 259) / 2, configY = (1024 - 416) / 2;  // 259 x 416 with the meters
bool configWindowDrawn(const fixtures::Display& display) {
    Display* d = XOpenDisplay(display.name().c_str());
    if (!d) return false;
    std::set<unsigned long> colours;
    const int x = configX + 3 + 13 + 60, y = configY + 89 + 13 + 12;
    if (XImage* image = XGetImage(d, DefaultRootWindow(d), x - 40, y - 8, 80, 16, AllPlanes, ZPixmap)) {
        for (int row = 0; row < image->height; ++row)
            for (int col = 0; col < image->width; ++col) colours.insert(XGetPixel(image, col, row));
        XDestroyImage(image);
    }
    XCloseDisplay(d);
    return colours.size() > 2;
}

// Killed without Quit: what was changed in the window is in the settings file all the same.
TEST_F(PlayerTest, RealModuleKeepsAChangeThroughSigkill) {
    ASSERT_TRUE(fs::exists(REAL_DSP)) << REAL_DSP << " is not built";
    ASSERT_TRUE(xvfb_.start()) << "Xvfb did not start";
    fixtures::SoundServer sound;
    ASSERT_TRUE(sound.start()) << sound.error();
    const std::string settings = writeUsersSettings();

    auto e = env(true);
    e["PULSE_SERVER"] = sound.pulseServer();
    Player p({"--plugin", REAL_DSP, "--loop"}, e, dir_, err_);
    ASSERT_TRUE(fixtures::eventually([&] { return configWindowDrawn(xvfb_); }, 20s)) << slurp(err_);
    // The server field on the "Server" page: one letter added at its end.
    auto at = [](int x, int y) { return std::to_string(configX + x) + " " + std::to_string(configY + y); };
    xvfb_.xdotool("mousemove " + at(105, 76) + " click 1");
    xvfb_.xdotool("mousemove " + at(3 + 73, 89 + 58) + " click 1");
    xvfb_.xdotool("key End");
    xvfb_.xdotool("type --delay 0 x");
    const std::string changed("radio.example.orgx\0", 19);
    const bool written = fixtures::eventually([&] { return slurp(settings).substr(0, 19) == changed; }, 15s);
    ASSERT_TRUE(p.running()) << slurp(err_);
    kill(p.pid(), SIGKILL);
    EXPECT_EQ(p.wait(10s), 128 + SIGKILL);
    ASSERT_TRUE(written) << "the change never reached the file while the player ran";

    const std::string saved = slurp(settings);
    ASSERT_EQ(saved.size(), 2584u);
    EXPECT_EQ(saved.substr(0, 19), changed);
    std::int32_t savedPort = 0;
    std::memcpy(&savedPort, &saved[1785], 4);
    EXPECT_EQ(savedPort, 8000);
    EXPECT_FALSE(fs::exists(settings + ".new"));
}

TEST_F(PlayerTest, ModulesThatCannotServeEndWithStatus2) {
    const std::string text = dir_ + "/text.so";
    std::ofstream(text) << "not a shared object\n";
    for (std::string bad : {dir_ + "/absent.so", text, std::string(NO_ENTRY_DSP), std::string(NO_MODULE_DSP)}) {
        Player p({"--plugin", bad, "--seconds", "5"}, env(), dir_, err_);
        EXPECT_EQ(p.wait(5s), 2) << bad;
        auto errs = lines(slurp(err_));
        ASSERT_EQ(errs.size(), 1u) << slurp(err_);
        EXPECT_EQ(errs[0].rfind("player: ", 0), 0u) << errs[0];
        EXPECT_NE(errs[0].find(bad), std::string::npos) << "names the module: " << errs[0];
    }
}

}  // namespace

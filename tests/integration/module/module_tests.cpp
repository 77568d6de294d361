// The module as the host sees it: loaded with dlopen, found through its exports, driven in
// the host's order, unloaded. Only the records' published layout is known here.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bass.h"
#include "display.h"

namespace fs = std::filesystem;

// The host's records under their published names (the sanitizers compare the types of
// functions called through pointers by name).
struct winampDSPModule {
    char* description;
    std::uintptr_t hwndParent;
    void* hDllInstance;
    int (*Config)(winampDSPModule*);
    int (*Init)(winampDSPModule*);
    int (*ModifySamples)(winampDSPModule*, short int*, int, int, int, int);
    int (*Quit)(winampDSPModule*);
    void* userData;
};

struct winampDSPHeader {
    int version;
    char* description;
    winampDSPModule* (*getModule)(int);
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LARKSPUR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LARKSPUR_SANITIZED 1
#endif
#endif

namespace {

// The sanitizers lose track of libraries unmapped under them (LeakSanitizer: the window
// system's process-long state; ThreadSanitizer: its suppressed libraries), so under them the
// module stays mapped after dlclose.
#ifdef LARKSPUR_SANITIZED
constexpr int keepMapped = RTLD_NODELETE;
#else
constexpr int keepMapped = 0;
#endif

using GetHeader = winampDSPHeader* (*)();

std::string command(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    return out;
}

class LoadedModule : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        char pattern[] = "/tmp/larkspur-module-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        fs::current_path(folder_);
    }
    void TearDown() override {
        if (handle_) dlclose(handle_);
        fs::current_path(previous_);
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

    // Load, header, module 0: the host's first steps.
    winampDSPModule* load() {
        handle_ = dlopen(LARKSPUR_MODULE, RTLD_NOW | RTLD_LOCAL | keepMapped);
        EXPECT_NE(handle_, nullptr) << dlerror();
        if (!handle_) return nullptr;
        auto getHeader = reinterpret_cast<GetHeader>(dlsym(handle_, "winampDSPGetHeader2"));
        EXPECT_NE(getHeader, nullptr);
        if (!getHeader) return nullptr;
        winampDSPHeader* header = getHeader();
        EXPECT_NE(header, nullptr);
        if (!header) return nullptr;
        winampDSPModule* module = header->getModule(0);
        EXPECT_NE(module, nullptr);
        if (module) module->hwndParent = 0;
        return module;
    }
    void unload() {
        ASSERT_EQ(dlclose(handle_), 0);
        handle_ = nullptr;
    }

    fs::path previous_, folder_;
    void* handle_ = nullptr;
};

std::vector<char> settingsBytes() {
    std::ifstream in("Larkspur_Settings.dat", std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(ModuleExports, ExactlyTheSixEntryPoints) {
    const std::string out = command(std::string("nm -D --defined-only '") + LARKSPUR_MODULE + "'");
    std::set<std::string> names;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (!name.empty()) names.insert(name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"winampDSPGetHeader2", "getModule", "Init", "Config", "DSPProc", "Quit"}));
}

TEST_F(LoadedModule, RecordsAsTheHostFindsThem) {
    winampDSPModule* module = load();
    ASSERT_NE(module, nullptr);
    auto getHeader = reinterpret_cast<GetHeader>(dlsym(handle_, "winampDSPGetHeader2"));
    winampDSPHeader* header = getHeader();
    EXPECT_EQ(header->version, 0x20);
    EXPECT_STREQ(header->description, "Larkspur Streaming DSP");
    EXPECT_EQ(getHeader(), header);
    EXPECT_EQ(header->getModule(1), nullptr);
    EXPECT_EQ(header->getModule(-1), nullptr);
    EXPECT_STREQ(module->description, "DSP 1");
    EXPECT_EQ(reinterpret_cast<void*>(module->Init), dlsym(handle_, "Init"));
    EXPECT_EQ(reinterpret_cast<void*>(module->ModifySamples), dlsym(handle_, "DSPProc"));
    EXPECT_EQ(reinterpret_cast<void*>(module->Quit), dlsym(handle_, "Quit"));
    EXPECT_EQ(reinterpret_cast<void*>(module->Config), dlsym(handle_, "Config"));
    EXPECT_EQ(reinterpret_cast<void*>(header->getModule), dlsym(handle_, "getModule"));
}

// No display: window 0 cannot open, so Init reports 1 and starts nothing; the session still
// ends with the settings saved, and the next load reads them.
TEST_F(LoadedModule, ASessionWithoutADisplaySavesAndTheNextOneReadsTheSettings) {
    unsetenv("DISPLAY");
    {
        winampDSPModule* module = load();
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(module->Init(module), 1);

        std::vector<short> block(576 * 2);
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<short>(i * 3);
        const auto copy = block;
        for (int bps : {16, 24, 8, 12}) EXPECT_EQ(module->ModifySamples(module, block.data(), 576, bps, 2, 44100), 576);
        EXPECT_EQ(block, copy);

        EXPECT_EQ(module->Quit(module), 0);
        unload();
    }
    std::vector<char> first = settingsBytes();
    ASSERT_EQ(first.size(), 2584u);
    struct stat st {};
    ASSERT_EQ(stat("Larkspur_Settings.dat", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // A fresh record saves channels 2 (offset 1811) and nothing else.
    EXPECT_EQ(first[1811], 2);

    // Edit the file as an earlier version would have left it; the next session keeps it.
    std::memcpy(first.data(), "radio.example.org", 17);
    first[1785] = 0x40;
    first[1786] = 0x1f;  // port 8000
    {
        std::ofstream out("Larkspur_Settings.dat", std::ios::binary | std::ios::trunc);
        out.write(first.data(), static_cast<std::streamsize>(first.size()));
    }
    {
        winampDSPModule* module = load();
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(module->Init(module), 1);
        EXPECT_EQ(module->Quit(module), 0);
        unload();
    }
    EXPECT_EQ(settingsBytes(), first);
}

namespace {

// Top-level windows that are mapped on the display.
int visibleWindows(const std::string& display) {
    const std::string out = command("DISPLAY=" + display + " xdotool search --onlyvisible --maxdepth 1 --class '' 2>/dev/null");
    return static_cast<int>(std::count(out.begin(), out.end(), '\n'));
}

// Waits (up to 10 s) until a mapped window with exactly this title shows.
bool windowAppears(const std::string& display, const std::string& title) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        if (!command("DISPLAY=" + display + " xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null").empty())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::int32_t int32At(const std::vector<char>& b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + i])) << (8 * i);
    return static_cast<std::int32_t>(v);
}

class WindowSession : public LoadedModule {
protected:
    // One display for the suite: a module kept mapped keeps its connection to it.
    static void SetUpTestSuite() {
        display_ = new fixtures::Display;
        if (!display_->start()) {
            delete display_;
            display_ = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete display_;
        display_ = nullptr;
    }
    void SetUp() override {
        LoadedModule::SetUp();
        ASSERT_NE(display_, nullptr) << "Xvfb did not start";
        setenv("DISPLAY", display_->name().c_str(), 1);
        // No sound server: the output device runs on its own clock.
        setenv("PULSE_SERVER", (folder_ / "no-server").c_str(), 1);
        baseline_ = visibleWindows(display_->name());
    }
    void TearDown() override {
        LoadedModule::TearDown();
        unsetenv("DISPLAY");
        unsetenv("PULSE_SERVER");
    }
    static fixtures::Display* display_;
    int baseline_ = 0;  // what the display shows before the module opens anything
};

fixtures::Display* WindowSession::display_ = nullptr;

}  // namespace

// The whole session with its window: the window brings the record into range, and Quit's
// handshake ends the thread and saves what the window left.
TEST_F(WindowSession, AFreshStationIsSavedWithTheWindowsDefaults) {
    std::vector<char> older(1819, 0);
    std::memcpy(older.data(), "radio.example.org", 17);
    older[1807] = 0x40;
    older[1808] = 0x1f;  // sampleRate 8000: not offered, replaced when the window is filled
    older[1811] = 1;     // channels 1
    {
        std::ofstream out("Larkspur_Settings.dat", std::ios::binary);
        out.write(older.data(), static_cast<std::streamsize>(older.size()));
    }

    winampDSPModule* module = load();
    ASSERT_NE(module, nullptr);
    ASSERT_EQ(module->Init(module), 0);
    bool shown = false;
    for (int i = 0; i < 100 && !shown; ++i) {
        shown = visibleWindows(display_->name()) > baseline_;
        if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(shown) << "the configuration window did not appear";

    std::vector<short> block(576 * 2, 1000);
    EXPECT_EQ(module->ModifySamples(module, block.data(), 576, 16, 2, 44100), 576);

    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(module->Quit(module), 0);
    // Answered by the thread's next pass: the forced end comes only after 3000 ms.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(3000));
    EXPECT_EQ(visibleWindows(display_->name()), baseline_);
    unload();

    const std::vector<char> saved = settingsBytes();
    ASSERT_EQ(saved.size(), 2584u);
    EXPECT_STREQ(saved.data(), "radio.example.org");
    EXPECT_STREQ(saved.data() + 1530, "audio/mpeg");
    EXPECT_EQ(int32At(saved, 1789), 32);     // bitrate
    EXPECT_EQ(int32At(saved, 1807), 44100);  // sampleRate
    EXPECT_EQ(int32At(saved, 1811), 2);      // channels
    EXPECT_EQ(saved[1819], 0);               // no contacts in the older file
}

// Another user of the audio library holds the output device: the window thread stops in
// its error box, nobody closes it, and Quit still ends the thread and saves.
TEST_F(WindowSession, AWindowThreadHeldByAnErrorBoxIsEndedAndTheSettingsAreSaved) {
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    winampDSPModule* module = load();
    ASSERT_NE(module, nullptr);
    ASSERT_EQ(module->Init(module), 0);
    ASSERT_TRUE(windowAppears(display_->name(), "Larkspur - Error"));

    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(module->Quit(module), 0);
    const auto waited = std::chrono::steady_clock::now() - asked;
    EXPECT_GE(waited, std::chrono::milliseconds(2900));  // the full wait, then the forced end
    EXPECT_LT(waited, std::chrono::milliseconds(10000));
    EXPECT_EQ(visibleWindows(display_->name()), baseline_);
    unload();
    EXPECT_EQ(settingsBytes().size(), 2584u);
    // The device was never the module's: it is still ours to free.
    EXPECT_TRUE(BASS_Free());
}

// The about box of Config waits on the host's thread only: the window thread goes on and
// answers Quit's stop request, and Quit closes the box that nobody answered.
TEST_F(WindowSession, AnAboutBoxLeftOpenHoldsNeitherTheWindowThreadNorQuit) {
    winampDSPModule* module = load();
    ASSERT_NE(module, nullptr);
    ASSERT_EQ(module->Init(module), 0);
    ASSERT_TRUE(windowAppears(display_->name(), ""));  // the configuration window has no title
    std::thread config([module] { module->Config(module); });
    ASSERT_TRUE(windowAppears(display_->name(), "Larkspur v0.1"));

    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(module->Quit(module), 0);
    // Answered by a pass of the thread: the forced end would come only after 3000 ms.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(3000));
    config.join();
    EXPECT_EQ(visibleWindows(display_->name()), baseline_);
    unload();
    EXPECT_EQ(settingsBytes().size(), 2584u);
}

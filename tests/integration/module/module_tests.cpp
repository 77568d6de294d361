// The module as the host sees it: loaded with dlopen, found through its exports, driven in
// the host's order, unloaded. Only the records' published layout is known here.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Module {
    char* description;
    std::uintptr_t hwndParent;
    void* hDllInstance;
    int (*Config)(Module*);
    int (*Init)(Module*);
    int (*ModifySamples)(Module*, short int*, int, int, int, int);
    int (*Quit)(Module*);
    void* userData;
};

struct Header {
    int version;
    char* description;
    Module* (*getModule)(int);
};

using GetHeader = Header* (*)();

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
    Module* load() {
        handle_ = dlopen(LARKSPUR_MODULE, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(handle_, nullptr) << dlerror();
        if (!handle_) return nullptr;
        auto getHeader = reinterpret_cast<GetHeader>(dlsym(handle_, "winampDSPGetHeader2"));
        EXPECT_NE(getHeader, nullptr);
        if (!getHeader) return nullptr;
        Header* header = getHeader();
        EXPECT_NE(header, nullptr);
        if (!header) return nullptr;
        Module* module = header->getModule(0);
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
    const std::string out = command(std::string("nm -D --defined-only ") + LARKSPUR_MODULE);
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
    Module* module = load();
    ASSERT_NE(module, nullptr);
    auto getHeader = reinterpret_cast<GetHeader>(dlsym(handle_, "winampDSPGetHeader2"));
    Header* header = getHeader();
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
        Module* module = load();
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
        Module* module = load();
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(module->Init(module), 1);
        EXPECT_EQ(module->Quit(module), 0);
        unload();
    }
    EXPECT_EQ(settingsBytes(), first);
}

// The probe module and the encoder tap sit in the measured path: they must pass everything
// through unchanged and note the markers where they really are.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "latency_analysis.h"

namespace fs = std::filesystem;

namespace {

struct DspModule {
    const char* description;
    std::uintptr_t hwndParent;
    void* hDllInstance;
    int (*Config)(DspModule*);
    int (*Init)(DspModule*);
    int (*ModifySamples)(DspModule*, short*, int, int, int, int);
    int (*Quit)(DspModule*);
    void* userData;
};
struct DspHeader {
    int version;
    const char* description;
    DspModule* (*getModule)(int);
};

fs::path tempDir() {
    char tmpl[] = "/tmp/latency-test.XXXXXX";
    return fs::path(mkdtemp(tmpl));
}

std::vector<std::string> lines(const fs::path& p, const std::string& key) {
    std::vector<std::string> out;
    std::ifstream f(p);
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key + " ", 0) == 0) out.push_back(line);
    return out;
}

std::string markedPcm(std::int64_t frames) {
    std::string out;
    for (std::int64_t f = 0; f < frames; ++f) {
        std::int16_t s = latency::markSample(f);
        out.append(reinterpret_cast<const char*>(&s), 2);
        out.append(reinterpret_cast<const char*>(&s), 2);
    }
    return out;
}

}  // namespace

TEST(Probe, PassesEveryCallThroughAndNotesMarkers) {
    fs::path dir = tempDir();
    setenv("LARKSPUR_PROBE_MODULE", FAKE_DSP_PATH, 1);
    setenv("LARKSPUR_PROBE_LOG", (dir / "probe.log").c_str(), 1);
    void* fake = dlopen(FAKE_DSP_PATH, RTLD_NOW);
    void* probe = dlopen(PROBE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(fake && probe) << dlerror();
    auto fakeCalls = reinterpret_cast<int (*)(int)>(dlsym(fake, "fakeCalls"));
    auto fakeParent = reinterpret_cast<std::uintptr_t (*)()>(dlsym(fake, "fakeInitParent"));
    auto header = reinterpret_cast<DspHeader* (*)()>(dlsym(probe, "winampDSPGetHeader2"))();
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->version, 0x20);
    EXPECT_STREQ(header->description, "fake header");
    EXPECT_EQ(header->getModule(1), nullptr);
    DspModule* m = header->getModule(0);
    ASSERT_NE(m, nullptr);

    m->hwndParent = 0x1234;
    EXPECT_EQ(m->Init(m), 0);
    EXPECT_EQ(fakeParent(), 0x1234u);
    EXPECT_EQ(m->Config(m), 7);

    // Two seconds in player-sized blocks: the real module's changes come back to the host.
    const std::string pcm = markedPcm(2 * latency::kRate);
    std::vector<short> block(576 * 2);
    for (std::size_t off = 0; off + block.size() * 2 <= pcm.size(); off += block.size() * 2) {
        std::memcpy(block.data(), pcm.data() + off, block.size() * 2);
        short first = block[0];
        ASSERT_EQ(m->ModifySamples(m, block.data(), 576, 16, 2, 44100), 576);
        ASSERT_EQ(block[0], short(-first));
    }
    EXPECT_EQ(m->Quit(m), 0);
    EXPECT_EQ(fakeCalls(0), 1);
    EXPECT_EQ(fakeCalls(1), 1);
    EXPECT_EQ(fakeCalls(3), 1);

    auto onsets = lines(dir / "probe.log", "onset");
    ASSERT_EQ(onsets.size(), 2u);
    EXPECT_NE(onsets[0].find(" 22050"), std::string::npos) << onsets[0];
    EXPECT_NE(onsets[1].find(" 66150"), std::string::npos) << onsets[1];
    EXPECT_EQ(lines(dir / "probe.log", "call_max_ns").size(), 1u);
    fs::remove_all(dir);
}

TEST(Tap, ForwardsBytesBothWaysAndKeepsTheEncodersStatus) {
    fs::path dir = tempDir();
    fs::create_symlink(TOOL_PATH, dir / "lame");
    const std::string pcm = markedPcm(3 * latency::kRate);
    std::ofstream(dir / "in.raw", std::ios::binary).write(pcm.data(), std::streamsize(pcm.size()));

    // cat stands in for lame: what goes in must come out, byte for byte, and be logged.
    std::string cmd = "cd " + dir.string() + " && LARKSPUR_TAP_DIR=" + dir.string() +
                      " LARKSPUR_REAL_LAME=/bin/cat ./lame < in.raw > out.raw";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream out(dir / "out.raw", std::ios::binary), copy(dir / "tap_out.mp3", std::ios::binary);
    std::stringstream o, c;
    o << out.rdbuf();
    c << copy.rdbuf();
    EXPECT_TRUE(o.str() == pcm);
    EXPECT_TRUE(c.str() == pcm);
    EXPECT_EQ(lines(dir / "tap_in.log", "onset").size(), 3u);
    auto outs = lines(dir / "tap_out.log", "out");
    ASSERT_FALSE(outs.empty());
    EXPECT_NE(outs.back().find(" " + std::to_string(pcm.size())), std::string::npos);

    // A failing encoder's exit status reaches whoever started it.
    cmd = "cd " + dir.string() + " && LARKSPUR_TAP_DIR=" + dir.string() +
          " LARKSPUR_REAL_LAME=/bin/false ./lame < /dev/null > /dev/null";
    int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);

    // Without a log folder it is the encoder itself, nothing in between.
    cmd = "cd " + dir.string() + " && LARKSPUR_REAL_LAME=/bin/echo ./lame hello > plain.txt";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream plain(dir / "plain.txt");
    std::string word;
    plain >> word;
    EXPECT_EQ(word, "hello");
    fs::remove_all(dir);
}

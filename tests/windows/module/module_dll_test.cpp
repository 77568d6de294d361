// The DLLs under Wine as a host uses them: dsp_wren.dll loaded with LoadLibrary and driven
// through its exports, and the engine behind BASS.dll encoding with a real lame.exe and
// casting over Winsock to a SHOUTcast v1 stand-in on loopback.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bass.h"
#include "win_support.h"

namespace fs = std::filesystem;

namespace {

using winsupport::exeFolder;
using winsupport::processesNamed;
using winsupport::waitFor;

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

using Bytes = std::vector<char>;

Bytes readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A fresh working folder per test: the settings file is relative to it.
class InFolder : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        folder_ = fs::temp_directory_path() / ("larkspur-win-" + std::to_string(std::random_device{}()));
        ASSERT_TRUE(fs::create_directories(folder_));
        fs::current_path(folder_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    fs::path previous_, folder_;
};

using ModuleDll = InFolder;

TEST_F(ModuleDll, InitAndQuitWriteBackTheSettingsFileByteForByte) {
    const Bytes reference = readFile(LARKSPUR_STATION_SETTINGS);
    ASSERT_EQ(reference.size(), 2584u);
    fs::copy_file(LARKSPUR_STATION_SETTINGS, "Larkspur_Settings.dat");

    HMODULE dll = LoadLibraryA((exeFolder() / "Plugins" / "dsp_wren.dll").string().c_str());
    ASSERT_NE(dll, nullptr) << "LoadLibrary failed: " << GetLastError();
    auto getHeader = reinterpret_cast<winampDSPHeader* (*)()>(reinterpret_cast<void*>(GetProcAddress(dll, "winampDSPGetHeader2")));
    ASSERT_NE(getHeader, nullptr);
    winampDSPHeader* header = getHeader();
    ASSERT_EQ(header->version, 0x20);
    winampDSPModule* module = header->getModule(0);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(header->getModule(1), nullptr);
    module->hwndParent = 0;
    module->hDllInstance = dll;

    ASSERT_EQ(module->Init(module), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the window thread load the record
    EXPECT_EQ(module->Quit(module), 0);
    EXPECT_TRUE(FreeLibrary(dll));

    // The native module writes exactly these bytes from this record (the settings suite checks
    // the same reference file on Linux).
    EXPECT_EQ(readFile("Larkspur_Settings.dat"), reference);
}

// ---- the engine through BASS.dll ----

// A SHOUTcast v1 server's two ports on loopback: the source port (base + 1) takes a login and
// its headers and then audio; the base port answers title updates.
class ShoutcastStandIn {
public:
    ShoutcastStandIn() {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
        for (int attempt = 0; attempt < 50 && base_ == 0; ++attempt) {
            int port = 20000 + static_cast<int>(std::random_device{}() % 20000);
            SOCKET a = listenOn(port), b = a == INVALID_SOCKET ? INVALID_SOCKET : listenOn(port + 1);
            if (b == INVALID_SOCKET) {
                if (a != INVALID_SOCKET) closesocket(a);
                continue;
            }
            base_ = port;
            titleListen_ = a;
            sourceListen_ = b;
        }
        source_ = std::thread([this] { serveSource(); });
        titles_ = std::thread([this] { serveTitles(); });
    }
    ~ShoutcastStandIn() {
        stop_ = true;
        closesocket(titleListen_);
        closesocket(sourceListen_);
        source_.join();
        titles_.join();
    }
    int port() const { return base_; }
    std::string received() {
        std::lock_guard<std::mutex> l(m_);
        return got_;
    }
    size_t audioBytes() {
        std::lock_guard<std::mutex> l(m_);
        size_t end = got_.find("\r\n\r\n");
        return end == std::string::npos ? 0 : got_.size() - end - 4;
    }
    std::string titleRequest() {
        std::lock_guard<std::mutex> l(m_);
        return title_;
    }

private:
    static SOCKET listenOn(int port) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<u_short>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 4) != 0) {
            closesocket(s);
            return INVALID_SOCKET;
        }
        return s;
    }
    void serveSource() {
        SOCKET c = accept(sourceListen_, nullptr, nullptr);
        if (c == INVALID_SOCKET) return;
        char buf[4096];
        bool loggedIn = false;
        DWORD timeout = 200;
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        while (!stop_) {
            int n = recv(c, buf, sizeof buf, 0);
            if (n == 0) break;
            if (n < 0) continue;
            std::lock_guard<std::mutex> l(m_);
            got_.append(buf, n);
            if (!loggedIn && got_.find("\r\n") != std::string::npos) {
                loggedIn = true;
                const char ok[] = "OK2\r\nicy-caps:11\r\n\r\n";
                send(c, ok, sizeof ok - 1, 0);
            }
        }
        closesocket(c);
    }
    void serveTitles() {
        while (!stop_) {
            SOCKET c = accept(titleListen_, nullptr, nullptr);
            if (c == INVALID_SOCKET) return;
            char buf[4096];
            int n = recv(c, buf, sizeof buf, 0);
            if (n > 0) {
                std::lock_guard<std::mutex> l(m_);
                title_.assign(buf, n);
            }
            const char reply[] = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n";
            send(c, reply, sizeof reply - 1, 0);
            closesocket(c);
        }
    }

    int base_ = 0;
    SOCKET titleListen_ = INVALID_SOCKET, sourceListen_ = INVALID_SOCKET;
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::string got_, title_;
    std::thread source_, titles_;
};

std::atomic<size_t> encoded{0};
void BASSCALLBACK countEncoded(HENCODE, DWORD, const void*, DWORD length, void*) { encoded += length; }

using EngineDll = InFolder;

TEST_F(EngineDll, EncodesWithLameFromAFolderWithSpacesAndCastsOverWinsock) {
    // The encoder where a host folder with spaces puts it; the path is quoted whole.
    const fs::path folder = folder_ / "My Player" / "Plugins" / "Larkspur";
    fs::create_directories(folder);
    fs::copy_file(LARKSPUR_LAME_EXE, folder / "lame.exe");
    const int before = processesNamed("lame.exe");

    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
    HSTREAM host = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
    HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_MIXER_NONSTOP | BASS_STREAM_AUTOFREE);
    ASSERT_NE(host, 0u);
    ASSERT_NE(mixer, 0u);
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, host, 0));
    const std::string cmd = "\"" + (folder / "lame.exe").string() + "\" -r -s 44100 -b 128 -";
    HENCODE enc = BASS_Encode_Start(mixer, cmd.c_str(), BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, countEncoded, nullptr);
    ASSERT_NE(enc, 0u) << BASS_ErrorGetCode();
    EXPECT_EQ(processesNamed("lame.exe"), before + 1);

    ShoutcastStandIn server;
    ASSERT_NE(server.port(), 0);
    const std::string address = "127.0.0.1:" + std::to_string(server.port());
    ASSERT_TRUE(BASS_Encode_CastInit(enc, address.c_str(), "hackme", "audio/mpeg", "Night Owl FM", "http://owl/",
                                     "Jazz", "Late jazz", nullptr, 128, TRUE))
        << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_ChannelPlay(mixer, FALSE));

    // A second of a 440 Hz tone through the push stream, in host-sized blocks.
    std::vector<int16_t> block(576 * 2);
    for (int b = 0, t = 0; b < 80; ++b) {
        for (size_t f = 0; f < 576; ++f, ++t)
            block[f * 2] = block[f * 2 + 1] = static_cast<int16_t>(8000 * std::sin(2 * 3.14159265 * 440 * t / 44100));
        BASS_StreamPutData(host, block.data(), static_cast<DWORD>(block.size() * 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(13));
    }
    EXPECT_TRUE(waitFor([&] { return server.audioBytes() > 4000; })) << server.received().size();
    const std::string headers = server.received();
    EXPECT_EQ(headers.rfind("hackme\r\n", 0), 0u);
    EXPECT_NE(headers.find("icy-name:Night Owl FM\r\n"), std::string::npos) << headers.substr(0, 300);
    EXPECT_NE(headers.find("content-type:audio/mpeg\r\n"), std::string::npos);
    EXPECT_GT(encoded.load(), 0u);

    ASSERT_TRUE(BASS_Encode_CastSetTitle(enc, "Artist - Title & more", nullptr));
    EXPECT_TRUE(waitFor([&] { return !server.titleRequest().empty(); }));
    EXPECT_NE(server.titleRequest().find("mode=updinfo&song=Artist%20-%20Title%20%26%20more"), std::string::npos)
        << server.titleRequest();

    // Stopping the auto-free mixer ends the encoder and its process.
    EXPECT_TRUE(BASS_ChannelStop(mixer));
    EXPECT_TRUE(waitFor([&] { return processesNamed("lame.exe") == before; }, 5000)) << processesNamed("lame.exe");
    EXPECT_TRUE(BASS_Free());
    EXPECT_EQ(processesNamed("lame.exe"), before);
}

std::mutex firstMutex;
std::string firstBytes;
void BASSCALLBACK keepFirstBytes(HENCODE, DWORD, const void* buffer, DWORD length, void*) {
    std::lock_guard<std::mutex> l(firstMutex);
    if (firstBytes.size() < 64) firstBytes.append(static_cast<const char*>(buffer), std::min<DWORD>(length, 64));
}

// The plug-in's own command lines: the host folder's encoders, named without ".exe".
TEST(EngineDllEncoders, BothEncodersStartFromThePluginsFolderAndEncode) {
    const std::string folder = exeFolder().string() + "\\";
    const struct {
        std::string cmd;
        std::string magic;
    } encoders[] = {{"\"" + folder + "Plugins/Larkspur/lame\" -r -s 44100 -b 128 -", "\xff"},
                    {"\"" + folder + "Plugins/Larkspur/oggenc\" -r -R 44100 -b 128 -m 128 -", "OggS"}};
    for (const auto& e : encoders) {
        SCOPED_TRACE(e.cmd);
        ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
        HSTREAM host = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
        HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_MIXER_NONSTOP | BASS_STREAM_AUTOFREE);
        ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, host, 0));
        {
            std::lock_guard<std::mutex> l(firstMutex);
            firstBytes.clear();
        }
        ASSERT_NE(BASS_Encode_Start(mixer, e.cmd.c_str(), BASS_ENCODE_NOHEAD, keepFirstBytes, nullptr), 0u)
            << BASS_ErrorGetCode();
        ASSERT_TRUE(BASS_ChannelPlay(mixer, FALSE));
        std::vector<int16_t> block(4410 * 2, 1000);
        EXPECT_TRUE(waitFor([&] {
            BASS_StreamPutData(host, block.data(), static_cast<DWORD>(block.size() * 2));
            std::lock_guard<std::mutex> l(firstMutex);
            return firstBytes.size() >= 4;
        }));
        {
            std::lock_guard<std::mutex> l(firstMutex);
            EXPECT_EQ(firstBytes.compare(0, e.magic.size(), e.magic), 0);
        }
        EXPECT_TRUE(BASS_Free());
    }
}

// Once the engine runs threads of its own, BASS.dll stays loaded whatever the host frees: a
// thread that outlives a free (a given-up name lookup, a notice) never finds its code gone.
TEST(EngineDllLifetime, TheEngineStaysLoadedOnceItsThreadsRun) {
    HMODULE engine = GetModuleHandleA("BASS.dll");
    ASSERT_NE(engine, nullptr);
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));  // the device clock's thread
    for (int i = 0; i < 4; ++i) FreeLibrary(engine);        // more often than anyone loaded it
    EXPECT_EQ(GetModuleHandleA("BASS.dll"), engine);
    EXPECT_TRUE(BASS_Free());
}

TEST(EngineDllErrors, AMissingEncoderFailsAtOnceAndTheErrorIsPerThread) {
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, 0);
    EXPECT_EQ(BASS_Encode_Start(mixer, "\"C:\\no such folder\\lame.exe\" -", 0, nullptr, nullptr), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
    int other = -1;
    std::thread([&] { other = BASS_ErrorGetCode(); }).join();
    EXPECT_EQ(other, BASS_OK);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
    EXPECT_TRUE(BASS_Free());
}

}  // namespace

// On the air under Wine: the engine's Win32 backends put the host's 440 Hz tone and the test
// microphone (captured through the wave input, which Wine hands to the test sound server) on a
// real Icecast, with the station's metadata and a title (accents and dashes in the ANSI code
// page); station_test.sh listens and checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "bass.h"
#include "win_support.h"

namespace {

using winsupport::processesNamed;
using winsupport::waitFor;

std::string env(const char* name, const char* fallback = "") {
    const char* v = std::getenv(name);
    return v ? v : fallback;
}

// A text as the plug-in holds it on Windows: in the ANSI code page.
std::string ansi(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(std::size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

TEST(OnAir, HostToneAndMicrophoneReachIcecastAndTheEncoderEndsWithTheMixer) {
    const std::string port = env("LARKSPUR_ICECAST_PORT");
    ASSERT_FALSE(port.empty()) << "run by station_test.sh";
    const int seconds = std::atoi(env("LARKSPUR_ON_AIR_SECONDS", "14").c_str());

    ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
    // The capture list: the sound server's microphone among the wave inputs.
    BASS_DEVICEINFO info{};
    int devices = 0, defaults = 0;
    for (DWORD i = 0; BASS_RecordGetDeviceInfo(i, &info); ++i, ++devices) {
        EXPECT_NE(info.name, nullptr);
        EXPECT_GT(std::string(info.name).size(), 0u);
        if (info.flags & BASS_DEVICE_DEFAULT) ++defaults;
    }
    ASSERT_GT(devices, 0);
    EXPECT_EQ(defaults, 1);
    ASSERT_TRUE(BASS_RecordInit(-1)) << BASS_ErrorGetCode();
    HRECORD mic = BASS_RecordStart(44100, 2, BASS_RECORD_PAUSE, nullptr, nullptr);
    ASSERT_NE(mic, 0u) << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_RecordSetInput(-1, BASS_INPUT_ON, 0.5f));

    HSTREAM host = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
    HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_MIXER_NONSTOP | BASS_STREAM_AUTOFREE);
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, host, 0));
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, mic, 0));
    ASSERT_TRUE(BASS_ChannelPlay(mic, FALSE));

    const std::string lame = "\"" + winsupport::exeFolder().string() + "\\Plugins/Larkspur/lame\" -r -s 44100 -b 128 -";
    HENCODE enc = BASS_Encode_Start(mixer, lame.c_str(), BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, nullptr, nullptr);
    ASSERT_NE(enc, 0u) << BASS_ErrorGetCode();
    const std::string server = "127.0.0.1:" + port;
    // Accents and dashes of the code page: station_test.sh finds them on the server as written.
    ASSERT_EQ(GetACP(), 1252u) << "station_test.sh expects what Windows-1252 holds";
    const std::string name = ansi(L"Night Owl FM \u2013 Caf\u00E9 \u00C6r\u00F8");
    const std::string genre = ansi(L"Jazz \u00B7 Chanson");
    const std::string description = ansi(L"D\u00E9j\u00E0 vu, late");
    const std::string title = ansi(L"Beyonc\u00E9 & Sigur R\u00F3s - D\u00E9j\u00E0 vu \u2013 \u00C6r\u00F8 Stra\u00DFe");
    ASSERT_TRUE(BASS_Encode_CastInit(enc, server.c_str(), env("LARKSPUR_ICECAST_PASSWORD", "hackme").c_str(),
                                     "audio/mpeg", name.c_str(), "http://owl.example.org/", genre.c_str(),
                                     description.c_str(), nullptr, 128, TRUE))
        << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_ChannelPlay(mixer, FALSE));
    ASSERT_TRUE(BASS_Encode_CastSetTitle(enc, title.c_str(), nullptr));

    // The host's blocks, paced as a player plays them: 440 Hz at a quarter of full scale.
    const auto start = std::chrono::steady_clock::now();
    std::vector<int16_t> block(441 * 2);
    for (long t = 0; std::chrono::steady_clock::now() - start < std::chrono::seconds(seconds);) {
        for (size_t f = 0; f < 441; ++f, ++t)
            block[f * 2] = block[f * 2 + 1] = static_cast<int16_t>(8000 * std::sin(2 * 3.14159265358979 * 440 * t / 44100.0));
        BASS_StreamPutData(host, block.data(), static_cast<DWORD>(block.size() * 2));
        std::this_thread::sleep_until(start + std::chrono::microseconds(t * 1000000LL / 44100));
    }

    // A disconnect: the mixer stops and takes its encoder and the encoder's process with it.
    EXPECT_TRUE(BASS_ChannelStop(mixer));
    EXPECT_TRUE(waitFor([] { return processesNamed("lame.exe") == 0; }, 5000));
    EXPECT_TRUE(BASS_RecordFree());
    EXPECT_TRUE(BASS_Free());
}

}  // namespace

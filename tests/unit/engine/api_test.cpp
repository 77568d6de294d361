// The C interface as the plug-in uses it, without outside services: handles and error codes,
// positions, the volume effect, encoder processes and their notices.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../support/open_fds.h"
#include "../../support/raw_samples.h"
#include "bass.h"
#include "probe.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A fresh name; the placeholder that reserved it goes, so that the caller's one remove()
// leaves nothing behind.
std::string tempFile(const char* tag) {
    char path[] = "/tmp/larkspur-engine-XXXXXX";
    int fd = ::mkstemp(path);
    ::close(fd);
    ::unlink(path);
    return std::string(path) + tag;
}

int threadCount() {
    // A sanitizer starts a helper thread with the first thread of the process: count after it.
    static const bool warmedUp = [] {
        std::thread([] {}).join();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return true;
    }();
    (void)warmedUp;
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

bool noChildren() {
    // Every encoder we started has been reaped.
    return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

struct NoticeLog {
    std::mutex m;
    std::vector<DWORD> got;
    static void proc(HENCODE, DWORD status, void* user) {
        auto* l = static_cast<NoticeLog*>(user);
        std::lock_guard<std::mutex> lock(l->m);
        l->got.push_back(status);
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(m);
        return got.size();
    }
};

}  // namespace

TEST(ApiErrors, DeadOrZeroHandlesAreRefusedAndSuccessClearsTheCode) {
    int16_t block[4] = {};
    EXPECT_EQ(BASS_StreamPutData(0, block, sizeof block), static_cast<DWORD>(-1));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    HSTREAM s = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
    ASSERT_NE(s, 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
    EXPECT_EQ(BASS_StreamPutData(s, block, sizeof block), sizeof block);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
    EXPECT_TRUE(BASS_StreamFree(s));
    EXPECT_EQ(BASS_StreamPutData(s, block, sizeof block), static_cast<DWORD>(-1));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    EXPECT_FALSE(BASS_ChannelStop(0));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    EXPECT_FALSE(BASS_StreamFree(s));
    EXPECT_EQ(BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, nullptr, nullptr), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_NOTAVAIL);
    // The error code belongs to the thread that made the call.
    std::thread([] { EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK); }).join();
}

TEST(ApiDevice, OneDeviceAtATimeAndPlayingNeedsIt) {
    HSTREAM m = BASS_Mixer_StreamCreate(44100, 2, BASS_MIXER_NONSTOP);
    EXPECT_FALSE(BASS_ChannelPlay(m, FALSE));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    EXPECT_FALSE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
    EXPECT_TRUE(BASS_ChannelPlay(m, FALSE));
    EXPECT_TRUE(BASS_Free());
    EXPECT_FALSE(BASS_ChannelStop(m));  // freed with the device
    EXPECT_FALSE(BASS_Init(7, 44100, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
}

TEST(ApiCapture, InputFlagsAndLevelsOutsideTheirRangeAreRefused) {
    struct Case {
        DWORD flags;
        float volume;
    };
    for (const Case& c : {Case{BASS_INPUT_ON, -0.5f}, Case{BASS_INPUT_ON, 1.5f}, Case{BASS_INPUT_ON, NAN},
                          Case{0x40000, 0.5f}, Case{BASS_INPUT_ON | BASS_INPUT_OFF, 0.5f}}) {
        SCOPED_TRACE(testing::Message() << c.flags << " " << c.volume);
        EXPECT_FALSE(BASS_RecordSetInput(-1, c.flags, c.volume));
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    }
    // Well-formed, but no capture device is open.
    EXPECT_FALSE(BASS_RecordSetInput(-1, BASS_INPUT_OFF, 1.0f));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);

    // Reading the level: the master input only, and only of an open device; *volume untouched.
    float volume = 0.25f;
    EXPECT_EQ(BASS_RecordGetInput(0, &volume), DWORD(-1));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    EXPECT_EQ(BASS_RecordGetInput(-1, &volume), DWORD(-1));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
    EXPECT_EQ(volume, 0.25f);
}

TEST(ApiEffects, VolumeParametersAreChecked) {
    HSTREAM s = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
    EXPECT_NE(BASS_FX_GetVersion(), 0u);
    EXPECT_EQ(BASS_ChannelSetFX(s, 0x10001, 0), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLTYPE);
    HFX fx = BASS_ChannelSetFX(s, BASS_FX_BFX_VOLUME, 0);
    ASSERT_NE(fx, 0u);
    BASS_BFX_VOLUME v{0, 0.5f};
    EXPECT_TRUE(BASS_FXSetParameters(fx, &v));
    v.fVolume = NAN;
    EXPECT_FALSE(BASS_FXSetParameters(fx, &v));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    EXPECT_FALSE(BASS_FXSetParameters(fx, nullptr));
    EXPECT_FALSE(BASS_FXSetParameters(s, &v));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    BASS_StreamFree(s);
    v.fVolume = 1;
    EXPECT_FALSE(BASS_FXSetParameters(fx, &v));  // its stream is gone
}

// The whole graph on the device clock, the encoder a stand-in that writes the mix to a file.
TEST(ApiGraph, PushedMusicAtHalfVolumeReachesTheEncoderAndTheClockKeepsTime) {
    std::string out = tempFile(".raw");
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    HSTREAM host = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
    HFX fx = BASS_ChannelSetFX(host, BASS_FX_BFX_VOLUME, 0);
    HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    EXPECT_EQ(BASS_Mixer_ChannelGetPosition(host, BASS_POS_BYTE), static_cast<QWORD>(-1));  // not plugged in
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, host, 0));
    HENCODE enc = BASS_Encode_Start(mixer, ("dd \"of=" + out + "\" status=none").c_str(),
                                    BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, nullptr, nullptr);
    ASSERT_NE(enc, 0u) << BASS_ErrorGetCode();
    BASS_BFX_VOLUME v{0, 0.5f};
    ASSERT_TRUE(BASS_FXSetParameters(fx, &v));
    // What is queued before the mixer plays is start-up backlog and gets dropped, so the
    // stream's jitter buffer goes in once the mixer plays (60 ms and the resampling kernel's
    // 16 frames of look-ahead) and the rest only after the mixer began to take it.
    std::vector<int16_t> second(44100 * 2, 20000);
    ASSERT_TRUE(BASS_ChannelSetAttribute(mixer, BASS_ATTRIB_VOL, 0.0f));
    auto t0 = Clock::now();
    ASSERT_TRUE(BASS_ChannelPlay(mixer, FALSE));
    const DWORD first = 2646 + 16;
    BASS_StreamPutData(host, second.data(), first * 4);
    for (int i = 0; i < 100 && BASS_Mixer_ChannelGetPosition(host, BASS_POS_BYTE) == 0; ++i)
        std::this_thread::sleep_for(5ms);
    BASS_StreamPutData(host, second.data() + first * 2, static_cast<DWORD>(second.size() * 2 - first * 4));
    // Waits for the mixer to take all of it, then for a few periods of silence after it (a
    // loaded machine may hold the device clock back for a while; it is waited for, not timed).
    auto fileBytes = [&] {
        std::ifstream in(out, std::ios::binary | std::ios::ate);
        return in ? static_cast<long long>(in.tellg()) : 0LL;
    };
    const auto bound = Clock::now() + 20s;
    while (BASS_Mixer_ChannelGetPosition(host, BASS_POS_BYTE) < 44100u * 4 && Clock::now() < bound)
        std::this_thread::sleep_for(10ms);
    const long long atTheEnd = fileBytes();
    while (fileBytes() < atTheEnd + 44100 * 4 / 10 && Clock::now() < bound) std::this_thread::sleep_for(10ms);
    QWORD pos = BASS_Mixer_ChannelGetPosition(host, BASS_POS_BYTE);
    EXPECT_EQ(pos, 44100u * 4);  // all of it, and no more: nothing else was pushed
    EXPECT_DOUBLE_EQ(BASS_ChannelBytes2Seconds(host, pos), 1.0);
    ASSERT_TRUE(BASS_ChannelStop(mixer));
    double played = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_FALSE(BASS_ChannelStop(mixer));  // auto-free
    auto s = rawSamplesOf(out);
    // Real time is a figure, not a check: how far the encoder's audio is from the wall clock.
    std::printf("encoder got %.3f s of audio in %.3f s of wall clock\n", s.size() / 2 / 44100.0, played);
    ASSERT_GT(s.size(), 44100u * 2);
    EXPECT_EQ(s[100], 10000);
    // All of it, once: give or take the kernel's edges where the music starts and stops, and
    // the few frames the steering's ratio moved in a second.
    EXPECT_NEAR(std::count(s.begin(), s.end(), int16_t{10000}), 44100 * 2, 2 * 64);
    EXPECT_EQ(s.back(), 0);  // silence after the music ran out
    BASS_StreamFree(host);
    EXPECT_TRUE(BASS_Free());
    std::remove(out.c_str());
    EXPECT_TRUE(noChildren());
}

TEST(ApiLevels, MetersReadHostStreamsCaptureAndMixersAndRefuseTheRest) {
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    HSTREAM host = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
    HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    HFX fx = BASS_ChannelSetFX(host, BASS_FX_BFX_VOLUME, 0);
    float levels[4] = {-1, -1, -1, -1};
    // Nothing rendered yet: silence, not an error.
    EXPECT_EQ(BASS_ChannelGetLevel(host), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
    ASSERT_TRUE(BASS_ChannelGetLevelEx(mixer, levels, 0.04f, BASS_LEVEL_STEREO));
    EXPECT_EQ(levels[0], 0.0f);
    EXPECT_EQ(levels[1], 0.0f);
    EXPECT_EQ(levels[2], -1.0f);  // two levels, no more
    ASSERT_TRUE(BASS_ChannelGetLevelEx(host, levels, 0.0f, BASS_LEVEL_MONO));
    EXPECT_EQ(levels[1], 0.0f);  // left from the call before: one level written
    for (DWORD bad : {0u, fx, 0xFFFFu}) {
        EXPECT_EQ(BASS_ChannelGetLevel(bad), static_cast<DWORD>(-1));
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
        EXPECT_FALSE(BASS_ChannelGetLevelEx(bad, levels, 0.02f, 0));
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    }
    EXPECT_FALSE(BASS_ChannelGetLevelEx(host, nullptr, 0.02f, 0));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    EXPECT_FALSE(BASS_ChannelGetLevelEx(host, levels, 1.5f, 0));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    EXPECT_FALSE(BASS_ChannelGetLevelEx(host, levels, 0.02f, BASS_LEVEL_MONO | BASS_LEVEL_STEREO));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    EXPECT_FALSE(BASS_ChannelGetLevelEx(host, levels, 0.02f, 0x100));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);

    // Music at -6 dBFS pushed into a playing mixer shows on the stream and on the mix. A steady
    // value: the steering's resampler rings on the edges of a tone made of full steps.
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, host, 0));
    ASSERT_TRUE(BASS_ChannelPlay(mixer, FALSE));
    std::vector<int16_t> tone(4410 * 2, 16384);
    // Past the first fifth of a second: the resampler rings once where the music starts.
    for (int i = 0; i < 2000 && BASS_Mixer_ChannelGetPosition(host, BASS_POS_BYTE) < 44100u * 4 / 5; ++i) {
        BASS_StreamPutData(host, tone.data(), static_cast<DWORD>(tone.size() * 2));
        std::this_thread::sleep_for(10ms);
    }
    BASS_StreamPutData(host, tone.data(), static_cast<DWORD>(tone.size() * 2));
    float got[2] = {0, 0};
    ASSERT_TRUE(BASS_ChannelGetLevelEx(mixer, got, 0.04f, BASS_LEVEL_STEREO));
    EXPECT_NEAR(got[0], 0.5f, 0.02f);  // the steering's resampling may round a little
    EXPECT_NEAR(got[1], 0.5f, 0.02f);
    const DWORD word = BASS_ChannelGetLevel(host);
    EXPECT_NEAR(double(word & 0xFFFF), 16384, 700);
    BASS_StreamFree(host);
    EXPECT_TRUE(BASS_Free());
}

TEST(ApiEncoder, ProgramThatCannotStartGivesZeroAtOnce) {
    HSTREAM m = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    auto t0 = Clock::now();
    EXPECT_EQ(BASS_Encode_Start(m, "/no/such/Plugins/Larkspur/lame -r -", BASS_ENCODE_NOHEAD, nullptr, nullptr), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
    EXPECT_EQ(BASS_Encode_Start(m, "   ", BASS_ENCODE_NOHEAD, nullptr, nullptr), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    EXPECT_EQ(BASS_Encode_Start(0, "cat", BASS_ENCODE_NOHEAD, nullptr, nullptr), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    EXPECT_LT(Clock::now() - t0, 500ms);
    EXPECT_TRUE(BASS_ChannelStop(m));
}

TEST(ApiEncoder, DeathOnItsOwnIsNotifiedOnceAndOurOwnEndIsNot) {
    const int threadsBefore = threadCount();
    const int fdsBefore = openFds();
    NoticeLog log;
    HSTREAM m = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    // Leaves without reading: the engine's writes meet a closed pipe.
    HENCODE dies = BASS_Encode_Start(m, "sh -c \"sleep 0.3\"", BASS_ENCODE_NOHEAD, nullptr, nullptr);
    ASSERT_NE(dies, 0u);
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    ASSERT_TRUE(BASS_ChannelPlay(m, FALSE));
    ASSERT_TRUE(BASS_Encode_SetNotify(dies, &NoticeLog::proc, &log));
    for (int i = 0; i < 300 && log.count() == 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(log.count(), 1u);
    EXPECT_EQ(log.got[0], static_cast<DWORD>(BASS_ENCODE_NOTIFY_ENCODER));

    NoticeLog quiet;
    HENCODE ended = BASS_Encode_Start(m, "cat", BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, nullptr, nullptr);
    ASSERT_NE(ended, 0u);
    ASSERT_TRUE(BASS_Encode_SetNotify(ended, &NoticeLog::proc, &quiet));
    EXPECT_FALSE(BASS_Encode_CastSetTitle(ended, "no cast", ""));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_NOTAVAIL);
    ASSERT_TRUE(BASS_ChannelStop(m));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(quiet.count(), 0u);
    EXPECT_EQ(log.count(), 1u);
    EXPECT_FALSE(BASS_Encode_SetNotify(ended, &NoticeLog::proc, &quiet));
    EXPECT_TRUE(noChildren());
    EXPECT_TRUE(BASS_Free());
    // No engine thread outlives the encoders and their notices.
    for (int i = 0; i < 100 && threadCount() > threadsBefore; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(threadCount(), threadsBefore);
    EXPECT_EQ(openFds(), fdsBefore);
    // A write into the dead encoder's pipe did not need the host's SIGPIPE handling changed.
    struct sigaction sa {};
    ::sigaction(SIGPIPE, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, SIG_DFL);
}

// What dies of an error on an engine thread is reported as the encoder's death, and the rest
// of the engine goes on: a new mixer on the same device clock is fed.
TEST(ApiFailures, AnEngineThreadThatFailsEndsWithItsEncodersDeathNotice) {
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    struct Output {
        std::atomic<uint64_t> bytes{0};
        static void BASSCALLBACK proc(HENCODE, DWORD, const void*, DWORD length, void* user) {
            static_cast<Output*>(user)->bytes += length;
        }
    };
    const struct {
        unsigned point;
        const char* thread;
    } cases[] = {{1, "device clock"}, {2, "encoder's feeding thread"}, {4, "encoder's reading thread"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.thread);
        NoticeLog log;
        Output out;
        HSTREAM m = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
        HENCODE e = BASS_Encode_Start(m, "cat", BASS_ENCODE_NOHEAD, &Output::proc, &out);
        ASSERT_NE(e, 0u);
        ASSERT_TRUE(BASS_Encode_SetNotify(e, &NoticeLog::proc, &log));
        ASSERT_TRUE(BASS_ChannelPlay(m, FALSE));
        for (int i = 0; i < 1000 && out.bytes.load() == 0; ++i) std::this_thread::sleep_for(10ms);
        ASSERT_GT(out.bytes.load(), 0u) << "not fed before the failure";
        larkspurEngineFailThreads(c.point);
        for (int i = 0; i < 1000 && log.count() == 0; ++i) std::this_thread::sleep_for(10ms);
        ASSERT_GE(log.count(), 1u);
        EXPECT_EQ(log.got[0], static_cast<DWORD>(BASS_ENCODE_NOTIFY_ENCODER));
        EXPECT_TRUE(BASS_ChannelStop(m));
        EXPECT_EQ(log.count(), 1u);
    }
    Output fed;
    HSTREAM m = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    ASSERT_NE(BASS_Encode_Start(m, "cat", BASS_ENCODE_NOHEAD, &Output::proc, &fed), 0u);
    ASSERT_TRUE(BASS_ChannelPlay(m, FALSE));
    for (int i = 0; i < 1000 && fed.bytes.load() < 44100 * 4 / 10; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_GE(fed.bytes.load(), 44100u * 4 / 10);
    EXPECT_TRUE(BASS_Free());
    EXPECT_TRUE(noChildren());
}

TEST(ApiEncoder, SlowEncoderNeverHoldsUpTheClock) {
    std::string out = tempFile(".raw");
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    HSTREAM m = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    // Reads nothing for 3 s: its pipe fills, the engine's queue fills, the rest is dropped.
    HENCODE stuck = BASS_Encode_Start(m, "sh -c \"sleep 3; cat >/dev/null\"", BASS_ENCODE_NOHEAD, nullptr, nullptr);
    HENCODE fine = BASS_Encode_Start(m, ("dd \"of=" + out + "\" status=none").c_str(), BASS_ENCODE_NOHEAD, nullptr,
                                     nullptr);
    ASSERT_NE(stuck, 0u);
    ASSERT_NE(fine, 0u);
    auto t0 = Clock::now();
    ASSERT_TRUE(BASS_ChannelPlay(m, FALSE));
    std::this_thread::sleep_for(2500ms);
    auto t1 = Clock::now();
    ASSERT_TRUE(BASS_ChannelStop(m));
    EXPECT_LT(Clock::now() - t1, 3s);  // the stuck one is killed after its grace period
    auto s = rawSamplesOf(out);
    EXPECT_NEAR(s.size() / 2 / 44100.0, std::chrono::duration<double>(t1 - t0).count(), 0.1);
    EXPECT_TRUE(BASS_Free());
    std::remove(out.c_str());
    EXPECT_TRUE(noChildren());
}

TEST(ApiEncoder, NoticeAfterFreeIsNeverDelivered) {
    NoticeLog log;
    HSTREAM m = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    HENCODE e = BASS_Encode_Start(m, "sh -c \"sleep 0.2\"", BASS_ENCODE_NOHEAD, nullptr, nullptr);
    ASSERT_TRUE(BASS_Encode_SetNotify(e, &NoticeLog::proc, &log));
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    ASSERT_TRUE(BASS_Free());
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(log.count(), 0u);
    EXPECT_FALSE(BASS_ChannelStop(m));
    EXPECT_TRUE(noChildren());
}

namespace {

LarkspurEngineCounts counts() {
    LarkspurEngineCounts c{};
    larkspurEngineCounts(&c);
    return c;
}

// A loopback socket on a port of its own, listening or not; the server address names the
// port below it, since the source port is port + 1.
struct LoopbackPort {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string address;
    explicit LoopbackPort(bool listening) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        if (listening) ::listen(fd, 1);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        address = "127.0.0.1:" + std::to_string(ntohs(a.sin_port) - 1);
    }
    ~LoopbackPort() { ::close(fd); }
};

// Bound, never listening: every connect is refused.
struct RefusingServer : LoopbackPort {
    RefusingServer() : LoopbackPort(false) {}
};

// Takes one source: answers the login, reads the headers and then the stream until it ends.
struct AcceptingServer : LoopbackPort {
    std::thread thread;
    AcceptingServer() : LoopbackPort(true) {
        thread = std::thread([this] {
            int c = ::accept(fd, nullptr, nullptr);
            if (c < 0) return;
            std::string got;
            char buf[4096];
            bool answered = false;
            for (ssize_t n; (n = ::recv(c, buf, sizeof buf, 0)) > 0;) {
                got.append(buf, static_cast<size_t>(n));
                if (!answered && got.find("\r\n") != std::string::npos) {
                    answered = true;
                    const char ok[] = "OK2\r\nicy-caps:11\r\n\r\n";
                    ::send(c, ok, sizeof ok - 1, MSG_NOSIGNAL);
                }
            }
            ::close(c);
        });
    }
    ~AcceptingServer() {
        ::shutdown(fd, SHUT_RDWR);
        thread.join();
    }
};

// The plug-in's calls for one connect and the disconnect after it, less the capture device (no
// sound server here). Every earlier host stream is freed by the next connect, as the plug-in
// does; its effect has to go with it.
struct ConnectAttempts {
    HSTREAM previousHost = 0;
    NoticeLog notices;

    bool connect(const std::string& server, const char* encoder, HSTREAM& mixer) {
        BASS_FX_GetVersion();
        if (previousHost) BASS_StreamFree(previousHost);
        HSTREAM host = previousHost = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
        if (!host || !BASS_ChannelSetFX(host, BASS_FX_BFX_VOLUME, 0)) return false;
        mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
        if (!mixer || !BASS_Mixer_StreamAddChannel(mixer, host, 0)) return false;
        HENCODE enc = BASS_Encode_Start(mixer, encoder, BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, nullptr, nullptr);
        return enc &&
               BASS_Encode_CastInit(enc, server.c_str(), "secret", "audio/mpeg", "Larkspur FM", "", "", "", nullptr,
                                    128, FALSE) &&
               BASS_ChannelSetAttribute(mixer, BASS_ATTRIB_VOL, 0.0f) && BASS_ChannelPlay(mixer, FALSE) &&
               BASS_Encode_SetNotify(enc, &NoticeLog::proc, &notices);
    }
    void disconnect(HSTREAM mixer) {
        BASS_ChannelStop(0);  // no capture channel
        BASS_ChannelStop(mixer);
        BASS_ChannelStop(previousHost);
        BASS_RecordFree();
    }
};

}  // namespace

TEST(ApiLifetimes, TenThousandFailedConnectsThenAWorkingOneLeaveTheSameHandles) {
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    RefusingServer refusing;
    ConnectAttempts plugin;
    HSTREAM mixer = 0;
    EXPECT_FALSE(plugin.connect(refusing.address, "cat", mixer));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);  // refused, not out of handles
    plugin.disconnect(mixer);
    const auto afterFirst = counts();
    // Each attempt starting a program would take minutes; most fail one step earlier, at a
    // program that is not there, which is the same calls but for the handshake.
    for (int i = 1; i < 10000; ++i) {
        const bool real = i % 100 == 0;
        ASSERT_FALSE(plugin.connect(refusing.address, real ? "cat" : "/no/such/larkspur/lame", mixer));
        ASSERT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN) << "attempt " << i;
        plugin.disconnect(mixer);
    }
    EXPECT_EQ(counts().handles, afterFirst.handles);
    EXPECT_EQ(counts().objects, afterFirst.objects);

    AcceptingServer server;
    ASSERT_TRUE(plugin.connect(server.address, "cat", mixer)) << BASS_ErrorGetCode();
    plugin.disconnect(mixer);
    EXPECT_EQ(counts().handles, afterFirst.handles);
    EXPECT_EQ(plugin.notices.count(), 0u);
    BASS_StreamFree(plugin.previousHost);
    EXPECT_TRUE(BASS_Free());
    EXPECT_TRUE(noChildren());
}

TEST(ApiLifetimes, FreeingAStreamTakesItsEffectAndUnplugsItFromItsMixer) {
    const auto before = counts();
    HSTREAM host = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
    HFX fx = BASS_ChannelSetFX(host, BASS_FX_BFX_VOLUME, 0);
    HFX second = BASS_ChannelSetFX(host, BASS_FX_BFX_VOLUME, 0);
    HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, host, 0));
    EXPECT_EQ(counts().handles, before.handles + 4);
    ASSERT_TRUE(BASS_StreamFree(host));
    BASS_BFX_VOLUME v{0, 0.5f};
    EXPECT_FALSE(BASS_FXSetParameters(fx, &v));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    EXPECT_FALSE(BASS_FXSetParameters(second, &v));
    // Only the mixer is left, handle and object: the stream is not kept alive inside it.
    EXPECT_EQ(counts().handles, before.handles + 1);
    EXPECT_EQ(counts().objects, before.objects + 1);
    EXPECT_FALSE(BASS_ChannelSetFX(host, BASS_FX_BFX_VOLUME, 0));
    ASSERT_TRUE(BASS_ChannelStop(mixer));
    EXPECT_EQ(counts().handles, before.handles);
    EXPECT_EQ(counts().objects, before.objects);
}

TEST(ApiEncoder, DeathBeforeTheCallbackIsRegisteredIsDeliveredOnceWhenItIs) {
    HSTREAM m = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    HENCODE quick = BASS_Encode_Start(m, "true", BASS_ENCODE_NOHEAD, nullptr, nullptr);
    ASSERT_NE(quick, 0u);
    // The plug-in registers only after its handshake and two plays: the program is long gone.
    for (int i = 0; i < 1000 && counts().heldNotices == 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(counts().heldNotices, 1u);
    NoticeLog log;
    ASSERT_TRUE(BASS_Encode_SetNotify(quick, &NoticeLog::proc, &log));
    for (int i = 0; i < 1000 && log.count() == 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(log.count(), 1u);
    EXPECT_EQ(log.got[0], static_cast<DWORD>(BASS_ENCODE_NOTIFY_ENCODER));
    EXPECT_EQ(counts().heldNotices, 0u);
    // Registering again does not repeat it.
    ASSERT_TRUE(BASS_Encode_SetNotify(quick, &NoticeLog::proc, &log));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(log.count(), 1u);
    ASSERT_TRUE(BASS_ChannelStop(m));
    EXPECT_FALSE(BASS_Encode_SetNotify(quick, &NoticeLog::proc, &log));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);

    // A death that nobody registers for goes with its encoder.
    m = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    ASSERT_NE(BASS_Encode_Start(m, "true", BASS_ENCODE_NOHEAD, nullptr, nullptr), 0u);
    for (int i = 0; i < 1000 && counts().heldNotices == 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(BASS_ChannelStop(m));
    EXPECT_EQ(counts().heldNotices, 0u);
    EXPECT_TRUE(noChildren());
}

namespace {
struct StopFromOutput {
    HSTREAM mixer = 0;
    std::atomic<int> calls{0};
    std::atomic<BOOL> stopped{FALSE};
    static void proc(HENCODE, DWORD, const void*, DWORD, void* user) {
        auto* self = static_cast<StopFromOutput*>(user);
        if (self->calls.fetch_add(1) == 0) self->stopped = BASS_ChannelStop(self->mixer);
    }
};
}  // namespace

TEST(ApiEncoder, OutputCallbackMayStopTheMixerThatEndsIt) {
    const int threadsBefore = threadCount();
    const auto before = counts();
    StopFromOutput stop;
    stop.mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    ASSERT_NE(BASS_Encode_Start(stop.mixer, "echo on the air", BASS_ENCODE_NOHEAD, &StopFromOutput::proc, &stop), 0u);
    for (int i = 0; i < 1000 && !stop.stopped; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(stop.stopped);
    EXPECT_EQ(stop.calls.load(), 1);
    EXPECT_FALSE(BASS_ChannelStop(stop.mixer));
    // The encoder's reader ends once the callback returns, and the encoder with it.
    for (int i = 0; i < 1000 && (threadCount() > threadsBefore || counts().objects > before.objects); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(threadCount(), threadsBefore);
    EXPECT_EQ(counts().objects, before.objects);
    EXPECT_TRUE(noChildren());
}

namespace {
// While it lives, no thread can be started in this process: every new thread asks for a
// stack larger than the address space.
struct NoNewThreads {
    pthread_attr_t saved;
    NoNewThreads() {
        pthread_getattr_default_np(&saved);
        pthread_attr_t huge;
        pthread_attr_init(&huge);
        pthread_attr_setstacksize(&huge, size_t{1} << 47);
        pthread_setattr_default_np(&huge);
        pthread_attr_destroy(&huge);
    }
    ~NoNewThreads() {
        pthread_setattr_default_np(&saved);
        pthread_attr_destroy(&saved);
    }
};
}  // namespace

TEST(ApiFailures, NoThreadToBeHadIsAFailureWithACodeNotACrash) {
    {
        NoNewThreads probe;
        bool started = true;
        try {
            std::thread([] {}).join();
        } catch (const std::system_error&) {
            started = false;
        }
        if (started) GTEST_SKIP() << "thread stacks cannot be refused here";
    }
    const auto before = counts();
    HSTREAM m = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    HSTREAM dying = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    HENCODE dies = BASS_Encode_Start(dying, "sh -c \"sleep 0.3\"", BASS_ENCODE_NOHEAD, nullptr, nullptr);
    ASSERT_NE(dies, 0u);
    NoticeLog log;
    ASSERT_TRUE(BASS_Encode_SetNotify(dies, &NoticeLog::proc, &log));
    {
        NoNewThreads none;
        // An encoder needs its writer and reader: refused, its program ended and reaped.
        EXPECT_EQ(BASS_Encode_Start(m, "cat", BASS_ENCODE_NOHEAD, nullptr, nullptr), 0u);
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_MEM);
        EXPECT_FALSE(BASS_Init(0, 44100, 0, nullptr, nullptr));
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_MEM);
        // The death finds no delivery thread: its reader goes on, the notice waits.
        for (int i = 0; i < 1000 && counts().queuedNotices == 0; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_EQ(counts().queuedNotices, 1u);
    }
    EXPECT_EQ(log.count(), 0u);
    // The next registration hands it to a delivery thread.
    ASSERT_TRUE(BASS_Encode_SetNotify(dies, &NoticeLog::proc, &log));
    for (int i = 0; i < 1000 && log.count() == 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(log.count(), 1u);
    // The failed start left the device closed: it opens now.
    EXPECT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    ASSERT_TRUE(BASS_ChannelStop(m));
    ASSERT_TRUE(BASS_ChannelStop(dying));
    EXPECT_TRUE(BASS_Free());
    EXPECT_EQ(counts().handles, before.handles);
    EXPECT_TRUE(noChildren());
}

// Fed without a pause and never a byte out: hung, killed and notified as dead. A program that
// writes carries on beside it.
TEST(ApiEncoder, EncoderThatReadsAndWritesNothingIsEndedAsDead) {
    NoticeLog silent, working;
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    HSTREAM m = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    // Reads everything, writes nothing, keeps its stdout open (dd would close it at once).
    HENCODE hung = BASS_Encode_Start(m, "sh -c \"cat >/dev/null; true\"", BASS_ENCODE_NOHEAD, nullptr, nullptr);
    HENCODE fine = BASS_Encode_Start(m, "cat", BASS_ENCODE_NOHEAD, nullptr, nullptr);
    ASSERT_NE(hung, 0u);
    ASSERT_NE(fine, 0u);
    ASSERT_TRUE(BASS_Encode_SetNotify(hung, &NoticeLog::proc, &silent));
    ASSERT_TRUE(BASS_Encode_SetNotify(fine, &NoticeLog::proc, &working));
    const auto t0 = Clock::now();
    ASSERT_TRUE(BASS_ChannelPlay(m, FALSE));
    while (silent.count() == 0 && Clock::now() - t0 < 20s) std::this_thread::sleep_for(20ms);
    const auto took = Clock::now() - t0;
    ASSERT_EQ(silent.count(), 1u);
    EXPECT_EQ(silent.got[0], static_cast<DWORD>(BASS_ENCODE_NOTIFY_ENCODER));
    EXPECT_GE(took, 9500ms);
    EXPECT_LT(took, 12s);
    EXPECT_EQ(working.count(), 0u);
    const auto t1 = Clock::now();
    EXPECT_TRUE(BASS_Free());
    EXPECT_LT(Clock::now() - t1, 1s);
    EXPECT_TRUE(noChildren());
}

namespace {

// The process's standard error into a file while it lives, for the lines the engine writes
// where the host keeps its log.
struct StderrToFile {
    std::string path = tempFile(".log");
    int saved = ::dup(2);
    StderrToFile() {
        std::fflush(stderr);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrToFile() {
        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        std::remove(path.c_str());
    }
    std::string text() const {
        std::ifstream in(path);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
};

bool eventually(const std::function<bool()>& condition, Clock::duration limit = 10s) {
    for (const auto end = Clock::now() + limit; !condition(); std::this_thread::sleep_for(10ms))
        if (Clock::now() > end) return false;
    return true;
}

}  // namespace

// The threads that serve a connect, a cast's titles and the engine's figures, each made to fail
// as running out of memory would: the connect fails at once with a code of its own instead of
// waiting out its deadline, the cast reports its death so the caller connects again, and the
// figures' end is written where the host logs. The engine goes on.
TEST(ApiFailures, LookupTitleAndFiguresThreadsThatFailAreReported) {
    StderrToFile log;
    const std::string figures = tempFile(".figures");
    ::setenv("LARKSPUR_ENGINE_STATS", figures.c_str(), 1);
    ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    ::unsetenv("LARKSPUR_ENGINE_STATS");
    HSTREAM m = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    HENCODE enc = BASS_Encode_Start(m, "cat", BASS_ENCODE_NOHEAD, nullptr, nullptr);
    ASSERT_NE(enc, 0u);
    NoticeLog notices;
    ASSERT_TRUE(BASS_Encode_SetNotify(enc, &NoticeLog::proc, &notices));
    AcceptingServer server;

    larkspurEngineFailThreads(16);  // the name lookup
    EXPECT_FALSE(BASS_Encode_CastInit(enc, server.address.c_str(), "secret", "audio/mpeg", "Larkspur FM", "", "", "",
                                      nullptr, 128, FALSE));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_MEM);
    ASSERT_TRUE(BASS_Encode_CastInit(enc, server.address.c_str(), "secret", "audio/mpeg", "Larkspur FM", "", "", "",
                                     nullptr, 128, FALSE))
        << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_ChannelPlay(m, FALSE));

    larkspurEngineFailThreads(32);  // the title sender
    EXPECT_TRUE(BASS_Encode_CastSetTitle(enc, "Artist - Song", ""));
    ASSERT_TRUE(eventually([&] { return notices.count() > 0; }));
    EXPECT_EQ(notices.got[0], static_cast<DWORD>(BASS_ENCODE_NOTIFY_CAST));

    larkspurEngineFailThreads(64);  // the figures, written once a second
    ASSERT_TRUE(eventually([&] { return log.text().find("engine figures ended by an error") != std::string::npos; }))
        << log.text();
    EXPECT_NE(log.text().find("title updates to 127.0.0.1:"), std::string::npos) << log.text();
    EXPECT_TRUE(BASS_ChannelStop(m));
    EXPECT_EQ(notices.count(), 1u);
    EXPECT_TRUE(BASS_Free());
    EXPECT_TRUE(noChildren());
    std::remove(figures.c_str());
}

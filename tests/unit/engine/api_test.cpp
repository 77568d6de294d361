// The C interface as the plug-in uses it, without outside services: handles and error codes,
// positions, the volume effect, encoder processes and their notices.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bass.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string tempFile(const char* tag) {
    char path[] = "/tmp/larkspur-engine-XXXXXX";
    int fd = ::mkstemp(path);
    ::close(fd);
    return std::string(path) + tag;
}

std::vector<int16_t> readSamples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> s(b.size() / 2);
    std::memcpy(s.data(), b.data(), s.size() * 2);
    return s;
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

int openFds() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (readdir(d)) ++n;
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
    // What is queued before the mixer plays is start-up backlog and gets dropped, so the first
    // period goes in once the mixer plays and the rest only after it was taken.
    std::vector<int16_t> second(44100 * 2, 20000);
    ASSERT_TRUE(BASS_ChannelSetAttribute(mixer, BASS_ATTRIB_VOL, 0.0f));
    auto t0 = Clock::now();
    ASSERT_TRUE(BASS_ChannelPlay(mixer, FALSE));
    BASS_StreamPutData(host, second.data(), 882 * 4);
    for (int i = 0; i < 100 && BASS_Mixer_ChannelGetPosition(host, BASS_POS_BYTE) == 0; ++i)
        std::this_thread::sleep_for(5ms);
    BASS_StreamPutData(host, second.data() + 882 * 2, static_cast<DWORD>(second.size() * 2 - 882 * 4));
    std::this_thread::sleep_for(1500ms);
    QWORD pos = BASS_Mixer_ChannelGetPosition(host, BASS_POS_BYTE);
    EXPECT_EQ(pos, 44100u * 4);  // all of it, and no more: nothing else was pushed
    EXPECT_DOUBLE_EQ(BASS_ChannelBytes2Seconds(host, pos), 1.0);
    ASSERT_TRUE(BASS_ChannelStop(mixer));
    double played = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_FALSE(BASS_ChannelStop(mixer));  // auto-free
    auto s = readSamples(out);
    // Real time: what the encoder got matches the wall clock to within a period or two.
    EXPECT_NEAR(s.size() / 2 / 44100.0, played, 0.06);
    ASSERT_GT(s.size(), 44100u * 2);
    EXPECT_EQ(s[100], 10000);
    EXPECT_EQ(std::count(s.begin(), s.end(), int16_t{10000}), 44100 * 2);  // all of it, once
    EXPECT_EQ(s.back(), 0);  // silence after the music ran out
    BASS_StreamFree(host);
    EXPECT_TRUE(BASS_Free());
    std::remove(out.c_str());
    EXPECT_TRUE(noChildren());
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
    auto s = readSamples(out);
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

// The engine against real services: a private sound server with a test microphone, a private
// Icecast, the real lame and oggenc, and a listener that decodes what the server sends out.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bass.h"
#include "fixtures.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const DWORD kRate = 44100;

// Pushes a sine into a push stream in real time, as the host's playback thread does.
class TonePusher {
public:
    TonePusher(HSTREAM stream, double hz, double amplitude) {
        thread_ = std::thread([=, this] {
            std::vector<int16_t> block(441 * 2);
            double phase = 0;
            auto next = Clock::now();
            while (!stop_) {
                for (size_t i = 0; i < block.size() / 2; ++i) {
                    auto v = static_cast<int16_t>(std::lround(std::sin(phase) * amplitude * 32767));
                    block[2 * i] = block[2 * i + 1] = v;
                    phase += 2 * M_PI * hz / kRate;
                }
                BASS_StreamPutData(stream, block.data(), static_cast<DWORD>(block.size() * 2));
                next += 10ms;
                std::this_thread::sleep_until(next);
            }
        });
    }
    ~TonePusher() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Notices {
    std::mutex m;
    std::condition_variable cv;
    std::vector<DWORD> got;
    static void proc(HENCODE, DWORD status, void* user) {
        auto* n = static_cast<Notices*>(user);
        std::lock_guard<std::mutex> lock(n->m);
        n->got.push_back(status);
        n->cv.notify_all();
    }
    bool waitFor(DWORD status, std::chrono::milliseconds within) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, within, [&] { return std::find(got.begin(), got.end(), status) != got.end(); });
    }
};

std::string childPid(const char* name) {
    std::string out;
    fixtures::run("pgrep -P " + std::to_string(::getpid()) + " -x " + name, &out);
    return out.substr(0, out.find('\n'));
}

// What a failed engine call leaves behind: its error code, so that a failure says why.
::testing::AssertionResult engineCall(bool ok, const char* what) {
    if (ok) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << what << " failed: BASS_ErrorGetCode() = " << BASS_ErrorGetCode();
}

// The graph as the plug-in builds it: capture channel, host stream with its volume effect,
// mixer playing silently on the device, encoder and cast.
struct Station {
    HRECORD rec = 0;
    HSTREAM host = 0, mixer = 0;
    HFX fx = 0;
    HENCODE enc = 0;

    ::testing::AssertionResult build(const std::string& cmdline) {
        if (!BASS_RecordInit(-1)) return engineCall(false, "BASS_RecordInit");
        rec = BASS_RecordStart(kRate, 2, BASS_RECORD_PAUSE, nullptr, nullptr);
        if (!rec) return engineCall(false, "BASS_RecordStart");
        host = BASS_StreamCreate(kRate, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
        if (!host) return engineCall(false, "BASS_StreamCreate");
        fx = BASS_ChannelSetFX(host, BASS_FX_BFX_VOLUME, 0);
        if (!fx) return engineCall(false, "BASS_ChannelSetFX");
        mixer = BASS_Mixer_StreamCreate(kRate, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
        if (!mixer) return engineCall(false, "BASS_Mixer_StreamCreate");
        BASS_ChannelPlay(rec, FALSE);
        if (!BASS_Mixer_StreamAddChannel(mixer, rec, BASS_MIXER_FILTER))
            return engineCall(false, "BASS_Mixer_StreamAddChannel (capture)");
        if (!BASS_Mixer_StreamAddChannel(mixer, host, 0))
            return engineCall(false, "BASS_Mixer_StreamAddChannel (host)");
        enc = BASS_Encode_Start(mixer, cmdline.c_str(), BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, nullptr, nullptr);
        return engineCall(enc != 0, "BASS_Encode_Start");
    }
    // To the server's SHOUTcast port; a refusal also says whether the server is still there.
    ::testing::AssertionResult cast(const fixtures::Icecast& ice, const std::string& pass, const char* content,
                                    const char* name = "Larkspur Test FM") {
        std::string server = "127.0.0.1:" + std::to_string(ice.port());
        auto r = engineCall(BASS_Encode_CastInit(enc, server.c_str(), pass.c_str(), content, name,
                                                 "http://larkspur.example/", "Ambient", "A test station", nullptr, 128,
                                                 FALSE),
                            "BASS_Encode_CastInit");
        if (!r) {
            std::string ended = ice.ended();
            r << " (Icecast " << (ended.empty() ? "running" : ended) << ")";
        }
        return r;
    }
    ::testing::AssertionResult play() {
        if (!BASS_ChannelSetAttribute(mixer, BASS_ATTRIB_VOL, 0.0f))
            return engineCall(false, "BASS_ChannelSetAttribute");
        if (!BASS_ChannelPlay(mixer, FALSE)) return engineCall(false, "BASS_ChannelPlay (mixer)");
        return engineCall(BASS_ChannelPlay(rec, FALSE), "BASS_ChannelPlay (capture)");
    }
    void teardown() {
        if (rec) BASS_ChannelStop(rec);
        if (mixer) BASS_ChannelStop(mixer);
        if (host) BASS_StreamFree(host);
        BASS_RecordFree();
        rec = host = mixer = enc = 0;
    }
    ~Station() { teardown(); }
};

class EngineServices : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sound.start()) << sound.error();
        ASSERT_TRUE(ice.start()) << ice.error();
        ASSERT_TRUE(BASS_Init(-1, kRate, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
    }
    void TearDown() override { BASS_Free(); }

    fixtures::SoundServer sound;
    fixtures::Icecast ice;
};

TEST_F(EngineServices, DeviceListShowsTheTestMicrophoneAsDefault) {
    BASS_DEVICEINFO info{};
    bool found = false;
    for (DWORD n = 0; BASS_RecordGetDeviceInfo(n, &info); ++n) {
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
        EXPECT_TRUE(info.flags & BASS_DEVICE_ENABLED);
        if (std::string(info.name) == "Test_Mic") {
            found = true;
            EXPECT_TRUE(info.flags & BASS_DEVICE_DEFAULT);
            EXPECT_STREQ(info.driver, "mic");
        }
    }
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
    EXPECT_TRUE(found);
    EXPECT_FALSE(BASS_Init(-1, kRate, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
}

// The mixer's raw output, written to a file by a stand-in encoder.
TEST_F(EngineServices, CaptureLevelShowsInWhatIsCaptured) {
    ASSERT_TRUE(sound.feedTone(1000));
    std::string dir = fixtures::makeTempDir("larkspur-capture");
    double rms[3];
    const float levels[3] = {1.0f, 0.5f, 0.0f};
    for (int i = 0; i < 3; ++i) {
        std::string file = dir + "/level" + std::to_string(i) + ".raw";
        Station st;
        ASSERT_TRUE(st.build("dd \"of=" + file + "\" status=none"));
        ASSERT_TRUE(BASS_RecordSetInput(-1, BASS_INPUT_ON, levels[i])) << BASS_ErrorGetCode();
        ASSERT_TRUE(st.play());
        std::this_thread::sleep_for(2500ms);  // the test microphone's first data take about a second
        st.teardown();
        std::ifstream in(file, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<int16_t> s(bytes.size() / 2);
        std::memcpy(s.data(), bytes.data(), s.size() * 2);
        ASSERT_GT(s.size(), kRate) << "level " << levels[i];  // over a second of stereo
        auto left = fixtures::channelOf(s, 2, 0);
        size_t tail = kRate / 2;
        rms[i] = fixtures::rmsLevel(left.data() + left.size() - tail, tail);
        if (i == 0) {
            EXPECT_NEAR(fixtures::dominantFrequency(left.data() + left.size() - tail, tail, kRate), 1000, 3);
        }
    }
    fixtures::run("rm -rf '" + dir + "'");
    EXPECT_GT(rms[0], 0.4);  // the test tone as the server delivers it (about 0.5)
    // Server volumes are cubic: half the normal volume is an eighth of the amplitude.
    EXPECT_NEAR(rms[1] / rms[0], 0.125, 0.03);
    EXPECT_LT(rms[2], 0.001);
}

// The source's volume as the system set it, read back and written back to the step; a mute
// reads as the switch.
TEST_F(EngineServices, InputLevelReadsTheSourcesVolume) {
    ASSERT_TRUE(BASS_RecordInit(-1)) << BASS_ErrorGetCode();
    ASSERT_EQ(fixtures::run("pactl set-source-volume mic 52429 && pactl set-source-mute mic 1"), 0);  // 80 %
    float volume = -1.0f;
    EXPECT_EQ(BASS_RecordGetInput(-1, &volume), DWORD{BASS_INPUT_OFF});
    EXPECT_NEAR(volume, 0.8f, 1e-4);
    ASSERT_TRUE(BASS_RecordSetInput(-1, BASS_INPUT_ON, 0.25f));
    ASSERT_TRUE(BASS_RecordSetInput(-1, 0, volume));
    std::string shown;
    fixtures::run("pactl get-source-volume mic; pactl set-source-mute mic 0; pactl set-source-volume mic 100%", &shown);
    EXPECT_NE(shown.find(": 52429 /"), std::string::npos) << shown;
    ASSERT_TRUE(BASS_RecordFree());
}

// The test server's default sink feeds its microphone, so what the device plays can be heard
// there.
TEST_F(EngineServices, DevicePlaysTheMixAtTheMixersVolume) {
    std::string inputs;
    fixtures::run("pactl list short sink-inputs", &inputs);
    EXPECT_FALSE(inputs.empty()) << "no playback stream on the sound server";
    HSTREAM host = BASS_StreamCreate(kRate, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
    HSTREAM mixer = BASS_Mixer_StreamCreate(kRate, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, host, 0));
    ASSERT_TRUE(BASS_ChannelPlay(mixer, FALSE));
    TonePusher music(host, 440, 0.5);
    double rms[2];
    const float volumes[2] = {1.0f, 0.0f};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(BASS_ChannelSetAttribute(mixer, BASS_ATTRIB_VOL, volumes[i]));
        std::string raw;
        fixtures::run("timeout 6 parec -d mic --raw --format=s16le --rate=44100 --channels=1 | head -c 176400", &raw);
        ASSERT_GE(raw.size(), 88200u);
        std::vector<int16_t> s(raw.size() / 2);
        std::memcpy(s.data(), raw.data(), s.size() * 2);
        size_t tail = kRate / 2;
        rms[i] = fixtures::rmsLevel(s.data() + s.size() - tail, tail);
        if (i == 0) {
            EXPECT_NEAR(fixtures::dominantFrequency(s.data() + s.size() - tail, tail, kRate), 440, 3);
        }
    }
    EXPECT_GT(rms[0], 0.2);
    EXPECT_LT(rms[1], 0.001);
    BASS_ChannelStop(mixer);
}

struct EncoderCase {
    const char* name;
    const char* cmd;
    const char* content;
};

class EncodedTones : public EngineServices, public ::testing::WithParamInterface<EncoderCase> {};

TEST_P(EncodedTones, HostToneAndMicrophoneToneReachTheListener) {
    const EncoderCase& c = GetParam();
    std::string prog = std::string(c.cmd).substr(0, std::string(c.cmd).find(' '));
    ASSERT_FALSE(fixtures::run("command -v " + prog + " >/dev/null")) << prog << " is not installed";
    ASSERT_TRUE(sound.feedTone(1000));
    Station st;
    ASSERT_TRUE(st.build(c.cmd));
    ASSERT_TRUE(st.cast(ice, ice.sourcePassword(), c.content));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
    ASSERT_TRUE(st.play());

    // The music alone: microphone closed.
    ASSERT_TRUE(BASS_RecordSetInput(-1, BASS_INPUT_ON, 0.0f));
    {
        TonePusher music(st.host, 440, 0.5);
        auto heard = fixtures::listen(ice.port(), 3);
        ASSERT_TRUE(heard.ok) << heard.error;
        EXPECT_NEAR(heard.dominantHz, 440, 5);
        EXPECT_GT(heard.rms, 0.1);

        EXPECT_EQ(ice.sourceField("server_name"), "Larkspur Test FM");
        EXPECT_EQ(ice.sourceField("genre"), "Ambient");
        EXPECT_EQ(ice.sourceField("server_url"), "http://larkspur.example/");
        EXPECT_EQ(ice.sourceField("server_description"), "A test station");
        EXPECT_EQ(ice.sourceField("bitrate"), "128");
        EXPECT_EQ(ice.sourceField("server_type"), c.content);

        ASSERT_TRUE(BASS_Encode_CastSetTitle(st.enc, "Artist - S\xC3\xB6ng & more", "http://larkspur.example/"));
        EXPECT_EQ(ice.waitSourceField("title", "Artist - S\xC3\xB6ng & more"), "Artist - S\xC3\xB6ng & more");
    }
    // The host went quiet: the time stands still and the microphone carries on.
    std::this_thread::sleep_for(300ms);  // what was queued drains first
    QWORD before = BASS_Mixer_ChannelGetPosition(st.host, BASS_POS_BYTE);
    EXPECT_GT(BASS_ChannelBytes2Seconds(st.host, before), 2.0);
    ASSERT_TRUE(BASS_RecordSetInput(-1, BASS_INPUT_ON, 1.0f));
    auto heard = fixtures::listen(ice.port(), 3);
    ASSERT_TRUE(heard.ok) << heard.error;
    EXPECT_NEAR(heard.dominantHz, 1000, 5);
    EXPECT_EQ(BASS_Mixer_ChannelGetPosition(st.host, BASS_POS_BYTE), before);
}

INSTANTIATE_TEST_SUITE_P(Encoders, EncodedTones,
                         ::testing::Values(EncoderCase{"lame", "lame -r -s 44100 -b 128 -", "audio/mpeg"},
                                           EncoderCase{"oggenc", "oggenc -r -R 44100 -b 128 -m 128 -",
                                                       "application/ogg"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineServices, WrongPasswordAndMountInUseAreRefused) {
    Station st;
    ASSERT_TRUE(st.build("lame -r -s 44100 -b 128 -"));
    EXPECT_FALSE(st.cast(ice, "not-the-password", "audio/mpeg"));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CAST_DENIED);

    ASSERT_TRUE(st.cast(ice, ice.sourcePassword(), "audio/mpeg"));
    ASSERT_TRUE(st.play());
    HSTREAM other = BASS_Mixer_StreamCreate(kRate, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    HENCODE enc2 = BASS_Encode_Start(other, "lame -r -s 44100 -b 128 -", BASS_ENCODE_NOHEAD, nullptr, nullptr);
    ASSERT_NE(enc2, 0u);
    EXPECT_FALSE(BASS_Encode_CastInit(enc2, ("127.0.0.1:" + std::to_string(ice.port())).c_str(),
                                      ice.sourcePassword().c_str(), "audio/mpeg", "Second", "", "", "", nullptr, 128,
                                      FALSE));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CAST_INUSE);  // refused, not left to the deadline
    BASS_ChannelStop(other);
}

TEST_F(EngineServices, ServerKilledGivesConnectionNotice) {
    Station st;
    Notices n;
    ASSERT_TRUE(st.build("lame -r -s 44100 -b 128 -"));
    ASSERT_TRUE(st.cast(ice, ice.sourcePassword(), "audio/mpeg"));
    ASSERT_TRUE(st.play());
    ASSERT_TRUE(BASS_Encode_SetNotify(st.enc, &Notices::proc, &n));
    TonePusher music(st.host, 440, 0.5);
    std::this_thread::sleep_for(500ms);
    ::kill(ice.pid(), SIGKILL);
    EXPECT_TRUE(n.waitFor(BASS_ENCODE_NOTIFY_CAST, 10s));
    EXPECT_FALSE(n.waitFor(BASS_ENCODE_NOTIFY_ENCODER, 300ms));
}

TEST_F(EngineServices, EncoderKilledGivesEncoderNoticeAndStoppingFromTheCallbackWorks) {
    Station st;
    struct Ctx {
        Notices n;
        HSTREAM mixer;
        std::atomic<bool> stopped{false};
    } ctx;
    ASSERT_TRUE(st.build("lame -r -s 44100 -b 128 -"));
    ctx.mixer = st.mixer;
    ASSERT_TRUE(st.cast(ice, ice.sourcePassword(), "audio/mpeg"));
    ASSERT_TRUE(st.play());
    auto proc = [](HENCODE h, DWORD status, void* user) {
        auto* c = static_cast<Ctx*>(user);
        // As the plug-in does: tear the graph down from inside the notice.
        c->stopped = BASS_ChannelStop(c->mixer) != FALSE;
        Notices::proc(h, status, &c->n);
    };
    ASSERT_TRUE(BASS_Encode_SetNotify(st.enc, proc, &ctx));
    std::string pid = childPid("lame");
    ASSERT_FALSE(pid.empty());
    ::kill(std::stoi(pid), SIGKILL);
    ASSERT_TRUE(ctx.n.waitFor(BASS_ENCODE_NOTIFY_ENCODER, 5s));
    EXPECT_TRUE(ctx.stopped);
    EXPECT_FALSE(BASS_Encode_SetNotify(st.enc, &Notices::proc, &ctx.n));  // freed with its mixer
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    st.mixer = 0;
    EXPECT_TRUE(childPid("lame").empty());
}

TEST_F(EngineServices, StoppingTheMixerEndsTheEncoderQuietly) {
    Station st;
    Notices n;
    ASSERT_TRUE(st.build("oggenc -r -R 44100 -b 128 -m 128 -"));
    ASSERT_TRUE(st.cast(ice, ice.sourcePassword(), "application/ogg"));
    ASSERT_TRUE(st.play());
    ASSERT_TRUE(BASS_Encode_SetNotify(st.enc, &Notices::proc, &n));
    ASSERT_FALSE(childPid("oggenc").empty());
    auto t0 = Clock::now();
    ASSERT_TRUE(BASS_ChannelStop(st.mixer));
    EXPECT_LT(Clock::now() - t0, 30s);  // bounded by the kill after the grace, not by oggenc
    st.mixer = 0;
    EXPECT_TRUE(childPid("oggenc").empty());  // ended and reaped
    // Notices come one at a time in the order posted: once a later encoder's death has been
    // told, a notice of the stopped one would have been too.
    Notices fence;
    HSTREAM other = BASS_Mixer_StreamCreate(kRate, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    HENCODE dies = BASS_Encode_Start(other, "true", BASS_ENCODE_NOHEAD, nullptr, nullptr);
    ASSERT_NE(dies, 0u);
    ASSERT_TRUE(BASS_Encode_SetNotify(dies, &Notices::proc, &fence));
    EXPECT_TRUE(fence.waitFor(BASS_ENCODE_NOTIFY_ENCODER, 30s));
    BASS_ChannelStop(other);
    std::lock_guard<std::mutex> lock(n.m);
    EXPECT_TRUE(n.got.empty());
}

// Accepts on the source port and never says a word.
TEST(EngineCast, ServerThatNeverAnswersFailsAtTheDeadline) {
    int port = fixtures::freePort();
    int ls = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port + 1));
    ASSERT_EQ(::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(ls, 4), 0);
    HSTREAM mixer = BASS_Mixer_StreamCreate(kRate, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    HENCODE enc = BASS_Encode_Start(mixer, "lame -r -s 44100 -b 128 -", BASS_ENCODE_NOHEAD, nullptr, nullptr);
    ASSERT_NE(enc, 0u);
    auto t0 = Clock::now();
    EXPECT_FALSE(BASS_Encode_CastInit(enc, ("127.0.0.1:" + std::to_string(port)).c_str(), "pw", "audio/mpeg", "n",
                                      "", "", "", nullptr, 128, FALSE));
    auto took = Clock::now() - t0;
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_TIMEOUT);
    EXPECT_GT(took, 9s);
    EXPECT_LT(took, 12s);
    BASS_ChannelStop(mixer);
    ::close(ls);
}

// A loopback source port that never answers: the kernel accepts, nobody reads.
struct SilentServer {
    int port = fixtures::freePort();
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    SilentServer() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port + 1));
        if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 4) != 0) port = 0;
    }
    ~SilentServer() { ::close(listener); }
};

// Takes the source and reads the stream until told to stop reading; then holds the line. Its
// receive buffer is small, as a busy server's fills.
class StallingServer {
public:
    StallingServer() {
        int small = 8192;
        ::setsockopt(silent_.listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        thread_ = std::thread([this] { serve(); });
    }
    ~StallingServer() {
        quit_ = true;
        thread_.join();
        if (client_ >= 0) ::close(client_);
    }
    int port() const { return silent_.port; }
    size_t received() const { return received_.load(); }
    void stopReading() { reading_ = false; }

private:
    void serve() {
        pollfd lp{silent_.listener, POLLIN, 0};
        while (!quit_ && ::poll(&lp, 1, 50) == 0) {
        }
        if (quit_) return;
        client_ = ::accept4(silent_.listener, nullptr, nullptr, SOCK_CLOEXEC);
        std::string head;
        char buf[4096];
        while (!quit_) {
            pollfd cp{client_, POLLIN, 0};
            if (!reading_ || ::poll(&cp, 1, 50) <= 0) {
                std::this_thread::sleep_for(10ms);
                continue;
            }
            ssize_t n = ::recv(client_, buf, sizeof buf, 0);
            if (n <= 0) return;
            received_ += static_cast<size_t>(n);
            if (head.size() < 4096) {
                head.append(buf, static_cast<size_t>(n));
                if (head.find("\r\n") != std::string::npos && !answered_) {
                    answered_ = true;
                    const char ok[] = "OK2\r\nicy-caps:11\r\n\r\n";
                    ::send(client_, ok, sizeof ok - 1, MSG_NOSIGNAL);
                }
            }
        }
    }
    SilentServer silent_;
    int client_ = -1;
    bool answered_ = false;
    std::atomic<bool> reading_{true}, quit_{false};
    std::atomic<size_t> received_{0};
    std::thread thread_;
};

TEST(EngineCast, ServerThatStopsReadingIsADeadConnectionWithinTwelveSeconds) {
    StallingServer server;
    ASSERT_NE(server.port(), 0);
    ASSERT_TRUE(BASS_Init(0, kRate, 0, nullptr, nullptr));
    Notices n;
    HSTREAM mixer = BASS_Mixer_StreamCreate(kRate, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    HENCODE enc = BASS_Encode_Start(mixer, "lame -r -s 44100 -b 128 -", BASS_ENCODE_NOHEAD, nullptr, nullptr);
    ASSERT_NE(enc, 0u);
    ASSERT_TRUE(BASS_Encode_CastInit(enc, ("127.0.0.1:" + std::to_string(server.port())).c_str(), "pw", "audio/mpeg",
                                     "Stalling FM", "", "", "", nullptr, 128, FALSE))
        << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_Encode_SetNotify(enc, &Notices::proc, &n));
    ASSERT_TRUE(BASS_ChannelPlay(mixer, FALSE));
    // Two seconds of the stream at 128 kb/s arrive, then the server stops reading.
    for (int i = 0; i < 1000 && server.received() < 32000; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_GE(server.received(), 32000u);
    server.stopReading();
    const auto t0 = Clock::now();
    EXPECT_TRUE(n.waitFor(BASS_ENCODE_NOTIFY_CAST, 12s));
    std::printf("a server that stopped reading was found dead after %.1f s\n",
                std::chrono::duration<double>(Clock::now() - t0).count());
    EXPECT_FALSE(n.waitFor(BASS_ENCODE_NOTIFY_ENCODER, 100ms));
    const auto t1 = Clock::now();
    EXPECT_TRUE(BASS_ChannelStop(mixer));
    EXPECT_LT(Clock::now() - t1, 1s);
    EXPECT_TRUE(BASS_Free());
}

// The cancel reaches a handshake under way on another thread: the stop (or the free) and the
// handshake both return within a second.
TEST(EngineCast, StopAndFreeDuringAHandshakeWithASilentServerReturnAtOnce) {
    for (bool viaFree : {false, true}) {
        SCOPED_TRACE(viaFree ? "BASS_Free" : "BASS_ChannelStop");
        SilentServer server;
        ASSERT_NE(server.port, 0);
        ASSERT_TRUE(BASS_Init(0, kRate, 0, nullptr, nullptr));
        HSTREAM mixer = BASS_Mixer_StreamCreate(kRate, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
        HENCODE enc = BASS_Encode_Start(mixer, "lame -r -s 44100 -b 128 -", BASS_ENCODE_NOHEAD, nullptr, nullptr);
        ASSERT_NE(enc, 0u);
        std::atomic<bool> returned{false};
        std::atomic<BOOL> ok{TRUE};
        std::atomic<int> code{0};
        Clock::time_point returnedAt;
        std::thread caster([&] {
            ok = BASS_Encode_CastInit(enc, ("127.0.0.1:" + std::to_string(server.port)).c_str(), "pw", "audio/mpeg",
                                      "n", "", "", "", nullptr, 128, FALSE);
            code = BASS_ErrorGetCode();
            returnedAt = Clock::now();
            returned = true;
        });
        std::this_thread::sleep_for(500ms);  // connected, the password sent, waiting for an answer
        const auto t0 = Clock::now();
        if (viaFree) {
            EXPECT_TRUE(BASS_Free());
        } else {
            EXPECT_TRUE(BASS_ChannelStop(mixer));
        }
        EXPECT_LT(Clock::now() - t0, 1s);
        for (int i = 0; i < 500 && !returned; ++i) std::this_thread::sleep_for(10ms);
        caster.join();
        EXPECT_LT(returnedAt - t0, 1s);
        EXPECT_FALSE(ok);
        EXPECT_EQ(code, BASS_ERROR_HANDLE);
        if (!viaFree) {
            EXPECT_TRUE(BASS_Free());
        }
    }
}

TEST(EngineCapture, NoSoundServerMeansAnEmptyListAndFastFailure) {
    std::string dir = fixtures::makeTempDir("larkspur-nopulse");
    ::setenv("PULSE_SERVER", ("unix:" + dir + "/none").c_str(), 1);
    BASS_DEVICEINFO info{};
    auto t0 = Clock::now();
    EXPECT_FALSE(BASS_RecordGetDeviceInfo(0, &info));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
    EXPECT_FALSE(BASS_RecordInit(-1));
    EXPECT_NE(BASS_ErrorGetCode(), BASS_OK);
    EXPECT_FALSE(BASS_RecordInit(0));
    EXPECT_LT(Clock::now() - t0, 1s);
    // The device still works as a clock.
    ASSERT_TRUE(BASS_Init(-1, kRate, 0, nullptr, nullptr));
    EXPECT_TRUE(BASS_Free());
    EXPECT_FALSE(BASS_Free());
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
    fixtures::run("rm -rf '" + dir + "'");
}

TEST(EngineCapture, HungSoundServerFailsAtTheDeadline) {
    fixtures::SoundServer sound;
    ASSERT_TRUE(sound.start()) << sound.error();
    sound.freeze();
    BASS_DEVICEINFO info{};
    auto t0 = Clock::now();
    EXPECT_FALSE(BASS_RecordGetDeviceInfo(0, &info));
    EXPECT_FALSE(BASS_RecordInit(-1));
    auto took = Clock::now() - t0;
    EXPECT_LT(took, 6s);  // two calls, each bounded by its 2 s deadline
    sound.thaw();
    EXPECT_TRUE(BASS_RecordGetDeviceInfo(0, &info));
}

}  // namespace

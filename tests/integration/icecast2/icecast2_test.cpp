// Icecast 2 sources against a real Icecast without a SHOUTcast port: two mounts at once, each
// with its own tone, texts and title; refusals with their own codes; TLS with the test's CA.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bass.h"
#include "fixtures.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const DWORD kRate = 44100;
const char* kMp3 = "lame -r -s 44100 -b 128 -";
const char* kOgg = "oggenc -r -R 44100 -b 128 -m 128 -";

// A push stream fed a sine in real time, mixed and encoded: one station.
class Station {
public:
    Station(const char* cmdline, double hz) {
        host_ = BASS_StreamCreate(kRate, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
        mixer_ = BASS_Mixer_StreamCreate(kRate, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
        if (host_ && mixer_ && BASS_Mixer_StreamAddChannel(mixer_, host_, 0))
            enc_ = BASS_Encode_Start(mixer_, cmdline, BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, nullptr, nullptr);
        pusher_ = std::thread([this, hz] {
            std::vector<int16_t> block(441 * 2);
            double phase = 0;
            auto next = Clock::now();
            while (!stop_) {
                for (size_t i = 0; i < block.size() / 2; ++i) {
                    auto v = static_cast<int16_t>(std::lround(std::sin(phase) * 0.5 * 32767));
                    block[2 * i] = block[2 * i + 1] = v;
                    phase += 2 * M_PI * hz / kRate;
                }
                BASS_StreamPutData(host_, block.data(), static_cast<DWORD>(block.size() * 2));
                next += 10ms;
                std::this_thread::sleep_until(next);
            }
        });
    }
    ~Station() {
        stop_ = true;
        pusher_.join();
        BASS_ChannelStop(mixer_);
        BASS_StreamFree(host_);
    }
    HENCODE encoder() const { return enc_; }
    bool cast(const std::string& server, const std::string& pass, const char* content, const char* name) {
        return BASS_Encode_CastInit(enc_, server.c_str(), pass.c_str(), content, name, "http://larkspur.example/",
                                    "Ambient", "A test station", nullptr, 128, TRUE);
    }
    bool play() { return BASS_ChannelSetAttribute(mixer_, BASS_ATTRIB_VOL, 0.0f) && BASS_ChannelPlay(mixer_, FALSE); }

private:
    HSTREAM host_ = 0, mixer_ = 0;
    HENCODE enc_ = 0;
    std::atomic<bool> stop_{false};
    std::thread pusher_;
};

class Icecast2 : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* p : {"lame", "oggenc", "ffmpeg", "openssl"})
            ASSERT_EQ(fixtures::run(std::string("command -v ") + p + " >/dev/null"), 0) << p << " is not installed";
        fixtures::IcecastOptions o;
        o.shoutcastPort = false;
        o.mounts = {"/live", "/other"};
        o.tls = tls;
        ASSERT_TRUE(ice.start(o)) << ice.error();
        ASSERT_TRUE(BASS_Init(0, kRate, 0, nullptr, nullptr)) << BASS_ErrorGetCode();  // a clock, no sound
    }
    void TearDown() override {
        BASS_Free();
        ::unsetenv("SSL_CERT_FILE");
    }
    std::string at(const std::string& prefix, int port, const std::string& mount) const {
        return prefix + "127.0.0.1:" + std::to_string(port) + mount;
    }

    bool tls = false;
    fixtures::Icecast ice;
};

class Icecast2Tls : public Icecast2 {
protected:
    void SetUp() override {
        tls = true;
        Icecast2::SetUp();
    }
};

// A title given as an Ogg station comes on the air: Icecast rebuilds the stream to carry it, and
// one that reached it before the first audio after the headers would silence the mount for
// good (or be replaced by the headers' own comment). It is held back until audio flows: the
// mount shows it and a listener still hears the station.
TEST_F(Icecast2, AnOggTitleGivenAtOnceNeitherSilencesTheMountNorIsLost) {
    Station ogg(kOgg, 660);
    ASSERT_TRUE(ogg.cast(at("", ice.port(), "/other"), ice.sourcePassword(), "application/ogg", "Larkspur Two"))
        << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_Encode_CastSetTitle(ogg.encoder(), "First - Title", ""));
    ASSERT_TRUE(ogg.play());
    EXPECT_EQ(ice.waitMountField("/other", "title", "First - Title", 15000), "First - Title") << ice.statusJson();
    const auto heard = fixtures::listen(ice.port(), 2, "/other");
    ASSERT_TRUE(heard.ok) << heard.error;
    EXPECT_NEAR(heard.dominantHz, 660, 5);
}

TEST_F(Icecast2, TwoStationsOnTheirOwnMountsAtOnce) {
    Station mp3(kMp3, 440), ogg(kOgg, 660);
    ASSERT_TRUE(mp3.cast(at("", ice.port(), "/live"), ice.sourcePassword(), "audio/mpeg", "Larkspur One"))
        << BASS_ErrorGetCode();
    ASSERT_TRUE(ogg.cast(at("http://source@", ice.port(), "/other"), ice.sourcePassword(), "application/ogg",
                         "Larkspur Two\r\nicy-irc: #two"))
        << BASS_ErrorGetCode();
    ASSERT_TRUE(mp3.play());
    ASSERT_TRUE(ogg.play());

    auto other = std::async(std::launch::async, [&] { return fixtures::listen(ice.port(), 3, "/other"); });
    auto live = fixtures::listen(ice.port(), 3, "/live");
    auto heardOther = other.get();
    ASSERT_TRUE(live.ok) << live.error;
    ASSERT_TRUE(heardOther.ok) << heardOther.error;
    EXPECT_NEAR(live.dominantHz, 440, 5);
    EXPECT_NEAR(heardOther.dominantHz, 660, 5);

    struct Expected {
        const char* mount;
        const char* name;
        const char* type;
    };
    for (const Expected& e : {Expected{"/live", "Larkspur One", "audio/mpeg"},
                              Expected{"/other", "Larkspur Two", "application/ogg"}}) {
        SCOPED_TRACE(e.mount);
        EXPECT_EQ(ice.mountField(e.mount, "server_name"), e.name);
        EXPECT_EQ(ice.mountField(e.mount, "genre"), "Ambient");
        EXPECT_EQ(ice.mountField(e.mount, "server_url"), "http://larkspur.example/");
        EXPECT_EQ(ice.mountField(e.mount, "server_description"), "A test station");
        EXPECT_EQ(ice.mountField(e.mount, "bitrate"), "128");
        EXPECT_EQ(ice.mountField(e.mount, "server_type"), e.type);
    }

    // A title goes to its own mount only, URL-encoded, in UTF-8 as the mount declares.
    const char* song = "Artist - S\xC3\xB6ng & more?";
    ASSERT_TRUE(BASS_Encode_CastSetTitle(ogg.encoder(), song, "http://larkspur.example/"));
    EXPECT_EQ(ice.waitMountField("/other", "title", song), song);
    EXPECT_EQ(ice.mountField("/live", "title"), "");
    ASSERT_TRUE(BASS_Encode_CastSetTitle(mp3.encoder(), "Only on live", ""));
    EXPECT_EQ(ice.waitMountField("/live", "title", "Only on live"), "Only on live");
    EXPECT_EQ(ice.mountField("/other", "title"), song);
}

TEST_F(Icecast2, RefusalsComeAtOnceWithTheirOwnCodes) {
    Station first(kMp3, 440), second(kMp3, 550);
    auto t0 = Clock::now();
    EXPECT_FALSE(first.cast(at("", ice.port(), "/live"), "not-the-password", "audio/mpeg", "Wrong"));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CAST_AUTH);
    EXPECT_LT(Clock::now() - t0, 1s);
    EXPECT_FALSE(first.cast(at("http://dj@", ice.port(), "/live"), ice.sourcePassword(), "audio/mpeg", "Wrong"));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CAST_AUTH);  // only "source" may log in without a mount user

    ASSERT_TRUE(first.cast(at("", ice.port(), "/live"), ice.sourcePassword(), "audio/mpeg", "First"))
        << BASS_ErrorGetCode();
    ASSERT_TRUE(first.play());
    t0 = Clock::now();
    EXPECT_FALSE(second.cast(at("", ice.port(), "/live"), ice.sourcePassword(), "audio/mpeg", "Second"));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CAST_INUSE);
    EXPECT_LT(Clock::now() - t0, 1s);
    EXPECT_EQ(ice.waitMountField("/live", "server_name"), "First");

    // Addresses the engine cannot read never reach the server.
    for (const char* bad : {"ftp://127.0.0.1:8000/live", "http://127.0.0.1:8000", "127.0.0.1:8000/"}) {
        EXPECT_FALSE(second.cast(bad, ice.sourcePassword(), "audio/mpeg", "Bad")) << bad;
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CAST_ADDRESS) << bad;
    }
    // No SHOUTcast port here: the old form finds nobody at port + 1.
    EXPECT_FALSE(second.cast("127.0.0.1:" + std::to_string(ice.port()), ice.sourcePassword(), "audio/mpeg", "Old"));
}

TEST_F(Icecast2Tls, OnTheAirOverTlsOnlyWithATrustedCertificate) {
    auto station = std::make_unique<Station>(kMp3, 440);
    Station& st = *station;
    const std::string server = "https://localhost:" + std::to_string(ice.tlsPort()) + "/live";
    ::unsetenv("SSL_CERT_FILE");
    EXPECT_FALSE(st.cast(server, ice.sourcePassword(), "audio/mpeg", "Untrusted"));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CAST_CERT);
    // A plain source on the TLS port fails too.
    EXPECT_FALSE(st.cast(at("http://", ice.tlsPort(), "/live"), ice.sourcePassword(), "audio/mpeg", "x"));
    EXPECT_EQ(ice.mountField("/live", "server_name"), "");

    ::setenv("SSL_CERT_FILE", ice.caFile().c_str(), 1);
    // Trusted, but for another name: one the resolver reads as 127.0.0.1, not on the certificate.
    EXPECT_FALSE(st.cast("https://127.1:" + std::to_string(ice.tlsPort()) + "/live", ice.sourcePassword(),
                         "audio/mpeg", "Elsewhere"));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CAST_CERT);
    ASSERT_TRUE(st.cast(server, ice.sourcePassword(), "audio/mpeg", "Secure FM")) << BASS_ErrorGetCode();
    ASSERT_TRUE(st.play());
    auto heard = fixtures::listen(ice.port(), 3, "/live");
    ASSERT_TRUE(heard.ok) << heard.error;
    EXPECT_NEAR(heard.dominantHz, 440, 5);
    EXPECT_EQ(ice.mountField("/live", "server_name"), "Secure FM");
    ASSERT_TRUE(BASS_Encode_CastSetTitle(st.encoder(), "Over TLS", ""));
    EXPECT_EQ(ice.waitMountField("/live", "title", "Over TLS"), "Over TLS");

    // Going off the air frees the mount at once, not at the server's source timeout.
    station.reset();
    auto t0 = Clock::now();
    while (!ice.mountField("/live", "server_name").empty() && Clock::now() - t0 < 5s) std::this_thread::sleep_for(50ms);
    EXPECT_LT(Clock::now() - t0, 3s);
    Station again(kMp3, 440);
    EXPECT_TRUE(again.cast(server, ice.sourcePassword(), "audio/mpeg", "Secure FM again")) << BASS_ErrorGetCode();
}

}  // namespace

// The server and the encoder failing under a live broadcast, and servers that misbehave
// during the source handshake; real Icecast, real encoders, the real engine.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "../../support/test_resolver.h"
#include "audio/audio_graph.h"
#include "broadcast/connection.h"
#include "broadcast/title_status.h"
#include "desktop/desktop.h"
#include "desktop/headless.h"
#include "faults.h"
#include "on_air.h"
#include "plugin/globals.h"
#include "probe.h"
#include "ui/window_thread.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using faults::eventually;

const auto* services = ::testing::AddGlobalTestEnvironment(new on_air::Services);

long msSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Server restarts in the restart test: LARKSPUR_FAULT_ROUNDS, 10 unless set.
int roundsWanted() {
    const char* env = std::getenv("LARKSPUR_FAULT_ROUNDS");
    return env && std::atoi(env) > 0 ? std::atoi(env) : 10;
}

class Faults : public on_air::Station {
protected:
    void SetUp() override {
        on_air::Station::SetUp();
        threadsBefore = faults::threadCount();
    }
    void TearDown() override {
        revivable.stopRevived();
        on_air::Station::TearDown();
    }
    // Once the broadcast is down and handled, no thread of ours is left over.
    bool threadsBack() {
        return eventually([&] { return faults::threadCount() <= threadsBefore; }, 3s);
    }
    pid_t encoderPid() {
        auto found = on_air::encoderChildren();
        return found.size() == 1 ? found[0] : 0;
    }
    int threadsBefore = 0;
    faults::Revivable revivable{ice};
};

TEST_F(Faults, ServerKilledAndRestartedTheStationComesBackEachTime) {
    configure();
    station.autoReconnect = 1;
    ASSERT_EQ(toggleConnection(&station, true), 1);
    ASSERT_EQ(ice.waitSourceField("server_name", "Larkspur FM"), "Larkspur FM");
    std::vector<long> backMs;
    for (int round = 0; round < roundsWanted(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        revivable.kill();
        ASSERT_TRUE(eventually([] { return station.streaming == 0; }, 5s));
        // The reconnect loop has begun an attempt against no server.
        ASSERT_TRUE(eventually([] { return desktop::text(statusLine).rfind("reconnecting... #", 0) == 0; }, 10s, 5ms));
        EXPECT_EQ(station.streaming, 0);
        ASSERT_TRUE(revivable.revive());
        const auto returned = Clock::now();
        // Attempts come once a second; one that meets the server still starting costs another
        // round, so a loaded machine may need a few. The figures are printed, not asserted.
        ASSERT_TRUE(eventually([] { return station.streaming == 1; }, 10s, 5ms))
            << "not back on the air 10 s after the server";
        backMs.push_back(msSince(returned));
        EXPECT_EQ(ice.waitSourceField("server_name", "Larkspur FM", 3000), "Larkspur FM");
        EXPECT_EQ(ice.sourceField("genre"), "Jazz");
        EXPECT_TRUE(eventually([] { return desktop::text(connectToggle) == "Disconnect"; }, 2s));
        EXPECT_EQ(on_air::encoderChildren().size(), 1u);
    }
    std::string all;
    for (long ms : backMs) all += std::to_string(ms) + " ";
    std::printf("back on the air after the server's return (ms): %s\n", all.c_str());
    EXPECT_TRUE(boxTexts().empty()) << ::testing::PrintToString(boxTexts());
}

// A server name whose first address never answers (an IPv6 address behind a broken route, as
// on many networks) and whose second is the server: on the air through the second, and after
// each server restart back as usual, the titles through the same name.
TEST_F(Faults, ANameWhoseFirstAddressNeverAnswersIsBackAfterEachServerRestart) {
    loopback::BlackHole hole;
    ASSERT_TRUE(hole.ready);
    loopback::Resolver resolver({hole.port, 0}, &larkspurEngineSetLookup);  // then the port asked for
    configure();
    storeText(station.server, "larkspur-two-addresses.test");
    station.autoReconnect = 1;
    ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
    ASSERT_EQ(ice.waitSourceField("server_name", "Larkspur FM"), "Larkspur FM");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        revivable.kill();
        ASSERT_TRUE(eventually([] { return station.streaming == 0; }, 5s));
        ASSERT_TRUE(revivable.revive());
        ASSERT_TRUE(eventually([] { return station.streaming == 1; }, 10s)) << desktop::text(statusLine);
        EXPECT_EQ(ice.waitSourceField("server_name", "Larkspur FM", 3000), "Larkspur FM");
        const std::string title = "Round " + std::to_string(round) + " - Through the second address";
        EXPECT_TRUE(BASS_Encode_CastSetTitle(station.encoder, title.c_str(), ""));
        EXPECT_EQ(ice.waitSourceField("title", title, 5000), title);
    }
    EXPECT_TRUE(boxTexts().empty()) << ::testing::PrintToString(boxTexts());
}

// A stopped Icecast still accepts connections and takes data into its socket buffers, but reads
// nothing: the engine finds the connection dead within seconds, and the reconnect loop brings
// the station back once the server runs again.
TEST_F(Faults, ServerThatStopsReadingIsLeftAndTheStationReturnsWithIt) {
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{ice.pid()};
    configure();
    station.autoReconnect = 1;
    ASSERT_EQ(toggleConnection(&station, true), 1);
    ASSERT_EQ(ice.waitSourceField("server_name", "Larkspur FM"), "Larkspur FM");
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(::kill(ice.pid(), SIGSTOP), 0);
    const auto stopped = Clock::now();
    ASSERT_TRUE(eventually([] { return station.streaming == 0; }, 20s));
    const long deadMs = msSince(stopped);
    // An attempt against the stopped server is under way, and does not succeed.
    ASSERT_TRUE(eventually([] { return desktop::text(statusLine).rfind("reconnecting... #", 0) == 0; }, 10s, 5ms));
    EXPECT_EQ(station.streaming, 0);
    ASSERT_EQ(::kill(ice.pid(), SIGCONT), 0);
    const auto resumed = Clock::now();
    // An attempt under way may have to wait out its handshake deadline first.
    ASSERT_TRUE(eventually([] { return station.streaming == 1; }, 30s));
    std::printf("server stopped reading: left after %ld ms; back %ld ms after it resumed\n", deadMs,
                msSince(resumed));
    EXPECT_EQ(ice.waitSourceField("server_name", "Larkspur FM", 5000), "Larkspur FM");
    EXPECT_TRUE(eventually([] { return desktop::text(connectToggle) == "Disconnect"; }, 2s));
    EXPECT_EQ(on_air::encoderChildren().size(), 1u);
    EXPECT_TRUE(boxTexts().empty()) << ::testing::PrintToString(boxTexts());
}

TEST_F(Faults, ServerDeathWithoutReconnectionIsReportedAndNothingRuns) {
    configure();
    ASSERT_EQ(toggleConnection(&station, true), 1);
    ASSERT_FALSE(ice.waitSourceField("server_type").empty());
    revivable.kill();
    ASSERT_TRUE(eventually([] { return !desktop::headless::boxes().empty(); }, 10s));
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"The server connection died!  "});
    EXPECT_EQ(station.streaming, 0);
    EXPECT_EQ(station.hostStream, 0u);
    EXPECT_EQ(desktop::text(connectToggle), "Connect");
    EXPECT_TRUE(on_air::noEncoderLeft());
    EXPECT_TRUE(threadsBack()) << faults::threadCount() << " threads, " << threadsBefore << " before";
}

TEST_F(Faults, EncoderKilledWithoutReconnectionIsReported) {
    configure();
    ASSERT_EQ(toggleConnection(&station, true), 1);
    const pid_t encoder = encoderPid();
    ASSERT_GT(encoder, 0);
    ::kill(encoder, SIGKILL);
    ASSERT_TRUE(eventually([] { return !desktop::headless::boxes().empty(); }, 10s));
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"The encoder died!  "});
    EXPECT_EQ(station.streaming, 0);
    EXPECT_TRUE(on_air::noEncoderLeft());
    EXPECT_TRUE(sourceGone());
    EXPECT_TRUE(threadsBack()) << faults::threadCount() << " threads, " << threadsBefore << " before";
}

TEST_F(Faults, EncoderKilledWithReconnectionComesBackWithANewEncoder) {
    configure("application/ogg");
    station.autoReconnect = 1;
    ASSERT_EQ(toggleConnection(&station, true), 1);
    const pid_t encoder = encoderPid();
    ASSERT_GT(encoder, 0);
    ::kill(encoder, SIGKILL);
    ASSERT_TRUE(eventually([] { return station.streaming == 0; }, 5s, 5ms));
    ASSERT_TRUE(eventually([] { return station.streaming == 1; }, 5s));
    ASSERT_TRUE(eventually([&] { return encoderPid() > 0; }, 2s));
    EXPECT_NE(encoderPid(), encoder);
    EXPECT_EQ(ice.waitSourceField("server_type", "application/ogg"), "application/ogg");
    EXPECT_TRUE(boxTexts().empty()) << ::testing::PrintToString(boxTexts());
}

// An engine thread that dies of an error (out of memory, made so here) is not a silent end of
// the broadcast: the device clock's death reaches the plug-in as its encoder's, and the
// reconnect brings the station back; a failure on the sound server's thread only reopens the
// capture stream, and neither ends the host.
TEST_F(Faults, AnEngineThreadThatFailsIsReportedAndTheStationComesBack) {
    configure();
    station.autoReconnect = 1;
    ASSERT_EQ(toggleConnection(&station, true), 1);
    const DWORD encoder = station.encoder;
    larkspurEngineFailThreads(1);  // the device clock
    ASSERT_TRUE(eventually([&] { return station.streaming == 1 && station.encoder != encoder; }, 15s));
    EXPECT_EQ(ice.waitSourceField("server_type", "audio/mpeg"), "audio/mpeg");
    EXPECT_TRUE(boxTexts().empty()) << ::testing::PrintToString(boxTexts());

    auto captureStreams = [] {
        std::string list;
        fixtures::run("pactl list short source-outputs", &list);
        return list;
    };
    const std::string before = captureStreams();
    ASSERT_FALSE(before.empty());
    const DWORD onAir = station.encoder;
    larkspurEngineFailThreads(8);  // the capture callback on libpulse's thread
    EXPECT_TRUE(eventually([&] { return captureStreams() != before && !captureStreams().empty(); }, 10s))
        << before;
    EXPECT_TRUE(eventually([] { return BASS_ChannelIsActive(station.recordChannel) == BASS_ACTIVE_PLAYING; }, 10s));
    EXPECT_EQ(station.streaming, 1);
    EXPECT_EQ(station.encoder, onAir);
    EXPECT_TRUE(boxTexts().empty()) << ::testing::PrintToString(boxTexts());
}

// Disconnect pressed while a reconnect attempt waits in its handshake with a server that
// accepts and says nothing: the window thread, the real one on the headless desktop, is not
// held for the handshake's 10 s. The attempt is cancelled, the loop ends, the station is off.
TEST_F(Faults, DisconnectDuringAReconnectHandshakeAnswersAtOnceAndEndsTheLoop) {
    namespace hl = desktop::headless;
    configure();
    station.autoReconnect = 1;
    // The window thread opens the output device and its own window, as in the host.
    releaseAudioDevice();
    hl::reset();
    auto window = std::async(std::launch::async, [] { return windowThreadProc(&station); });
    struct EndWindow {
        std::future<int>& window;
        ~EndWindow() {
            desktop::endLoop();
            window.wait();
            desktop::resetLoop();
        }
    } endWindow{window};
    ASSERT_TRUE(eventually([] { return hl::timerPeriod(statusTimer) != 0; }, 5s));
    hl::click(connectToggle);
    ASSERT_EQ(ice.waitSourceField("server_name", "Larkspur FM", 20000), "Larkspur FM");

    // The connect is over once the toggle reads "Disconnect": a server lost before that fails
    // the connect itself.
    ASSERT_TRUE(eventually([] { return desktop::text(connectToggle) == "Disconnect"; }, 5s));
    revivable.kill();
    faults::BadServer silent(faults::BadServer::Kind::Silent, ice.port());
    ASSERT_EQ(silent.port(), ice.port());
    ASSERT_TRUE(eventually([&] { return silent.accepted() >= 1; }, 15s)) << desktop::text(statusLine);
    ASSERT_TRUE(failureHandlingUnderWay());
    ASSERT_EQ(desktop::text(connectToggle), "Disconnect");

    const auto pressed = Clock::now();
    hl::click(connectToggle);
    hl::fireTimer(statusTimer);
    // Well inside the handshake's deadline, which a window waiting for the attempt would need.
    ASSERT_TRUE(eventually([] { return hl::pendingEvents() == 0 && desktop::text(statusLine) == "offline!"; }, 4s))
        << desktop::text(statusLine);
    std::printf("the window answered %ld ms after Disconnect\n", msSince(pressed));
    EXPECT_FALSE(desktop::checked(connectToggle));
    EXPECT_EQ(desktop::text(connectToggle), "Connect");
    EXPECT_FALSE(failureHandlingUnderWay());
    EXPECT_EQ(station.streaming, 0);
    EXPECT_TRUE(on_air::noEncoderLeft());
    EXPECT_EQ(silent.accepted(), 1);  // the loop made no attempt after the press
    hl::fireTimer(statusTimer);
    hl::post();
    ASSERT_TRUE(eventually([] { return hl::pendingEvents() == 0; }, 2s));
    EXPECT_EQ(desktop::text(statusLine), "offline!");  // no late failure of the cancelled attempt
    EXPECT_TRUE(boxTexts().empty()) << ::testing::PrintToString(boxTexts());
}

// A station with only its name filled in: empty genre, URL and description are no reason to
// refuse it.
TEST_F(Faults, AStationWithEmptyTextsGoesOnTheAir) {
    configure();
    storeText(station.stationName, "Quit FM");
    for (TextField* f : {&station.genre, &station.url, &station.description, &station.icq, &station.aim, &station.irc})
        storeText(*f, "");
    station.isPublic = 0;
    ASSERT_EQ(toggleConnection(&station, true), 1) << ::testing::PrintToString(boxTexts());
    EXPECT_EQ(ice.waitSourceField("server_name", "Quit FM"), "Quit FM");
}

// Servers that accept the source connection and then misbehave: each connect fails with the
// usual message within the handshake's deadline, says "connecting..." meanwhile and the reason
// afterwards, and leaves nothing running.
class BadServers : public Faults, public ::testing::WithParamInterface<faults::BadServer::Kind> {};

const char* reasonFor(faults::BadServer::Kind kind) {
    switch (kind) {
    case faults::BadServer::Kind::Silent:
    case faults::BadServer::Kind::Trickle: return "offline! no answer from the server";
    case faults::BadServer::Kind::Garbage:
    case faults::BadServer::Kind::CloseAfterLogin: return "offline! wrong password";  // what v1 servers mean by it
    case faults::BadServer::Kind::OkThen403: return "offline! mount in use";
    }
    return "";
}

TEST_P(BadServers, ConnectFailsWithinTheDeadline) {
    faults::BadServer server(GetParam());
    threadsBefore = faults::threadCount();  // the server's own listening thread
    configure();
    station.port = server.port();
    const auto start = Clock::now();
    auto press = std::async(std::launch::async, [] { return toggleConnection(&station, true); });
    // Within a status tick of the press, while a server that never answers is awaited.
    const bool awaited = GetParam() == faults::BadServer::Kind::Silent || GetParam() == faults::BadServer::Kind::Trickle;
    if (awaited) {
        EXPECT_TRUE(eventually([] { return desktop::text(statusLine) == "connecting..."; }, 500ms, 5ms))
            << desktop::text(statusLine);
    }
    EXPECT_EQ(press.get(), 0);
    const long took = msSince(start);
    updateStatus(&station);
    EXPECT_EQ(desktop::text(statusLine), reasonFor(GetParam()));
    EXPECT_LT(took, 12000) << took << " ms";
    EXPECT_GE(server.accepted(), 1);
    const auto boxes = boxTexts();
    ASSERT_EQ(boxes.size(), 1u) << ::testing::PrintToString(boxes);
    EXPECT_EQ(boxes[0].rfind("Couldn't setup connection with server  ", 0), 0u) << boxes[0];
    EXPECT_EQ(station.streaming, 0);
    toggleConnection(&station, false);
    EXPECT_TRUE(on_air::noEncoderLeft());
    EXPECT_TRUE(threadsBack()) << faults::threadCount() << " threads, " << threadsBefore << " before";
}

std::string kindName(const ::testing::TestParamInfo<faults::BadServer::Kind>& info) {
    static const char* const names[] = {"Silent", "Garbage", "CloseAfterLogin", "OkThen403", "Trickle"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Faults, BadServers,
                         ::testing::Values(faults::BadServer::Kind::Silent, faults::BadServer::Kind::Garbage,
                                           faults::BadServer::Kind::CloseAfterLogin,
                                           faults::BadServer::Kind::OkThen403, faults::BadServer::Kind::Trickle),
                         kindName);

}  // namespace

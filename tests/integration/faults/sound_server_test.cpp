// The sound server stopped (SIGSTOP) or killed while the station captures and while it
// connects: a clear failure without a hang, and the microphone is heard again at the next
// connect once the server is back.
#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <future>
#include <thread>

#include "audio/talk_over.h"
#include "broadcast/connection.h"
#include "faults.h"
#include "on_air.h"
#include "plugin/globals.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const auto* services = ::testing::AddGlobalTestEnvironment(new on_air::Services);

long msSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

class SoundServerFaults : public on_air::Station {
protected:
    fixtures::SoundServer& sound() { return on_air::Services::sound(); }

    void TearDown() override {
        sound().thaw();
        on_air::Station::TearDown();
    }

    // Connected, talking over with the microphone fully open: the tone must reach a listener.
    void expectMicrophoneHeard() {
        station.hostVolumeSpeaking = 0;
        station.deviceVolumeSpeaking = 100;
        ASSERT_EQ(station.streaming, 1);
        ASSERT_TRUE(sound().feedTone(1000, 30)) << sound().error();
        setSpeaking(&station, 1);
        // Listens until the tone has come through capture, encoder and server, or the bound ends.
        fixtures::Listened heard;
        faults::eventually(
            [&] {
                heard = fixtures::listen(ice.port(), 2);
                return heard.ok && std::abs(heard.dominantHz - 1000) <= 30 && heard.rms > 0.01;
            },
            30s, 0ms);
        sound().stopTone();
        ASSERT_TRUE(heard.ok) << heard.error;
        EXPECT_NEAR(heard.dominantHz, 1000, 30);
        EXPECT_GT(heard.rms, 0.01);
    }

    // Why a connect failed: the boxes carry the engine's code; the server may have died under
    // the connect, or a refused source found the mount taken by some other station.
    std::string connectFailure() const {
        std::string why = ::testing::PrintToString(boxTexts());
        if (const std::string ended = ice.ended(); !ended.empty()) why += "; Icecast " + ended;
        const std::string holder = ice.sourceField("server_name");
        if (!holder.empty()) why += "; /live already held by \"" + holder + "\"";
        return why;
    }

    // A bounded disconnect: never hangs on the sound server.
    void disconnectWithin(std::chrono::milliseconds limit) {
        const auto start = Clock::now();
        toggleConnection(&station, false);
        EXPECT_LT(msSince(start), limit.count());
        EXPECT_EQ(station.streaming, 0);
        EXPECT_TRUE(on_air::noEncoderLeft());
    }
};

TEST_F(SoundServerFaults, StoppedDuringConnectFailsClearlyAndWorksAfterItsReturn) {
    configure();
    sound().freeze();
    const auto start = Clock::now();
    EXPECT_EQ(toggleConnection(&station, true), 0);
    const long took = msSince(start);
    EXPECT_LT(took, 6000) << took << " ms";
    const auto boxes = boxTexts();
    ASSERT_EQ(boxes.size(), 1u) << ::testing::PrintToString(boxes);
    EXPECT_EQ(boxes[0].rfind("Can't Init the Recorddevice", 0), 0u) << boxes[0];
    disconnectWithin(5s);
    sound().thaw();

    openWindow();
    ASSERT_EQ(toggleConnection(&station, true), 1) << connectFailure();
    expectMicrophoneHeard();
}

TEST_F(SoundServerFaults, StoppedDuringCaptureNeverHangsAndCaptureReturns) {
    configure();
    ASSERT_EQ(toggleConnection(&station, true), 1) << connectFailure();
    sound().freeze();
    std::this_thread::sleep_for(2s);
    disconnectWithin(5s);
    sound().thaw();

    openWindow();
    ASSERT_EQ(toggleConnection(&station, true), 1) << connectFailure();
    expectMicrophoneHeard();
}

TEST_F(SoundServerFaults, KilledDuringCaptureThenBackAtTheNextConnect) {
    configure();
    ASSERT_EQ(toggleConnection(&station, true), 1) << connectFailure();
    ::kill(sound().pid(), SIGKILL);
    std::this_thread::sleep_for(1s);
    disconnectWithin(5s);

    // No server: the connect fails at once with the capture device's message.
    openWindow();
    const auto start = Clock::now();
    EXPECT_EQ(toggleConnection(&station, true), 0);
    EXPECT_LT(msSince(start), 3000);
    const auto boxes = boxTexts();
    ASSERT_EQ(boxes.size(), 1u) << ::testing::PrintToString(boxes);
    EXPECT_EQ(boxes[0].rfind("Can't Init the Recorddevice", 0), 0u) << boxes[0];
    disconnectWithin(5s);

    ASSERT_TRUE(sound().start()) << sound().error();
    openWindow();
    ASSERT_EQ(toggleConnection(&station, true), 1) << connectFailure();
    expectMicrophoneHeard();
}

TEST_F(SoundServerFaults, KilledDuringConnectFailsClearlyAndWorksAfterItsReturn) {
    configure();
    sound().freeze();  // holds the connect in its wait for the server
    const auto start = Clock::now();
    auto connecting = std::async(std::launch::async, [] { return toggleConnection(&station, true); });
    std::this_thread::sleep_for(500ms);
    ::kill(sound().pid(), SIGKILL);
    ASSERT_EQ(connecting.wait_for(5s), std::future_status::ready) << "the connect hangs on a dead sound server";
    EXPECT_EQ(connecting.get(), 0);
    EXPECT_LT(msSince(start), 4000);
    const auto boxes = boxTexts();
    ASSERT_EQ(boxes.size(), 1u) << ::testing::PrintToString(boxes);
    EXPECT_EQ(boxes[0].rfind("Can't Init the Recorddevice", 0), 0u) << boxes[0];
    disconnectWithin(5s);

    ASSERT_TRUE(sound().start()) << sound().error();
    openWindow();
    ASSERT_EQ(toggleConnection(&station, true), 1) << connectFailure();
    expectMicrophoneHeard();
}

}  // namespace

// The device clock against a real sound server, seen from inside the engine.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "device.h"
#include "fixtures.h"
#include "source.h"

using namespace bassx;
using namespace std::chrono_literals;

namespace {

struct Feed : Source {
    Feed() : Source(Kind::Push, 44100, 2, 1.0, 20) {}
};

uint64_t writtenOver(std::chrono::milliseconds span) {
    uint64_t before = device::bytesWritten();
    std::this_thread::sleep_for(span);
    return device::bytesWritten() - before;
}

}  // namespace

// Silence at volume 0 is not sent to the server every period; the clock still pulls the mixer
// (the encoders depend on it) and output resumes when the volume goes up again.
TEST(EngineDevice, NothingIsWrittenWhileEveryPlayingMixerIsAtVolumeZero) {
    fixtures::SoundServer sound;
    ASSERT_TRUE(sound.start()) << sound.error();
    ASSERT_EQ(device::init(-1, 44100), BASS_OK);
    ASSERT_TRUE(device::hasOutput());
    auto quiet = std::make_shared<Mixer>(44100, 2, BASS_MIXER_NONSTOP);
    auto other = std::make_shared<Mixer>(44100, 2, BASS_MIXER_NONSTOP);
    auto feed = std::make_shared<Feed>();
    ASSERT_EQ(quiet->addSource(feed), BASS_OK);
    quiet->volume = 0.0f;
    other->volume = 0.0f;
    ASSERT_EQ(device::play(quiet), BASS_OK);
    ASSERT_EQ(device::play(other), BASS_OK);
    std::vector<int16_t> tone(4410 * 2, 1000);
    feed->put(tone.data(), tone.size() * 2);
    std::this_thread::sleep_for(100ms);  // a period already under way may still write
    EXPECT_EQ(writtenOver(300ms), 0u);
    EXPECT_EQ(feed->queued(), 0u) << "the clock stopped pulling the silent mixer";

    other->volume = 0.5f;
    EXPECT_GT(writtenOver(2000ms), 0u);
    other->volume = 0.0f;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(writtenOver(300ms), 0u);
    quiet->volume = 1.0f;
    EXPECT_GT(writtenOver(2000ms), 0u);  // the server may take a moment to ask for data again

    device::stop(quiet.get());
    device::stop(other.get());
    quiet->detach();
    EXPECT_EQ(device::free(), BASS_OK);
}

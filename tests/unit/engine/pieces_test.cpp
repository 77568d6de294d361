// Ring, sources, mixing, command lines, the clock's waits and lifetimes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "encoder.h"
#include "handles.h"
#include "lifetime.h"
#include "mixer.h"
#include "process.h"
#include "push_stream.h"
#include "ring.h"
#include "source.h"
#include "ticker.h"

using namespace bassx;
using namespace std::chrono_literals;

namespace {

struct TestSource : Source {
    TestSource(DWORD rate, DWORD chans, unsigned prebufferMs = 0) : Source(Kind::Push, rate, chans, 1.0, prebufferMs) {}
};

std::vector<int16_t> frames(std::initializer_list<int16_t> v) { return std::vector<int16_t>(v); }

struct CaptureSink : MixSink {
    std::vector<int16_t> got;
    void feed(const int16_t* s, size_t bytes) override { got.insert(got.end(), s, s + bytes / 2); }
};

}  // namespace

TEST(Ring, WrapsAroundAndKeepsOrder) {
    SpscRing r(10);
    uint8_t out[10];
    for (int round = 0; round < 7; ++round) {
        uint8_t in[6];
        std::iota(in, in + 6, static_cast<uint8_t>(round * 6));
        ASSERT_EQ(r.write(in, 6), 6u);
        ASSERT_EQ(r.read(out, 10), 6u);
        EXPECT_EQ(0, std::memcmp(in, out, 6)) << "round " << round;
    }
    EXPECT_EQ(r.dropped(), 0u);
}

TEST(Ring, OverflowDropsWholeUnitsAndCountsThem) {
    SpscRing r(10);
    uint8_t in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(r.write(in, 8, 4), 8u);
    EXPECT_EQ(r.write(in, 8, 4), 0u);  // 2 bytes free: not a whole 4-byte frame
    EXPECT_EQ(r.dropped(), 8u);
    EXPECT_EQ(r.available(), 8u);
    r.clear();
    EXPECT_EQ(r.available(), 0u);
}

TEST(Source, VolumeAppliesFromTheNextBlockAndSaturates) {
    TestSource s(100, 1);
    auto a = frames({1000, -1000, 30000, -30000});
    s.put(a.data(), a.size() * 2);
    int16_t out[4];
    ASSERT_EQ(s.take(out, 2), 2u);
    EXPECT_EQ(out[0], 1000);
    s.setVolume(2.0f);
    ASSERT_EQ(s.take(out, 2), 2u);
    EXPECT_EQ(out[0], 32767);
    EXPECT_EQ(out[1], -32768);
    s.put(a.data(), 4);
    s.setVolume(0.25f);
    ASSERT_EQ(s.take(out, 2), 2u);
    EXPECT_EQ(out[0], 250);
    EXPECT_EQ(out[1], -250);
}

TEST(Source, PositionCountsOnlyRealDataTaken) {
    TestSource s(44100, 2);
    std::vector<int16_t> block(441 * 2, 7);
    s.put(block.data(), block.size() * 2);
    std::vector<int16_t> out(882 * 2);
    EXPECT_EQ(s.take(out.data(), 882), 441u);
    EXPECT_EQ(s.take(out.data(), 882), 0u);  // nothing pushed: time stands still
    EXPECT_EQ(s.bytesTaken(), 441u * 4);
    // A partial frame from the producer is not queued.
    s.put(block.data(), 3);
    EXPECT_EQ(s.queued(), 0u);
}

TEST(Source, JitterBufferWaitsForItsFillAfterRunningDry) {
    TestSource s(1000, 1, 10);  // 10 frames
    std::vector<int16_t> in(6, 1), out(20);
    s.put(in.data(), 12);
    EXPECT_EQ(s.take(out.data(), 5), 0u);  // 6 < 10 queued
    s.put(in.data(), 12);
    EXPECT_EQ(s.take(out.data(), 5), 5u);
    EXPECT_EQ(s.take(out.data(), 20), 7u);  // ran dry
    s.put(in.data(), 12);
    EXPECT_EQ(s.take(out.data(), 5), 0u);  // refilling
}

TEST(Source, StoppedSourceGivesNothingAndForgetsItsQueue) {
    TestSource s(1000, 1);
    std::vector<int16_t> in(8, 5), out(8);
    s.put(in.data(), 16);
    s.setActive(false);
    EXPECT_EQ(s.take(out.data(), 8), 0u);
    s.setActive(true);
    EXPECT_EQ(s.take(out.data(), 8), 0u);
    s.put(in.data(), 16);
    EXPECT_EQ(s.take(out.data(), 8), 8u);
}

// What queued before a playing mixer first pulled is dropped once, oldest first, keeping this
// read plus the jitter buffer; later pulls, and pulls by a mixer that is not playing, lose nothing.
TEST(Source, FirstLiveDeliveryDropsTheStartUpBacklogOnce) {
    TestSource s(1000, 1, 4);
    std::vector<int16_t> in(20), out(20);
    std::iota(in.begin(), in.end(), int16_t{0});
    s.put(in.data(), 40);
    ASSERT_EQ(s.take(out.data(), 2), 2u);  // not live: nothing dropped
    EXPECT_EQ(out[0], 0);
    ASSERT_EQ(s.take(out.data(), 2, true), 2u);
    EXPECT_EQ(out[0], 14);  // 16 left, 2 + 4 kept: frames 14..19
    EXPECT_EQ(s.queued(), 4u * 2);
    s.put(in.data(), 40);
    ASSERT_EQ(s.take(out.data(), 10, true), 10u);  // second live pull keeps everything
    EXPECT_EQ(out[0], 16);
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(s.queued(), 14u * 2);
    // Stopping and starting again makes the next live delivery a first one.
    s.setActive(false);
    EXPECT_EQ(s.take(out.data(), 2, true), 0u);
    s.setActive(true);
    s.put(in.data(), 40);
    ASSERT_EQ(s.take(out.data(), 2, true), 2u);
    EXPECT_EQ(out[0], 14);
}

TEST(Mixer, PlayingMixerStartsFromTheFreshEndOfEachSource) {
    auto m = std::make_shared<Mixer>(1000, 1, BASS_MIXER_NONSTOP);
    auto a = std::make_shared<TestSource>(1000, 1, 2);
    ASSERT_EQ(m->addSource(a), BASS_OK);
    std::vector<int16_t> in(500, 1);
    in[497] = 42;
    a->put(in.data(), in.size() * 2);
    m->playing = true;
    std::vector<int16_t> out(3);
    m->render(out.data(), 3);
    EXPECT_EQ(out, frames({1, 1, 42}));  // 500 queued: 3 + 2 kept
    EXPECT_EQ(a->queued(), 2u * 2);
    EXPECT_EQ(a->bytesTaken(), 3u * 2);
}

TEST(Mixer, SumsSourcesWithSaturationAndFeedsTheFullMixToSinks) {
    auto m = std::make_shared<Mixer>(1000, 2, BASS_MIXER_NONSTOP);
    auto a = std::make_shared<TestSource>(1000, 2);
    auto b = std::make_shared<TestSource>(1000, 2);
    ASSERT_EQ(m->addSource(a), BASS_OK);
    ASSERT_EQ(m->addSource(b), BASS_OK);
    auto sink = std::make_shared<CaptureSink>();
    m->addSink(sink);
    m->volume = 0.0f;  // device output only
    auto x = frames({100, -100, 30000, -30000, 20000, 5});
    auto y = frames({1, 2, 30000, -30000});
    a->put(x.data(), x.size() * 2);
    b->put(y.data(), y.size() * 2);
    std::vector<int16_t> out(8);
    m->render(out.data(), 4);
    EXPECT_EQ(out, frames({101, -98, 32767, -32768, 20000, 5, 0, 0}));  // b ran out, then a: silence
    EXPECT_EQ(sink->got, out);
}

TEST(Mixer, KeepsGoingOnSilenceAndRefusesForeignFormats) {
    auto m = std::make_shared<Mixer>(44100, 2, BASS_MIXER_NONSTOP);
    EXPECT_EQ(m->addSource(std::make_shared<TestSource>(22050, 2)), BASS_ERROR_FORMAT);
    EXPECT_EQ(m->addSource(std::make_shared<TestSource>(44100, 1)), BASS_ERROR_FORMAT);
    auto s = std::make_shared<TestSource>(44100, 2);
    ASSERT_EQ(m->addSource(s), BASS_OK);
    EXPECT_EQ(std::make_shared<Mixer>(44100, 2, 0)->addSource(s), BASS_ERROR_ALREADY);
    std::vector<int16_t> out(882 * 2, 123);
    m->render(out.data(), 882);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](int16_t v) { return v == 0; }));
    m->detach();
    EXPECT_EQ(s->mixer.load(), nullptr);
}

// The meters read what the mixer took from each source (after its volume) and the mix itself,
// per block, without consuming anything; a channel that stopped delivering reads as silence.
TEST(Mixer, NotesThePeaksOfEachSourceAndOfTheMixPerBlock) {
    auto m = std::make_shared<Mixer>(1000, 2, BASS_MIXER_NONSTOP);
    auto music = std::make_shared<TestSource>(1000, 2);
    auto mic = std::make_shared<TestSource>(1000, 2);
    ASSERT_EQ(m->addSource(music), BASS_OK);
    ASSERT_EQ(m->addSource(mic), BASS_OK);
    music->setVolume(0.5f);
    std::vector<int16_t> loud(40, 0), quiet(40, 0);
    for (size_t i = 0; i < 40; i += 2) {
        loud[i] = int16_t(i % 4 ? 32767 : -32768);  // full scale, both signs, left only
        quiet[i + 1] = 1000;
    }
    music->put(loud.data(), loud.size() * 2);
    mic->put(quiet.data(), quiet.size() * 2);
    std::vector<int16_t> out(20 * 2);
    const auto t = LevelMeter::Clock::now();
    m->render(out.data(), 20);
    const auto grace = std::chrono::milliseconds(100);
    const auto musicPeaks = music->level.read(20, LevelMeter::Clock::now(), grace);
    EXPECT_EQ(musicPeaks.left, 16384u);  // after its volume: -6 dBFS
    EXPECT_EQ(musicPeaks.right, 0u);
    EXPECT_EQ(mic->level.read(20, LevelMeter::Clock::now(), grace).right, 1000u);
    const auto mix = m->level.read(20, LevelMeter::Clock::now(), grace);
    EXPECT_EQ(mix.left, 16384u);
    EXPECT_EQ(mix.right, 1000u);
    EXPECT_EQ(music->queued(), 0u);  // reading took nothing

    // A silent block after it: a short read sees only the newest block, a long one both.
    m->render(out.data(), 20);
    EXPECT_EQ(music->level.read(20, LevelMeter::Clock::now(), grace).left, 0u);
    EXPECT_EQ(music->level.read(40, LevelMeter::Clock::now(), grace).left, 16384u);
    // More than the ring holds is at most the ring.
    EXPECT_EQ(music->level.read(1000000, LevelMeter::Clock::now(), grace).left, 16384u);
    // Nothing noted for longer than asked: silence, whatever the last block held.
    EXPECT_EQ(music->level.read(40, t + std::chrono::seconds(5), grace).left, 0u);
    EXPECT_EQ(TestSource(1000, 2).level.read(20, t, grace).left, 0u);  // never rendered
}

TEST(Handles, DeadAndReusedHandlesAreRefusedWithoutLocking) {
    Registry& r = Registry::instance();
    auto s = std::make_shared<TestSource>(1000, 1);
    DWORD h = r.add(s);
    ASSERT_NE(h, 0u);
    Object* o = r.acquire(h);
    ASSERT_EQ(o, s.get());
    r.release(h);
    EXPECT_EQ(r.remove(h), s);
    EXPECT_EQ(r.acquire(h), nullptr);
    EXPECT_EQ(r.acquire(0), nullptr);
    // Fill every slot once, so the old one is handed out again under a new generation.
    std::vector<DWORD> made;
    for (unsigned i = 0; i < Registry::kSlots; ++i) {
        DWORD n = r.add(std::make_shared<TestSource>(1000, 1));
        if (!n) break;
        made.push_back(n);
    }
    EXPECT_EQ(std::count(made.begin(), made.end(), h), 0);
    EXPECT_EQ(r.acquire(h), nullptr);
    for (DWORD n : made) r.remove(n);
}

TEST(CommandLine, QuotesGroupAndSpacesSeparate) {
    using V = std::vector<std::string>;
    EXPECT_EQ(splitCommandLine("lame -r -s 44100 -b 128 -"), (V{"lame", "-r", "-s", "44100", "-b", "128", "-"}));
    EXPECT_EQ(splitCommandLine("\"/opt/My Player/Plugins/Larkspur/oggenc\" -r  -R 22050\t-"),
              (V{"/opt/My Player/Plugins/Larkspur/oggenc", "-r", "-R", "22050", "-"}));
    EXPECT_EQ(splitCommandLine("a\"b c\"d \"\" e"), (V{"ab cd", "", "e"}));
    EXPECT_EQ(splitCommandLine("  \"unterminated arg"), (V{"unterminated arg"}));
    EXPECT_TRUE(splitCommandLine("   ").empty());
}

// The clock's sleep, on whichever timer the platform has.
TEST(Ticker, NeverWakesBeforeItsDueTimeOnAnAbsoluteSchedule) {
    auto t = makeTicker();
    const auto start = Ticker::Clock::now();
    for (int tick = 1; tick <= 10; ++tick) {
        const auto due = start + tick * std::chrono::milliseconds(device::kPeriodMs);
        ASSERT_TRUE(t->waitUntil(due));
        EXPECT_GE(Ticker::Clock::now(), due) << "tick " << tick;
    }
    EXPECT_TRUE(t->waitUntil(start));  // already past: at once
}

TEST(Ticker, WakeEndsTheWaitInProgressAndEveryLaterOne) {
    auto t = makeTicker();
    bool result = true;
    std::thread sleeper([&] { result = t->waitUntil(Ticker::Clock::now() + std::chrono::hours(1)); });
    std::this_thread::sleep_for(50ms);  // most likely asleep by now; the wake is sticky either way
    t->wake();
    sleeper.join();
    EXPECT_FALSE(result);
    EXPECT_FALSE(t->waitUntil(Ticker::Clock::now() + std::chrono::hours(1)));
    EXPECT_FALSE(t->waitUntil(Ticker::Clock::now() - 1s));
    // Woken before it ever waited: the clock may be stopped right after it was started.
    auto early = makeTicker();
    early->wake();
    EXPECT_FALSE(early->waitUntil(Ticker::Clock::now() + std::chrono::hours(1)));
}

static void BASSCALLBACK ignoreNotice(HENCODE, DWORD, void*) {}

// Each reference here was looked up just before another thread freed its handle.
TEST(Lifetime, WhatWasLookedUpBeforeAFreeCannotTieAnythingNewToIt) {
    Registry& r = Registry::instance();
    ASSERT_EQ(device::init(0, 44100), BASS_OK);
    auto m = std::make_shared<Mixer>(44100, 2, BASS_STREAM_AUTOFREE);
    auto s = std::make_shared<PushStream>(44100, 2);
    auto enc = std::make_shared<Encoder>(44100, 2, nullptr, nullptr);
    const DWORD mh = r.add(m), sh = r.add(s), eh = r.add(enc);
    ASSERT_TRUE(lifetime::freeMixer(mh));
    EXPECT_EQ(lifetime::playMixer(m), BASS_ERROR_HANDLE);
    EXPECT_EQ(m->addSource(s), BASS_ERROR_HANDLE);
    EXPECT_EQ(s->mixer.load(), nullptr);  // still free to join a live mixer
    EXPECT_EQ(lifetime::addEncoder(m, enc), BASS_ERROR_HANDLE);
    EXPECT_EQ(r.get(eh), nullptr);  // ended, since nothing else would end it
    EXPECT_EQ(lifetime::setNotify(enc, &ignoreNotice, nullptr), BASS_ERROR_HANDLE);
    std::weak_ptr<Mixer> gone = m;
    m.reset();
    EXPECT_TRUE(gone.expired());  // not left on the clock

    const size_t handles = r.count();
    ASSERT_TRUE(lifetime::freeSource(sh));
    EXPECT_EQ(r.count(), handles - 1);
    DWORD fx = 1;
    EXPECT_EQ(lifetime::addEffect(s, fx), BASS_ERROR_HANDLE);
    EXPECT_EQ(fx, 0u);
    EXPECT_EQ(r.count(), handles - 1);  // the refused effect's handle went again
    EXPECT_EQ(std::make_shared<Mixer>(44100, 2, 0)->addSource(s), BASS_ERROR_HANDLE);
    EXPECT_EQ(device::free(), BASS_OK);
}

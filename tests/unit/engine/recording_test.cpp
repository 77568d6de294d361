// Recordings: an encoder's output written into files by the engine, handed from file to file
// between two blocks of the mix, and a failing file ending that recording alone. The mix is
// rendered by the test itself, block by block, so every sample can be followed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../support/ogg_links.h"
#include "../../support/raw_samples.h"
#include "encoder.h"
#include "fixtures.h"
#include "handles.h"
#include "lifetime.h"
#include "mixer.h"
#include "notify.h"
#include "recording.h"
#include "source.h"

using namespace bassx;
using namespace std::chrono_literals;

namespace {

constexpr DWORD kRate = 44100;
constexpr size_t kBlock = 441;  // frames per rendered block

// Unsteered, no jitter buffer: what is put in comes out as it is.
struct PlainSource : Source {
    PlainSource() : Source(Kind::Push, kRate, 2, 2.0, 0, false) {}
};

std::vector<std::uint8_t> bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

long long sizeOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<long long>(in.tellg()) : -1;
}

struct Notices {
    std::atomic<int> count{0};
    std::atomic<DWORD> last{0};
    static void BASSCALLBACK proc(HENCODE, DWORD status, void* user) {
        auto* n = static_cast<Notices*>(user);
        n->last = status;
        ++n->count;
    }
};

// A mixer of one plain source on the engine's handles, fed a ramp the test can check.
struct Graph {
    std::shared_ptr<Mixer> mixer = std::make_shared<Mixer>(kRate, 2, BASS_STREAM_AUTOFREE);
    std::shared_ptr<PlainSource> source = std::make_shared<PlainSource>();
    DWORD mixerHandle = Registry::instance().add(mixer);
    int16_t next = 0;

    Graph() { EXPECT_EQ(mixer->addSource(source), BASS_OK); }
    ~Graph() { lifetime::freeMixer(mixerHandle); }
    void render(int blocks) {
        std::vector<int16_t> in(kBlock * 2), out(kBlock * 2);
        for (int b = 0; b < blocks; ++b) {
            for (size_t i = 0; i < kBlock; ++i) in[2 * i] = in[2 * i + 1] = next++;
            source->put(in.data(), in.size() * 2);
            mixer->render(out.data(), kBlock);
        }
    }
};

std::shared_ptr<Encoder> encoderOf(DWORD h) { return Registry::instance().get<Encoder>(h, Kind::Encoder); }

}  // namespace

TEST(Recording, SplitHandsEverySampleToExactlyOneFileInOrderAndNeverReplacesAFile) {
    const fixtures::TempDir folder("larkspur rec");
    const std::string& dir = folder.path;
    const std::string first = dir + "/first.raw", second = dir + "/second.raw";
    Graph g;
    DWORD rec = 0;
    ASSERT_EQ(recording::start(g.mixer, "cat", false, 0, first, rec), BASS_OK);
    g.render(30);
    // The next file exists already: refused, and the recording goes on into the first.
    { std::ofstream(second) << "someone's"; }
    DWORD refused = 0;
    EXPECT_EQ(recording::split(encoderOf(rec), second, refused), BASS_ERROR_FILEOPEN);
    EXPECT_EQ(recording::start(g.mixer, "cat", false, 0, second, refused), BASS_ERROR_FILEOPEN);
    std::remove(second.c_str());
    // A program that cannot start leaves no empty file behind.
    EXPECT_EQ(recording::start(g.mixer, "/no/such/lame", false, 0, dir + "/nothing.raw", refused), BASS_ERROR_FILEOPEN);
    EXPECT_EQ(sizeOf(dir + "/nothing.raw"), -1);
    g.render(7);
    DWORD next = 0;
    ASSERT_EQ(recording::split(encoderOf(rec), second, next), BASS_OK);
    EXPECT_NE(next, rec);
    EXPECT_EQ(encoderOf(rec), nullptr);  // the old handle died at once
    g.render(40);
    // The old file is finished on its own; the new one closes with the mixer.
    ASSERT_TRUE(fixtures::eventually([&] { return sizeOf(first) == 37 * kBlock * 4; }, 10s)) << sizeOf(first);
    EXPECT_EQ(encoderOf(next)->inputDropped(), 0u);
    ASSERT_TRUE(fixtures::eventually([&] { return sizeOf(second) == 40 * kBlock * 4; }, 10s)) << sizeOf(second);
    lifetime::freeMixer(g.mixerHandle);
    auto a = rawSamplesOf(first), b = rawSamplesOf(second);
    ASSERT_EQ(b.size(), 40 * kBlock * 2);
    a.insert(a.end(), b.begin(), b.end());
    for (size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(a[i], static_cast<int16_t>(i / 2)) << "sample " << i << " of both files together";
    EXPECT_EQ(encoderOf(next), nullptr);  // gone with its mixer
}

TEST(Recording, WriteErrorEndsThatRecordingWithItsOwnNoticeWhileTheOthersGoOn) {
    const fixtures::TempDir folder("larkspur rec");
    const std::string& dir = folder.path;
    Graph g;
    // Every file of this process stops growing at 64 KiB: the write past it fails (EFBIG).
    auto* oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    DWORD full = 0;
    ASSERT_EQ(recording::start(g.mixer, "cat", false, 0, dir + "/full.raw", full), BASS_OK);
    std::atomic<size_t> otherBytes{0};
    auto counting = std::make_shared<Encoder>(kRate, 2,
        [](HENCODE, DWORD, const void*, DWORD length, void* user) { *static_cast<std::atomic<size_t>*>(user) += length; },
        &otherBytes);
    ASSERT_NE(Registry::instance().add(counting), 0u);
    ASSERT_EQ(counting->start("cat", false, g.mixerHandle), BASS_OK);
    ASSERT_EQ(lifetime::addEncoder(g.mixer, counting), BASS_OK);
    counting->releaseOutput();
    Notices notices, quiet;
    ASSERT_TRUE(notify::set(*encoderOf(full), &Notices::proc, &notices));
    ASSERT_TRUE(notify::set(*counting, &Notices::proc, &quiet));
    g.render(60);  // 105,840 bytes
    const bool died = fixtures::eventually([&] { return notices.count.load() > 0; }, 10s);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    ASSERT_TRUE(died);
    EXPECT_EQ(notices.last.load(), static_cast<DWORD>(BASS_ENCODE_NOTIFY_FILE));
    // The dead one taken off its mixer alone; all of the mix reaches the other one, before and
    // after the death and the stop.
    EXPECT_TRUE(lifetime::freeEncoder(full));
    EXPECT_FALSE(lifetime::freeEncoder(full));
    g.render(20);
    EXPECT_TRUE(fixtures::eventually([&] { return otherBytes.load() == 80 * kBlock * 4; }, 10s)) << otherBytes;
    EXPECT_EQ(sizeOf(dir + "/full.raw"), 64 * 1024);  // what was written before stays
    lifetime::freeMixer(g.mixerHandle);
    EXPECT_EQ(notices.count.load(), 1);
    EXPECT_EQ(quiet.count.load(), 0);
}

TEST(Recording, EachFileOfASplitMp3RecordingDecodesOnItsOwn) {
    const fixtures::TempDir folder("larkspur rec");
    const std::string& dir = folder.path;
    const std::string first = dir + "/a.mp3", second = dir + "/b.mp3";
    Graph g;
    DWORD rec = 0, next = 0;
    ASSERT_EQ(recording::start(g.mixer, "lame --quiet -r -s 44.1 -b 128 - -", false, 0, first, rec), BASS_OK);
    g.render(100);  // 1 s
    ASSERT_EQ(recording::split(encoderOf(rec), second, next), BASS_OK);
    g.render(150);
    // A split finishes the file with all it was fed; a stop would drop what is still queued.
    DWORD third = 0;
    ASSERT_EQ(recording::split(encoderOf(next), dir + "/c.mp3", third), BASS_OK);
    for (const auto& [file, seconds] : {std::pair{first, 1.0}, std::pair{second, 1.5}}) {
        // Give or take the encoder's own padding at either end.
        double decoded = 0;
        EXPECT_TRUE(fixtures::eventually(
            [&, &file = file, seconds = seconds] {
                std::string out;
                if (fixtures::run("ffmpeg -v error -i '" + file + "' -f s16le -ac 1 - | wc -c", &out) != 0) return false;
                decoded = std::stod(out) / 2 / kRate;
                return std::abs(decoded - seconds) < 0.1;
            },
            10s))
            << file << ": " << decoded << " s";
    }
}

// A chained format meets a recording: the titles stay out of the file, and a split starts a
// stream of its own in the next file, so each decodes alone and together they are the mix.
TEST(Recording, ASplitFlacRecordingKeepsOneStreamPerFileAndLosesNoSample) {
    const fixtures::TempDir folder("larkspur rec");
    const std::string& dir = folder.path;
    const std::string first = dir + "/a.flac", second = dir + "/b.flac";
    Graph g;
    DWORD rec = 0, next = 0, third = 0;
    ASSERT_EQ(recording::start(g.mixer, LARKSPUR_CHAIN_FLAC " --silent --ogg --force-raw-format --endian=little "
                                        "--sign=signed --channels=2 --bps=16 --sample-rate=44100 -",
                               false, BASS_ENCODE_CHAIN_FLAC | BASS_ENCODE_NOHEAD, first, rec),
              BASS_OK);
    g.render(60);
    EXPECT_EQ(encoderOf(rec)->castSetTitle("Chet Baker - Almost Blue", ""), BASS_ERROR_NOTAVAIL);
    g.render(40);
    ASSERT_EQ(recording::split(encoderOf(rec), second, next), BASS_OK);
    g.render(150);
    EXPECT_EQ(encoderOf(next)->inputDropped(), 0u);
    ASSERT_EQ(recording::split(encoderOf(next), dir + "/c.flac", third), BASS_OK);

    std::vector<int16_t> all;
    std::uint32_t serial = 0;
    for (const auto& [file, blocks] : {std::pair{first, 100}, std::pair{second, 150}}) {
        SCOPED_TRACE(file);
        ogg_links::Parsed parsed;
        ASSERT_TRUE(fixtures::eventually(
            [&, &file = file] {
                parsed = ogg_links::parse(bytesOf(file));
                return parsed.links.size() == 1 && parsed.links[0].ended;
            },
            10s));
        ASSERT_TRUE(parsed.wellFormed);
        EXPECT_EQ(parsed.links[0].tags.count("TITLE"), 0u);
        EXPECT_NE(parsed.links[0].serial, serial);
        serial = parsed.links[0].serial;
        ASSERT_EQ(fixtures::run("flac -d -s -f --ogg --force-raw-format --endian=little --sign=signed -o '" + file +
                                ".raw' '" + file + "' 2>/dev/null"),
                  0);
        const auto decoded = rawSamplesOf(file + ".raw");
        EXPECT_EQ(decoded.size(), static_cast<size_t>(blocks) * kBlock * 2);
        all.insert(all.end(), decoded.begin(), decoded.end());
    }
    for (size_t i = 0; i < all.size(); ++i)
        ASSERT_EQ(all[i], static_cast<int16_t>(i / 2)) << "sample " << i << " of both files together";
}

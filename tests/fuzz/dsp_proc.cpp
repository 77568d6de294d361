// The sample tap with any block the host may hand over: any width, channel count and length.
// It returns numsamples, reads nothing beyond numsamples * nch * bps / 8 bytes (the block is
// allocated to exactly that size), never writes the block, and pushes 16-bit stereo.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "fake_bass.h"
#include "fuzz_support.h"
#include "plugin/sample_tap.h"
#include "settings/larkspur.h"

namespace {

using fuzz_support::check;

std::int16_t top16(const std::uint8_t* p, int bps) {
    switch (bps) {
        case 8: return static_cast<std::int16_t>((p[0] - 128) * 256);
        case 16: return static_cast<std::int16_t>(p[0] | (p[1] << 8));
        case 24: return static_cast<std::int16_t>(p[1] | (p[2] << 8));
        default: return static_cast<std::int16_t>(p[2] | (p[3] << 8));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Larkspur& record = *new Larkspur;
    FuzzedDataProvider in(data, size);
    const int bps = in.ConsumeBool() ? in.PickValueInArray({8, 16, 24, 32}) : in.ConsumeIntegral<int>();
    int nch = in.ConsumeBool() ? in.ConsumeIntegralInRange(1, 2) : in.ConsumeIntegral<int>();
    if (nch > 8) nch = (nch - 1) % 8 + 1;  // wider blocks are carried too: keep them small enough to fill
    int numsamples = in.ConsumeIntegral<int>();
    const bool carried = (bps == 8 || bps == 16 || bps == 24 || bps == 32) && nch >= 1;
    std::size_t blockBytes = 0;
    if (carried && numsamples > 0) {
        numsamples %= 4096;  // a block the fuzzer can fill
        blockBytes = static_cast<std::size_t>(numsamples) * static_cast<std::size_t>(nch) * (bps / 8);
    }
    // Exactly the block's bytes: AddressSanitizer reports any read beyond them.
    std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(blockBytes);
    bytes.resize(blockBytes);
    auto* block = new std::uint8_t[blockBytes];
    if (blockBytes) std::memcpy(block, bytes.data(), blockBytes);

    fake_bass::reset();
    record.hostStream = 7;
    const int returned = dspProc(&record, block, numsamples, bps, nch, 44100);
    check(returned == numsamples, "numsamples not returned");
    check(blockBytes == 0 || std::memcmp(block, bytes.data(), blockBytes) == 0, "the host's block was written");
    delete[] block;

    std::vector<std::uint8_t> pushed;
    for (const auto& call : fake_bass::callsTo("BASS_StreamPutData")) {
        check(call.ints.at(0) == 7, "pushed into another stream");
        pushed.insert(pushed.end(), call.bytes.begin(), call.bytes.end());
    }
    check(!fake_bass::callsTo("BASS_StreamPutData").empty(), "no push while the stream exists");
    const std::size_t frames = blockBytes ? static_cast<std::size_t>(numsamples) : 0;
    check(pushed.size() == frames * 4, "pushed length");
    const int width = bps / 8;
    for (std::size_t f = 0; f < frames; ++f) {
        const std::uint8_t* frame = bytes.data() + f * width * nch;
        const std::int16_t left = top16(frame, bps), right = nch >= 2 ? top16(frame + width, bps) : left;
        std::int16_t got[2];
        std::memcpy(got, pushed.data() + f * 4, 4);
        check(got[0] == left && got[1] == right, "converted sample", std::to_string(f));
    }

    // Without a stream nothing is pushed at all.
    fake_bass::reset();
    record.hostStream = 0;
    check(dspProc(&record, bytes.data(), numsamples, bps, nch, 44100) == numsamples, "numsamples without a stream");
    check(fake_bass::count("BASS_StreamPutData") == 0, "pushed without a stream");
    return 0;
}

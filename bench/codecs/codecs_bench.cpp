// The formats side by side, in one run:
//  - CPU: each encoder as the plug-in starts it, on 60 s of a programme (music-like: tones and
//    noise), as fast as it goes; CPU seconds per second of audio is its share of one core on
//    the air, and the output's size its real bitrate.
//  - Seam: a title change in Ogg Opus and Ogg FLAC through the engine's encoder (the program
//    started again for the new chained stream), decoded as a listener does; the delay of the
//    decoded signal against the fed one just before and just after the seam. Their difference
//    is what the seam lost (positive) or repeated (negative), in samples at 44100 Hz.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../tests/support/encoder_output.h"
#include "encoder.h"

namespace {

constexpr int kRate = 44100;
constexpr int kBlock = 882;

std::vector<int16_t> programme(int seconds) {
    std::vector<int16_t> s(size_t(seconds) * kRate * 2);
    std::uint32_t noise = 1;
    double low = 0;
    for (size_t i = 0; i < s.size() / 2; ++i) {
        noise = noise * 1664525u + 1013904223u;
        low = 0.97 * low + 0.03 * (static_cast<int16_t>(noise >> 16));  // a soft, noisy bed
        const double t = double(i) / kRate;
        const double notes = 6000 * std::sin(2 * M_PI * (220 + 110 * std::floor(std::fmod(t, 4.0))) * t) +
                             3000 * std::sin(2 * M_PI * 1760 * t) * std::sin(M_PI * t);
        s[2 * i] = static_cast<int16_t>(notes + low);
        s[2 * i + 1] = static_cast<int16_t>(0.8 * notes - low);
    }
    return s;
}

std::string temp(const std::string& name) { return "/tmp/larkspur-codecs-" + std::to_string(::getpid()) + "-" + name; }

void save(const std::string& path, const void* data, size_t bytes) {
    std::ofstream(path, std::ios::binary).write(static_cast<const char*>(data), std::streamsize(bytes));
}

double childCpu() {
    rusage u{};
    ::getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::vector<int16_t> readSamples(const std::string& command) {
    std::vector<int16_t> out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    int16_t buf[8192];
    size_t n;
    while ((n = std::fread(buf, 2, 8192, p)) > 0) out.insert(out.end(), buf, buf + n);
    ::pclose(p);
    return out;
}

// The lag (decoded = fed shifted by it) that best matches 4096 frames of the left channel at
// `at`, searched within +-range.
long lagAt(const std::vector<int16_t>& fed, const std::vector<int16_t>& decoded, long at, long range) {
    constexpr long window = 4096;
    long best = 0;
    double bestScore = -1;
    for (long lag = -range; lag <= range; ++lag) {
        if (at + lag < 0 || size_t(at + lag + window) * 2 > decoded.size()) continue;
        double dot = 0, a = 0, b = 0;
        for (long i = 0; i < window; ++i) {
            const double x = fed[size_t(at + i) * 2], y = decoded[size_t(at + lag + i) * 2];
            dot += x * y;
            a += x * x;
            b += y * y;
        }
        const double score = dot / std::sqrt(a * b + 1e-9);
        if (score > bestScore) bestScore = score, best = lag;
    }
    return best;
}

// Signal to error (dB) of the left channel over 50 ms from `at`, the decoded one taken at `lag`.
double snrAt(const std::vector<int16_t>& fed, const std::vector<int16_t>& decoded, long at, long lag) {
    double signal = 0, error = 0;
    for (long i = 0; i < kRate / 20; ++i) {
        const size_t j = size_t(at + lag + i) * 2;
        if (j >= decoded.size()) break;
        const double x = fed[size_t(at + i) * 2];
        signal += x * x;
        error += (x - decoded[j]) * (x - decoded[j]);
    }
    return error == 0 ? INFINITY : 10 * std::log10(signal / error);
}

// 10 s through the engine's encoder, titles at 5 s and 8 s (between two mixer periods).
// `decoder` writes raw 16-bit stereo to its stdout; %s is the file.
void seam(const char* name, const std::string& command, DWORD format, const std::string& decoder) {
    const auto fed = programme(10);
    EncoderOutput out;
    auto enc = std::make_shared<bassx::Encoder>(kRate, 2, &EncoderOutput::proc, &out);
    if (enc->start(command, false, 0, format) != 0) {
        std::printf("%-6s seam: the encoder did not start\n", name);
        return;
    }
    enc->releaseOutput();
    const size_t blocks = fed.size() / 2 / kBlock, seamBlock = 5 * kRate / kBlock, lastBlock = 8 * kRate / kBlock;
    for (size_t b = 0; b < blocks; ++b) {
        if (b == seamBlock) enc->castSetTitle("Bench - Second", "");
        if (b == lastBlock) enc->castSetTitle("Bench - Third", "");
        while (enc->inputQueued() > size_t(kRate) * 2) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        enc->feed(fed.data() + b * kBlock * 2, kBlock * 4);
    }
    while (enc->runs() > 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    enc->shutdown();
    const std::string file = temp("chain");
    {
        std::lock_guard<std::mutex> lock(out.m);
        save(file, out.bytes.data(), out.bytes.size());
    }
    char command2[512];
    std::snprintf(command2, sizeof command2, decoder.c_str(), file.c_str());
    const auto decoded = readSamples(std::string(command2) + " 2>/dev/null");
    std::remove(file.c_str());
    const long at = long(seamBlock * kBlock);
    const long before = lagAt(fed, decoded, at - kRate, 2000), after = lagAt(fed, decoded, at + kRate / 5, 2000);
    std::printf("%-6s seam at 5 s: delay %ld samples before, %ld after: %ld lost (negative: repeated); "
                "signal to error %.1f dB in the 50 ms after it, %.1f dB a second before\n",
                name, before, after, after - before, snrAt(fed, decoded, at, after),
                snrAt(fed, decoded, at - kRate, before));
}

}  // namespace

int main() {
    const int seconds = 60;
    const auto samples = programme(seconds);
    const std::string raw = temp("programme.raw"), out = temp("out");
    save(raw, samples.data(), samples.size() * 2);
    struct Format {
        const char* name;
        std::string command;  // as the plug-in builds it, the program from PATH
    } formats[] = {
        {"MP3 128", "lame -r -s 44100 -b 128 -"},
        {"Vorbis 128", "oggenc -r -R 44100 -b 128 -m 128 -"},
        {"Opus 64", "opusenc --quiet --raw --raw-rate 44100 --raw-chan 2 --bitrate 64 --cvbr - -"},
        {"Opus 128", "opusenc --quiet --raw --raw-rate 44100 --raw-chan 2 --bitrate 128 --cvbr - -"},
        {"FLAC", "flac --silent --ogg --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 "
                 "--sample-rate=44100 -"},
    };
    std::printf("%d s of a 44100 Hz stereo programme, each encoder as the plug-in starts it:\n", seconds);
    std::printf("%-11s %10s %12s %10s\n", "format", "CPU s", "% of a core", "kb/s");
    for (const Format& f : formats) {
        const double before = childCpu();
        const int rc = std::system((f.command + " < '" + raw + "' > '" + out + "' 2>/dev/null").c_str());
        const double cpu = childCpu() - before;
        std::ifstream o(out, std::ios::binary | std::ios::ate);
        const double kbps = o ? double(o.tellg()) * 8 / 1000 / seconds : 0;
        if (rc != 0)
            std::printf("%-11s failed (%d)\n", f.name, rc);
        else
            std::printf("%-11s %10.2f %12.2f %10.0f\n", f.name, cpu, 100 * cpu / seconds, kbps);
    }
    std::remove(raw.c_str());
    std::remove(out.c_str());

    seam("Opus", "opusenc --quiet --raw --raw-rate 44100 --raw-chan 2 --bitrate 128 --cvbr - -", BASS_ENCODE_CHAIN_OPUS,
         "opusdec --quiet --rate 44100 '%s' -");
    seam("FLAC",
         "flac --silent --ogg --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 "
         "--sample-rate=44100 -",
         BASS_ENCODE_CHAIN_FLAC, "ffmpeg -v quiet -i '%s' -f s16le -");
    return 0;
}

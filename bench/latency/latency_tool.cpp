// larkspur_latency: the helper behind bench/latency/run.
//   marks SECONDS FILE.wav       the marked programme as a 44100 Hz stereo WAV file
//   feed SECONDS                 the same programme as raw PCM on stdout, paced in real time
//   analyze [--probe LOG] --tap DIR
//                                latency per marker from the probe's and the tap's logs
// Started under the name "lame" it is the encoder tap: it runs the real lame (LARKSPUR_REAL_LAME,
// default /usr/bin/lame) with the same arguments and logs, into LARKSPUR_TAP_DIR, when each
// marker reaches the encoder and when each piece of its output leaves it.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "onset.h"

using latency::nowNs;

namespace {

int usage() {
    std::fputs("usage: larkspur_latency marks SECONDS FILE.wav | feed SECONDS | "
               "analyze [--probe LOG] --tap DIR\n",
               stderr);
    return 2;
}

bool writeAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= std::size_t(w);
    }
    return true;
}

int seconds(const char* text) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!end || *end || v <= 0 || v > 24 * 3600) return -1;
    return int(v);
}

void put16(std::string& s, std::uint16_t v) { s.append({char(v & 0xff), char(v >> 8)}); }
void put32(std::string& s, std::uint32_t v) {
    put16(s, std::uint16_t(v & 0xffff));
    put16(s, std::uint16_t(v >> 16));
}

int marks(int secs, const char* path) {
    const std::uint32_t frames = std::uint32_t(secs) * latency::kRate;
    std::string h = "RIFF";
    put32(h, 36 + frames * 4);
    h += "WAVEfmt ";
    put32(h, 16);
    put16(h, 1);
    put16(h, 2);
    put32(h, latency::kRate);
    put32(h, latency::kRate * 4);
    put16(h, 4);
    put16(h, 16);
    h += "data";
    put32(h, frames * 4);
    std::ofstream out(path, std::ios::binary);
    out.write(h.data(), std::streamsize(h.size()));
    std::vector<std::int16_t> buf;
    for (std::uint32_t f = 0; f < frames; ++f) {
        std::int16_t s = latency::markSample(f);
        buf.push_back(s);
        buf.push_back(s);
    }
    out.write(reinterpret_cast<const char*>(buf.data()), std::streamsize(buf.size() * 2));
    if (!out) {
        std::fprintf(stderr, "larkspur_latency: cannot write %s\n", path);
        return 1;
    }
    return 0;
}

// The player's pace: one 576-frame block at a time, on an absolute schedule.
int feed(int secs) {
    signal(SIGPIPE, SIG_IGN);
    const int block = 576;
    std::vector<std::int16_t> buf(block * 2);
    const std::int64_t start = nowNs();
    const std::int64_t total = std::int64_t(secs) * latency::kRate;
    for (std::int64_t f = 0; f < total; f += block) {
        std::int64_t due = start + f * 1000000000 / latency::kRate;
        std::int64_t wait = due - nowNs();
        if (wait > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
        for (int i = 0; i < block; ++i) buf[2 * i] = buf[2 * i + 1] = latency::markSample(f + i);
        if (!writeAll(1, reinterpret_cast<const char*>(buf.data()), buf.size() * 2)) return 1;
    }
    return 0;
}

int tap(int argc, char** argv) {
    const char* realLame = std::getenv("LARKSPUR_REAL_LAME");
    if (!realLame || !*realLame) realLame = "/usr/bin/lame";
    std::vector<char*> args(argv, argv + argc);
    args[0] = const_cast<char*>(realLame);
    args.push_back(nullptr);
    const char* dir = std::getenv("LARKSPUR_TAP_DIR");
    if (!dir) {
        execv(realLame, args.data());
        std::perror(realLame);
        return 127;
    }
    int in[2], out[2];
    if (pipe(in) || pipe(out)) return 127;
    pid_t child = fork();
    if (child < 0) return 127;
    if (child == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[0]); close(in[1]); close(out[0]); close(out[1]);
        execv(realLame, args.data());
        std::perror(realLame);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    signal(SIGPIPE, SIG_IGN);
    std::string d(dir);
    FILE* inLog = std::fopen((d + "/tap_in.log").c_str(), "w");
    FILE* outLog = std::fopen((d + "/tap_out.log").c_str(), "w");
    FILE* mp3 = std::fopen((d + "/tap_out.mp3").c_str(), "w");
    if (!inLog || !outLog || !mp3) return 127;

    std::thread reader([&] {
        std::vector<char> buf(65536);
        std::int64_t total = 0;
        bool forward = true;
        for (;;) {
            ssize_t n = read(out[0], buf.data(), buf.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            std::int64_t t = nowNs();
            total += n;
            std::fwrite(buf.data(), 1, std::size_t(n), mp3);
            std::fflush(mp3);
            std::fprintf(outLog, "out %lld %lld\n", (long long)t, (long long)total);
            std::fflush(outLog);
            if (forward && !writeAll(1, buf.data(), std::size_t(n))) forward = false;
        }
    });

    std::vector<char> buf(65536);
    std::string partial;  // a frame split across reads
    std::int64_t frame = 0;
    latency::OnsetDetector detector;
    bool forward = true;
    for (;;) {
        ssize_t n = read(0, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::int64_t t = nowNs();
        partial.append(buf.data(), std::size_t(n));
        std::size_t whole = partial.size() / 4 * 4;
        for (std::size_t i = 0; i < whole; i += 4, ++frame) {
            std::int16_t left;
            std::memcpy(&left, partial.data() + i, 2);
            if (detector.push(left)) std::fprintf(inLog, "onset %lld %lld\n", (long long)t, (long long)frame);
        }
        std::fflush(inLog);
        partial.erase(0, whole);
        if (forward && !writeAll(in[1], buf.data(), std::size_t(n))) forward = false;
    }
    std::fprintf(inLog, "frames %lld\n", (long long)frame);
    std::fclose(inLog);
    close(in[1]);
    int status = 0;
    waitpid(child, &status, 0);
    reader.join();
    std::fclose(outLog);
    std::fclose(mp3);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

struct Event {
    std::int64_t ns;
    std::int64_t value;
};

std::vector<Event> readEvents(const std::string& path, const std::string& key) {
    std::vector<Event> v;
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream s(line);
        std::string k;
        Event e{};
        if (s >> k && k == key && s >> e.ns >> e.value) v.push_back(e);
    }
    return v;
}

// End offsets of the audio frames of an MP3 byte stream; a leading Xing/Info frame is not
// audio and is skipped. samplesPerFrame is set from the first frame.
std::vector<std::int64_t> mp3FrameEnds(const std::string& data, int& samplesPerFrame) {
    static const int br1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const int br2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
    static const int sr1[3] = {44100, 48000, 32000};
    std::vector<std::int64_t> ends;
    samplesPerFrame = 1152;
    std::size_t pos = 0;
    bool first = true;
    while (pos + 4 <= data.size()) {
        auto b = [&](std::size_t i) { return std::uint8_t(data[pos + i]); };
        int version = (b(1) >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
        int layer = (b(1) >> 1) & 3;    // 1 = layer III
        int bri = b(2) >> 4, sri = (b(2) >> 2) & 3, pad = (b(2) >> 1) & 1;
        if (b(0) != 0xff || (b(1) & 0xe0) != 0xe0 || version == 1 || layer != 1 || bri == 0 || bri == 15 ||
            sri == 3) {
            ++pos;  // resynchronise
            continue;
        }
        bool mpeg1 = version == 3;
        int rate = sr1[sri] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
        int kbps = mpeg1 ? br1[bri] : br2[bri];
        std::size_t len = std::size_t((mpeg1 ? 144000 : 72000) * kbps / rate + pad);
        if (pos + len > data.size()) break;
        if (first) {
            samplesPerFrame = mpeg1 ? 1152 : 576;
            std::string head = data.substr(pos, std::min<std::size_t>(len, 64));
            first = false;
            if (head.find("Xing") != std::string::npos || head.find("Info") != std::string::npos) {
                pos += len;
                continue;
            }
        }
        pos += len;
        ends.push_back(std::int64_t(pos));
    }
    return ends;
}

struct Summary {
    double median = 0, p95 = 0, max = 0;
    std::size_t n = 0;
};

Summary summarise(std::vector<double> v) {
    Summary s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    auto rank = [&](double q) { return v[std::min(v.size() - 1, std::size_t(q * double(v.size() - 1) + 0.5))]; };
    s.median = rank(0.5);
    s.p95 = rank(0.95);
    s.max = v.back();
    return s;
}

void show(const char* name, const Summary& s) {
    std::printf("%-9s %4zu %9.1f %9.1f %9.1f\n", name, s.n, s.median, s.p95, s.max);
}

// lame's own delay (576 frames) and the decoder's (529): a marker at encoder input frame n is
// heard from decoded frame n + 1105 on, so the MP3 frame holding that position carries it.
constexpr std::int64_t kCodecDelayFrames = 576 + 529;

int analyze(int argc, char** argv) {
    std::string probe, dir;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--probe" && i + 1 < argc) probe = argv[++i];
        else if (a == "--tap" && i + 1 < argc) dir = argv[++i];
        else return usage();
    }
    if (dir.empty()) return usage();
    auto encIn = readEvents(dir + "/tap_in.log", "onset");
    auto outChunks = readEvents(dir + "/tap_out.log", "out");
    std::ifstream f(dir + "/tap_out.mp3", std::ios::binary);
    std::string mp3((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    int spf = 1152;
    auto ends = mp3FrameEnds(mp3, spf);
    std::vector<Event> dsp;
    if (!probe.empty()) dsp = readEvents(probe, "onset");
    if (encIn.empty() || ends.empty()) {
        std::fprintf(stderr, "larkspur_latency: no marker reached the encoder or no output left it (%s)\n",
                     dir.c_str());
        return 1;
    }

    std::vector<double> queue, encoder, total;
    for (const Event& e : encIn) {
        std::int64_t j = (e.value + kCodecDelayFrames) / spf;
        if (j >= std::int64_t(ends.size())) continue;  // the encoder ended before emitting it
        std::int64_t need = ends[std::size_t(j)];
        auto c = std::find_if(outChunks.begin(), outChunks.end(), [&](const Event& o) { return o.value >= need; });
        if (c == outChunks.end()) continue;
        double enc = double(c->ns - e.ns) / 1e6;
        if (!probe.empty()) {
            // The marker that entered DSPProc last before it reached the encoder.
            const Event* d = nullptr;
            for (const Event& p : dsp)
                if (p.ns <= e.ns) d = &p;
            if (!d || e.ns - d->ns > 900000000) continue;  // not matched within a period
            queue.push_back(double(e.ns - d->ns) / 1e6);
            total.push_back(double(c->ns - d->ns) / 1e6);
        }
        encoder.push_back(enc);
    }
    std::printf("%-9s %4s %9s %9s %9s\n", "ms", "n", "median", "p95", "max");
    if (!probe.empty()) show("queueing", summarise(queue));
    show("encoder", summarise(encoder));
    if (!probe.empty()) show("total", summarise(total));

    if (!probe.empty()) {
        // DSPProc's own cost, from the probe's histogram of the real call.
        std::ifstream pf(probe);
        std::string line;
        std::vector<std::pair<long, unsigned long long>> hist;
        unsigned long long calls = 0;
        long long maxNs = 0;
        while (std::getline(pf, line)) {
            std::istringstream s(line);
            std::string k;
            s >> k;
            if (k == "call_us") {
                long us;
                unsigned long long n;
                if (s >> us >> n) {
                    hist.push_back({us, n});
                    calls += n;
                }
            } else if (k == "call_max_ns") {
                s >> maxNs;
            }
        }
        auto quantile = [&](double q) {
            unsigned long long want = (unsigned long long)(q * double(calls)), seen = 0;
            for (auto& [us, n] : hist)
                if ((seen += n) > want) return us;
            return hist.empty() ? 0L : hist.back().first;
        };
        if (calls)
            std::printf("DSPProc   %llu calls: median < %ld us, p99 < %ld us, max %.1f us\n", calls,
                        quantile(0.5) + 1, quantile(0.99) + 1, double(maxNs) / 1e3);
    }
    return queue.empty() && !probe.empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string self = argv[0];
    self = self.substr(self.find_last_of('/') + 1);
    if (self == "lame") return tap(argc, argv);
    if (argc < 2) return usage();
    std::string cmd = argv[1];
    if (cmd == "marks" && argc == 4) {
        int s = seconds(argv[2]);
        return s > 0 ? marks(s, argv[3]) : usage();
    }
    if (cmd == "feed" && argc == 3) {
        int s = seconds(argv[2]);
        return s > 0 ? feed(s) : usage();
    }
    if (cmd == "analyze") return analyze(argc - 2, argv + 2);
    return usage();
}

// Connect time per protocol (median of N handshakes) and the CPU that one 128 kb/s MP3 cast
// costs over Icecast 2 plain and over TLS, against one private Icecast with a SHOUTcast port and a TLS
// listen socket. Prints figures; asserts nothing.
//   build/bin/cast_bench [CONNECTS [SECONDS [ROUNDS]]]   (20, 10, 3)
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bass.h"
#include "fixtures.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const DWORD kRate = 44100;

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Graph {
    HSTREAM host = 0, mixer = 0;
    HENCODE enc = 0;
    Graph() {
        host = BASS_StreamCreate(kRate, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
        mixer = BASS_Mixer_StreamCreate(kRate, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
        BASS_Mixer_StreamAddChannel(mixer, host, 0);
        enc = BASS_Encode_Start(mixer, "lame -r -s 44100 -b 128 -", BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE,
                                nullptr, nullptr);
    }
    ~Graph() {
        BASS_ChannelStop(mixer);
        BASS_StreamFree(host);
    }
    // The time of the successful handshake in `took`. The server may still hold the mount for a
    // moment after the last source left: that refusal is tried again, not timed.
    bool cast(const std::string& server, const std::string& pass, double* took = nullptr) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            auto t0 = Clock::now();
            bool ok = BASS_Encode_CastInit(enc, server.c_str(), pass.c_str(), "audio/mpeg", "Bench FM", "", "", "",
                                           nullptr, 128, FALSE);
            if (took) *took = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            if (ok || BASS_ErrorGetCode() != BASS_ERROR_CAST_INUSE) return ok;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
};

// Pushes a 440 Hz sine in real time for the given time.
void feed(HSTREAM host, std::chrono::seconds length) {
    std::vector<int16_t> block(441 * 2);
    double phase = 0;
    auto next = Clock::now(), end = next + length;
    while (Clock::now() < end) {
        for (size_t i = 0; i < block.size() / 2; ++i) {
            block[2 * i] = block[2 * i + 1] = static_cast<int16_t>(std::lround(std::sin(phase) * 16000));
            phase += 2 * M_PI * 440 / kRate;
        }
        BASS_StreamPutData(host, block.data(), static_cast<DWORD>(block.size() * 2));
        next += 10ms;
        std::this_thread::sleep_until(next);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int connects = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    fixtures::IcecastOptions options;
    options.tls = true;
    fixtures::Icecast ice;
    if (!ice.start(options)) {
        std::fprintf(stderr, "cast_bench: %s\n", ice.error().c_str());
        return 1;
    }
    ::setenv("SSL_CERT_FILE", ice.caFile().c_str(), 1);
    if (!BASS_Init(0, kRate, 0, nullptr, nullptr)) return 1;
    const std::string port = std::to_string(ice.port());
    const struct {
        const char* name;
        std::string server;
    } protocols[] = {
        {"SHOUTcast v1", "127.0.0.1:" + port},
        {"Icecast 2", "127.0.0.1:" + port + "/live"},
        {"Icecast 2 TLS", "https://localhost:" + std::to_string(ice.tlsPort()) + "/live"},
    };
    std::printf("connect time, median of %d (min .. max), ms\n", connects);
    for (const auto& p : protocols) {
        std::vector<double> ms;
        for (int i = 0; i < connects; ++i) {
            Graph g;
            double took = 0;
            bool ok = g.cast(p.server, ice.sourcePassword(), &took);
            ms.push_back(took);
            if (!ok) {
                std::fprintf(stderr, "cast_bench: %s refused (%d)\n", p.name, BASS_ErrorGetCode());
                return 1;
            }
            BASS_ChannelStop(g.mixer);
            g.mixer = 0;
            // The mount is free again once the server has let the source go.
            for (int w = 0; w < 100 && !ice.sourceField("server_type").empty(); ++w) std::this_thread::sleep_for(20ms);
        }
        std::sort(ms.begin(), ms.end());
        std::printf("  %-14s %7.2f (%.2f .. %.2f)\n", p.name, ms[ms.size() / 2], ms.front(), ms.back());
    }
    // Plain and TLS alternate, so a change in the machine's load hits both alike.
    std::printf("CPU of this process per second of a 128 kb/s cast (mixer, encoder feed, link), "
                "%d rounds of %d s each, alternating\n", rounds, seconds);
    double total[2] = {0, 0};
    std::string perRound[2];
    for (int round = 0; round < rounds; ++round) {
        for (int which = 0; which < 2; ++which) {
            const auto& p = protocols[1 + which];
            Graph g;
            bool ok = g.cast(p.server, ice.sourcePassword());
            if (!ok || !BASS_ChannelPlay(g.mixer, FALSE)) return 1;
            double c0 = cpuSeconds();
            feed(g.host, std::chrono::seconds(seconds));
            double msPerSecond = (cpuSeconds() - c0) * 1000 / seconds;
            total[which] += msPerSecond;
            char one[32];
            std::snprintf(one, sizeof one, " %.2f", msPerSecond);
            perRound[which] += one;
            BASS_ChannelStop(g.mixer);
            g.mixer = 0;
            for (int w = 0; w < 100 && !ice.sourceField("server_type").empty(); ++w)
                std::this_thread::sleep_for(20ms);
        }
    }
    for (int which = 0; which < 2; ++which)
        std::printf("  %-14s %.2f ms/s (rounds:%s)\n", protocols[1 + which].name, total[which] / rounds,
                    perRound[which].c_str());
    BASS_Free();
    return 0;
}

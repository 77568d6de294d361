// The builders run once per connect or title tick: cheap either way, measured so that a
// regression (a quadratic strip, a copy per field) shows.
#include <benchmark/benchmark.h>

#include "broadcast/connection.h"
#include "broadcast/title_status.h"
#include "settings/larkspur.h"

namespace {

void fill(Larkspur& r) {
    storeText(r.server, "radio.example.org");
    r.port = 8000;
    storeText(r.stationName, "Larkspur FM\r\nwith a line break");
    storeText(r.contentType, "audio/mpeg");
    storeText(r.icq, "123456");
    storeText(r.aim, "larkspur");
    storeText(r.irc, "#larkspur");
    r.bitrate = 128;
    r.sampleRate = 44100;
}

void EncoderCommandLine(benchmark::State& state) {
    static Larkspur r;
    fill(r);
    const std::string folder = "/opt/my player/";
    for (auto _ : state) benchmark::DoNotOptimize(encoderCommandLine(r, folder));
}
BENCHMARK(EncoderCommandLine);

void StationHeader(benchmark::State& state) {
    static Larkspur r;
    fill(r);
    for (auto _ : state) benchmark::DoNotOptimize(stationHeader(r));
}
BENCHMARK(StationHeader);

void TrackTitle(benchmark::State& state) {
    const std::string host = "12. Some Artist - A Rather Long Song Title (Extended Mix) - Winamp";
    for (auto _ : state) benchmark::DoNotOptimize(trackTitle(host));
}
BENCHMARK(TrackTitle);

}  // namespace

BENCHMARK_MAIN();

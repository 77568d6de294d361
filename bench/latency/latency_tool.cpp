// larkspur_latency: the helper behind bench/latency/run.
//   marks SECONDS FILE.wav       the marked programme as a 44100 Hz stereo WAV file
//   feed SECONDS [LOG]           the same programme as raw PCM on stdout, paced in real time,
//                                noting in LOG when each marker is written
//   proxy PORT TARGET DIR        forwards loopback PORT and PORT + 1 to TARGET and TARGET + 1,
//                                logging when the source's bytes (on PORT + 1) leave for the server
//   analyze [--probe LOG] --tap DIR [--proxy DIR] [--per-minute]
//                                latency per marker from the logs above
// Started under the name "lame" it is the encoder tap: it runs the real lame (LARKSPUR_REAL_LAME,
// default /usr/bin/lame) with the same arguments and logs, into LARKSPUR_TAP_DIR, when each
// marker reaches the encoder and when each piece of its output leaves it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
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

#include "latency_analysis.h"

using latency::nowNs;

namespace {

int usage() {
    std::fputs("usage: larkspur_latency marks SECONDS FILE.wav | feed SECONDS [LOG] | "
               "proxy PORT TARGET DIR | analyze [--probe LOG] --tap DIR [--proxy DIR] [--per-minute]\n",
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

// The player's pace: one 576-frame block at a time, on an absolute schedule. With a log, the
// moment each marker is written is noted there.
int feed(int secs, const char* logPath) {
    FILE* log = logPath ? std::fopen(logPath, "w") : nullptr;
    if (logPath && !log) {
        std::fprintf(stderr, "larkspur_latency: cannot write %s\n", logPath);
        return 1;
    }
    latency::OnsetDetector detector;
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
        std::int64_t t = nowNs();
        if (!writeAll(1, reinterpret_cast<const char*>(buf.data()), buf.size() * 2)) break;
        for (int i = 0; i < block && log; ++i)
            if (detector.push(buf[2 * i])) std::fprintf(log, "onset %lld %lld\n", (long long)t, (long long)(f + i));
        if (log) std::fflush(log);
    }
    if (log) std::fclose(log);
    return 0;
}

int tap(int argc, char** argv) {
    const char* realLame = std::getenv("LARKSPUR_REAL_LAME");
    if (!realLame || !*realLame) realLame = "/usr/bin/lame";
    std::vector<char*> args(argv, argv + argc);
    args[0] = const_cast<char*>(realLame);
    args.push_back(nullptr);
    const char* dir = std::getenv("LARKSPUR_TAP_DIR");
    std::string d(dir ? dir : "");
    FILE* inLog = dir ? std::fopen((d + "/tap_in.log").c_str(), "we") : nullptr;
    FILE* outLog = dir ? std::fopen((d + "/tap_out.log").c_str(), "we") : nullptr;
    FILE* mp3 = dir ? std::fopen((d + "/tap_out.mp3").c_str(), "we") : nullptr;
    if (!inLog || !outLog || !mp3) {
        // Nowhere to log: be the encoder itself rather than break the broadcast.
        if (dir) std::fprintf(stderr, "lame tap: cannot write its logs in %s\n", dir);
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
    latency::PcmOnsets onsets;
    bool forward = true;
    for (;;) {
        ssize_t n = read(0, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::int64_t t = nowNs();
        for (std::int64_t frame : onsets.push(buf.data(), std::size_t(n)))
            std::fprintf(inLog, "onset %lld %lld\n", (long long)t, (long long)frame);
        std::fflush(inLog);
        if (forward && !writeAll(in[1], buf.data(), std::size_t(n))) forward = false;
    }
    std::fprintf(inLog, "frames %lld\n", (long long)onsets.frames());
    std::fclose(inLog);
    close(in[1]);
    int status = 0;
    waitpid(child, &status, 0);
    reader.join();
    std::fclose(outLog);
    std::fclose(mp3);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

int listenOn(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(std::uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) || listen(fd, 8)) {
        std::fprintf(stderr, "larkspur_latency: cannot listen on port %d: %s\n", port, std::strerror(errno));
        std::exit(1);
    }
    return fd;
}

int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(std::uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a)) {
        close(fd);
        return -1;
    }
    return fd;
}

volatile sig_atomic_t proxyStop = 0;

// Plain forwarding, one poll loop; only the source connection's upstream bytes are logged.
int proxy(int port, int target, const std::string& dir) {
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa{};
    sa.sa_handler = [](int) { proxyStop = 1; };
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    int listeners[2] = {listenOn(port), listenOn(port + 1)};
    FILE* log = std::fopen((dir + "/proxy.log").c_str(), "w");
    FILE* up = std::fopen((dir + "/proxy_up.bin").c_str(), "w");
    if (!log || !up) return 1;
    struct Pair {
        int client, server;
        bool source;
    };
    std::vector<Pair> pairs;
    std::int64_t upTotal = 0;
    std::vector<char> buf(65536);
    while (!proxyStop) {
        std::vector<pollfd> fds;
        for (int l : listeners) fds.push_back({l, POLLIN, 0});
        for (auto& p : pairs) {
            fds.push_back({p.client, POLLIN, 0});
            fds.push_back({p.server, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 200) <= 0) continue;
        const std::size_t polled = pairs.size();
        for (int i = 0; i < 2; ++i) {
            if (!(fds[std::size_t(i)].revents & POLLIN)) continue;
            int c = accept(listeners[i], nullptr, nullptr);
            if (c < 0) continue;
            int s = connectTo(target + i);
            if (s < 0) {
                close(c);
                continue;
            }
            pairs.push_back({c, s, i == 1});
        }
        std::vector<Pair> alive(pairs.begin() + std::ptrdiff_t(polled), pairs.end());
        for (std::size_t k = 0; k < polled; ++k) {
            Pair& p = pairs[k];
            bool open = true;
            for (int dirn = 0; dirn < 2 && open; ++dirn) {
                const pollfd& f = fds[2 + 2 * k + std::size_t(dirn)];
                if (!(f.revents & (POLLIN | POLLHUP | POLLERR))) continue;
                int from = dirn == 0 ? p.client : p.server, to = dirn == 0 ? p.server : p.client;
                ssize_t n = read(from, buf.data(), buf.size());
                if (n <= 0) {
                    open = false;
                    break;
                }
                if (dirn == 0 && p.source) {
                    std::int64_t t = nowNs();
                    upTotal += n;
                    std::fwrite(buf.data(), 1, std::size_t(n), up);
                    std::fprintf(log, "up %lld %lld\n", (long long)t, (long long)upTotal);
                }
                if (!writeAll(to, buf.data(), std::size_t(n))) open = false;
            }
            if (open) {
                alive.push_back(p);
            } else {
                close(p.client);
                close(p.server);
                if (p.source) std::fprintf(log, "closed %lld %lld\n", (long long)nowNs(), (long long)upTotal);
            }
            std::fflush(log);
            std::fflush(up);
        }
        pairs.swap(alive);
    }
    std::fclose(log);
    std::fclose(up);
    return 0;
}

using latency::Event;

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

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void show(const char* name, const std::vector<double>& v) {
    latency::Summary s = latency::summarise(v);
    std::printf("%-9s %4zu %9.1f %9.1f %9.1f\n", name, s.n, s.median, s.p95, s.max);
}

int analyze(int argc, char** argv) {
    std::string probe, dir, proxyDir;
    bool perMinute = false;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--per-minute") perMinute = true;
        else if (a == "--probe" && i + 1 < argc) probe = argv[++i];
        else if (a == "--proxy" && i + 1 < argc) proxyDir = argv[++i];
        else if (a == "--tap" && i + 1 < argc) dir = argv[++i];
        else return usage();
    }
    if (dir.empty()) return usage();
    latency::Timeline t;
    t.encIn = readEvents(dir + "/tap_in.log", "onset");
    t.encOut = readEvents(dir + "/tap_out.log", "out");
    std::string mp3 = readFile(dir + "/tap_out.mp3");
    t.frameEnds = latency::mp3FrameEnds(mp3, t.samplesPerFrame);
    if (!probe.empty()) t.dsp = readEvents(probe, "onset");
    if (t.encIn.empty() || t.frameEnds.empty()) {
        std::fprintf(stderr, "larkspur_latency: no marker reached the encoder or no output left it (%s)\n",
                     dir.c_str());
        return 1;
    }
    if (!probe.empty() && t.dsp.empty()) {
        std::fprintf(stderr, "larkspur_latency: no marker entered DSPProc (%s)\n", probe.c_str());
        return 1;
    }
    if (!proxyDir.empty()) {
        // What left for the server: the source's header, then the encoder's bytes unchanged.
        t.sent = readEvents(proxyDir + "/proxy.log", "up");
        std::string sent = readFile(proxyDir + "/proxy_up.bin");
        t.sentAudioStart = latency::audioStart(sent);
        if (t.sentAudioStart < 0) {
            std::fprintf(stderr, "larkspur_latency: no source header reached the proxy\n");
            return 1;
        }
        std::size_t n = std::min(sent.size() - std::size_t(t.sentAudioStart), mp3.size());
        if (sent.compare(std::size_t(t.sentAudioStart), n, mp3, 0, n) != 0) {
            std::fprintf(stderr, "larkspur_latency: the bytes sent differ from the encoder's output\n");
            return 1;
        }
        std::printf("%zu of the encoder's %zu bytes left for the server\n", n, mp3.size());
    }

    latency::Latencies l = latency::follow(t);
    std::printf("%-9s %4s %9s %9s %9s\n", "ms", "n", "median", "p95", "max");
    if (!probe.empty()) show("queueing", l.queueing);
    show("encoder", l.encoder);
    if (!proxyDir.empty()) show("sending", l.sending);
    if (!probe.empty()) show("total", l.total);
    if (perMinute && !l.total.empty()) {
        // For a long run: does the latency creep?
        std::printf("total by minute: minute n min median max (ms)\n");
        const std::int64_t t0 = l.totalAt.front();
        std::size_t i = 0;
        while (i < l.total.size()) {
            std::int64_t minute = (l.totalAt[i] - t0) / 60000000000;
            std::vector<double> v;
            for (; i < l.total.size() && (l.totalAt[i] - t0) / 60000000000 == minute; ++i) v.push_back(l.total[i]);
            latency::Summary s = latency::summarise(v);
            std::printf("minute %3lld %3zu %7.1f %7.1f %7.1f\n", (long long)minute, s.n,
                        *std::min_element(v.begin(), v.end()), s.median, s.max);
        }
    }
    std::size_t slipped = 0;
    std::int64_t frames = 0;
    for (std::int64_t d : latency::gridSlips(t.encIn))
        if (d != 0) ++slipped, frames += d;
    std::printf("encoder input: %zu of %zu marker intervals off the 1 s grid (%lld frames net)\n", slipped,
                t.encIn.empty() ? std::size_t(0) : t.encIn.size() - 1, (long long)frames);

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
    return l.encoder.empty() || (!probe.empty() && l.total.empty()) ? 1 : 0;
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
    if (cmd == "feed" && (argc == 3 || argc == 4)) {
        int s = seconds(argv[2]);
        return s > 0 ? feed(s, argc == 4 ? argv[3] : nullptr) : usage();
    }
    if (cmd == "proxy" && argc == 5) {
        int port = std::atoi(argv[2]), target = std::atoi(argv[3]);
        if (port <= 0 || port >= 65535 || target <= 0 || target >= 65535) return usage();
        return proxy(port, target, argv[4]);
    }
    if (cmd == "analyze") return analyze(argc - 2, argv + 2);
    return usage();
}

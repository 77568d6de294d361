// player: a small host that loads a DSP module, calls it in the host's order and plays files
// (or a built-in test programme) through it in real time.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "audio_out.h"
#include "main_window.h"
#include "module_loader.h"
#include "platform.h"
#include "playback.h"
#include "track_source.h"

using namespace host;

namespace {

struct Options {
    std::string plugin;
    bool loop = false;
    bool exitAtEnd = false;
    bool audio = false;
    double seconds = 0;  // 0 = no limit
    double driftPpm = 0;  // the blocks' pace against the system clock
    std::vector<std::string> files;
};

const char* kUsage = "usage: player [--plugin PATH] [--loop] [--exit-at-end] [--audio] [--seconds N] [--drift-ppm N] [FILE ...]\n";

bool parseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--plugin" && i + 1 < argc) {
            o.plugin = argv[++i];
        } else if (a == "--loop") {
            o.loop = true;
        } else if (a == "--exit-at-end") {
            o.exitAtEnd = true;
        } else if (a == "--audio") {
            o.audio = true;
        } else if (a == "--seconds" && i + 1 < argc) {
            char* end = nullptr;
            o.seconds = std::strtod(argv[++i], &end);
            if (!end || *end || !(o.seconds > 0)) {
                std::fprintf(stderr, "player: --seconds needs a positive number, not \"%s\"\n", argv[i]);
                return false;
            }
        } else if (a == "--drift-ppm" && i + 1 < argc) {
            // A sound card's crystal is never exact: +N delivers N ppm more blocks than real time.
            char* end = nullptr;
            o.driftPpm = std::strtod(argv[++i], &end);
            if (!end || *end || !(o.driftPpm > -100000 && o.driftPpm < 100000)) {
                std::fprintf(stderr, "player: --drift-ppm needs a number between -100000 and 100000, not \"%s\"\n",
                             argv[i]);
                return false;
            }
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--") {
            for (++i; i < argc; ++i) o.files.push_back(argv[i]);
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "player: unknown option %s\n%s", a.c_str(), kUsage);
            return false;
        } else {
            o.files.push_back(a);
        }
    }
    if (o.plugin.empty()) o.plugin = defaultPluginPath();
    return true;
}

std::string clock(double seconds) {
    int s = static_cast<int>(seconds);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d:%02d", s / 60, s % 60);
    return buf;
}

// The host's user-interface thread: its main window, Init, Config, Quit.
struct Ui {
    LoadedModule* mod = nullptr;
    std::atomic<const Playback*> playback{nullptr};
    std::atomic<bool> initDone{false};
    std::atomic<bool> quit{false};
    std::atomic<bool> closed{false};    // the user closed the main window
    std::atomic<bool> inConfig{false};  // the module's Config has not returned yet
    std::atomic<bool> quitCalled{false};
    std::atomic<bool> finished{false};

    void callQuit() {
        if (!quitCalled.exchange(true)) mod->module->Quit(mod->module);
    }

    void run(const std::vector<Track>& tracks) {
        MainWindow win;
        if (!win.open(hostTitle(1, tracks.front())))
            std::fprintf(stderr, "player: no display; running without a main window\n");
        DspModule* m = mod->module;
        m->hwndParent = win.id();
        m->hDllInstance = mod->handle;
        int r = m->Init(m);
        if (r != 0) std::fprintf(stderr, "player: the module's Init reported failure (%d)\n", r);
        initDone = true;

        int shown = -1;
        while (!quit.load()) {
            auto input = win.id() ? win.poll(100) : MainWindow::Input::Idle;
            if (!win.id()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (input == MainWindow::Input::Close) closed = true;
            if (input == MainWindow::Input::Config) {
                inConfig = true;
                m->Config(m);
                inConfig = false;
            }
            const Playback* playback = this->playback.load();
            if (!playback) continue;
            int cur = playback->currentTrack();
            if (cur >= 0 && cur != shown) {
                shown = cur;
                win.setTitle(hostTitle(cur + 1, tracks[static_cast<std::size_t>(cur)]));
            }
            if (cur >= 0) {
                const Track& t = tracks[static_cast<std::size_t>(cur)];
                std::string state = playback->ended() ? "stopped  " : "playing  ";
                win.setStatus(std::to_string(cur + 1) + ". " + t.display,
                              state + clock(playback->trackSeconds()) + "    (C: configure the DSP module)");
            }
        }
        callQuit();
        win.close();
        finished = true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseArgs(argc, argv, opt)) return 1;

    initPlatform();

    std::vector<Track> tracks;
    if (opt.files.empty()) {
        tracks = testProgramme();
    } else {
        for (const auto& f : opt.files) {
            Track t;
            std::string error;
            if (probeFile(f, t, error))
                tracks.push_back(t);
            else
                std::fprintf(stderr, "player: skipping %s: %s\n", f.c_str(), error.c_str());
        }
        if (tracks.empty()) {
            std::fprintf(stderr, "player: no playable file\n");
            return 1;
        }
    }

    LoadedModule mod;
    std::string error;
    if (!loadModule(opt.plugin, mod, error)) {
        std::fprintf(stderr, "player: %s\n", error.c_str());
        return 2;
    }

    Ui ui;
    ui.mod = &mod;
    std::thread uiThread([&] { ui.run(tracks); });
    // The host calls Init before the first block. A stop asked for meanwhile waits for Init,
    // but not for ever: a module stuck in Init cannot be quit.
    const char* reason = nullptr;
    std::chrono::steady_clock::time_point askedAt;
    while (!ui.initDone.load()) {
        const char* stop = waitForStop(5);
        if (!reason && stop) {
            reason = stop;
            askedAt = std::chrono::steady_clock::now();
        }
        if (reason && std::chrono::steady_clock::now() - askedAt > std::chrono::seconds(10)) {
            std::fprintf(stderr, "player: the module's Init did not return; giving up\n");
            std::_Exit(1);
        }
    }

    AudioOut* out = nullptr;
    if (opt.audio) {
        out = new AudioOut;
        out->start();
    }
    Playback playback(tracks, opt.loop, mod.module, out, opt.driftPpm);
    ui.playback = &playback;
    playback.start();

    const auto started = std::chrono::steady_clock::now();
    while (!reason) {
        if ((reason = waitForStop(100))) break;
        if (ui.closed.load()) reason = "window closed";
        else if (opt.exitAtEnd && playback.ended()) reason = "end of the list";
        else if (opt.seconds > 0 &&
                 std::chrono::steady_clock::now() - started >= std::chrono::duration<double>(opt.seconds))
            reason = "time is up";
    }
    std::fprintf(stderr, "player: stopping (%s)\n", reason);

    // A module that never returns from Quit must not keep the player alive.
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(20));
        std::fprintf(stderr, "player: the module did not shut down within 20 s\n");
        std::_Exit(3);
    }).detach();

    playback.stop();
    if (out && out->stop()) delete out;  // else the stuck writer still uses it
    ui.quit = true;
    // Config holds the UI thread until the user closes the module's box; a stop meanwhile
    // must still reach Quit, or the settings changed since Init would be lost.
    const auto grace = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!ui.finished.load()) {
        if (ui.inConfig.load() && std::chrono::steady_clock::now() > grace) {
            std::fprintf(stderr, "player: the module's configuration is still open; quitting without it\n");
            ui.callQuit();
            std::_Exit(0);  // the module is still in Config: it cannot be unloaded
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    uiThread.join();
    unloadModule(mod);
    return 0;
}

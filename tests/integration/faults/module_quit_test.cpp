// The loaded module (dlopen, as the host does) asked to Quit at awkward moments: during a
// connect attempt, during the reconnect loop and while a message box is open. Quit returns,
// the settings file is written, and no thread of the module or the engine is left behind.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "display.h"
#include "faults.h"
#include "fixtures.h"

#include <X11/Xlib.h>  // last: its macros (None, Status) would clash with the headers above
#include <X11/Xutil.h>

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using faults::eventually;

struct Module {
    char* description;
    std::uintptr_t hwndParent;
    void* hDllInstance;
    int (*Config)(Module*);
    int (*Init)(Module*);
    int (*ModifySamples)(Module*, short int*, int, int, int, int);
    int (*Quit)(Module*);
    void* userData;
};
struct Header {
    int version;
    char* description;
    Module* (*getModule)(int);
};

// The module's records are declared here as the host sees them, so the function types differ
// from the module's own by name only: calls through them are exempt from that check.
#if defined(__clang__)
#define HOST_CALL __attribute__((no_sanitize("function")))
#else
#define HOST_CALL
#endif
HOST_CALL Module* firstModule(void* handle) {
    auto getHeader = reinterpret_cast<Header* (*)()>(dlsym(handle, "winampDSPGetHeader2"));
    return getHeader ? getHeader()->getModule(0) : nullptr;
}
HOST_CALL int callInit(Module* m) { return m->Init(m); }
HOST_CALL int callQuit(Module* m) { return m->Quit(m); }

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LARKSPUR_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define LARKSPUR_ASAN 1
#endif
#ifdef LARKSPUR_ASAN
// What the module's never-freed singletons and the toolkit library it pulls in hold cannot be
// attributed once they are unmapped: LeakSanitizer would report it all as lost. Under it the
// module stays mapped; the normal build unloads it for real.
constexpr int keepMapped = RTLD_NODELETE;
#else
constexpr int keepMapped = 0;
#endif

// Where the Connect toggle lands with no window manager: the window centred on 1280 x 1024,
// the first page's controls from (3, 89), the toggle at (13, 13) on it.
constexpr int screenW = 1280, screenH = 1024;
// The window is 259 x 416 (the meters under the pages), centred without a window manager.
constexpr int connectX = (screenW - 259) / 2 + 3 + 13 + 60, connectY = (screenH - 416) / 2 + 89 + 13 + 12;

// A click's connect on a loaded machine: capture, encoder and login, through the window thread.
constexpr int connectMs = 20000;

long msSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

void putText(std::vector<char>& file, std::size_t offset, const std::string& text) {
    std::memset(file.data() + offset, 0, 255);
    std::memcpy(file.data() + offset, text.data(), std::min<std::size_t>(text.size(), 255));
}
void putInt(std::vector<char>& file, std::size_t offset, std::int32_t value) {
    std::memcpy(file.data() + offset, &value, 4);  // little-endian host
}

// Display, sound server and Icecast once for the binary: the module's X connection and its
// output device stay with the process.
class Services : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(display.start(screenW, screenH)) << display.error();
        ASSERT_TRUE(sound.start()) << sound.error();
        // A sanitizer starts a helper thread of its own with the first thread: let that happen
        // before any test counts threads.
        std::thread([] {}).join();
        std::this_thread::sleep_for(100ms);
    }
    void TearDown() override {
        sound.stop();
        display.stop();
    }
    static fixtures::Display display;
    static fixtures::SoundServer sound;
};
fixtures::Display Services::display;
fixtures::SoundServer Services::sound;
const auto* services = ::testing::AddGlobalTestEnvironment(new Services);

class QuitModule : public ::testing::Test {
protected:
    void SetUp() override {
        previous = fs::current_path();
        folder = fixtures::makeTempDir("larkspur-quit");
        ASSERT_FALSE(folder.empty());
        fs::current_path(folder);
        threadsBefore = faults::threadCount();
        fdsBefore = faults::usage().fds;
    }
    void TearDown() override {
        if (module && !quitDone) callQuit(module);
        if (handle) dlclose(handle);
        fs::current_path(previous);
        std::error_code ec;
        fs::remove_all(folder, ec);
        revived.reset();
    }

    // The station's settings as an earlier session left them, dated long ago.
    void writeSettings(int port, bool autoReconnect, const std::string& server = "127.0.0.1") {
        std::vector<char> file(2584, 0);
        putText(file, 0, server);
        putText(file, 255, "hackme");
        putText(file, 510, "Quit FM");
        putText(file, 1530, "audio/mpeg");
        putInt(file, 1785, port);
        putInt(file, 1789, 128);
        file[1794] = autoReconnect ? 1 : 0;
        putInt(file, 1795, 100);
        putInt(file, 1807, 44100);
        putInt(file, 1811, 2);
        std::ofstream("Larkspur_Settings.dat", std::ios::binary).write(file.data(), std::streamsize(file.size()));
        utimbuf past{946684800, 946684800};  // 2000-01-01
        ::utime("Larkspur_Settings.dat", &past);
    }

    void start() {
        handle = dlopen(LARKSPUR_MODULE, RTLD_NOW | RTLD_LOCAL | keepMapped);
        ASSERT_NE(handle, nullptr) << dlerror();
        module = firstModule(handle);
        ASSERT_NE(module, nullptr);
        module->hwndParent = 0;
        ASSERT_EQ(callInit(module), 0);
        // The window is mapped before its controls exist: nobody clicks before the toggle is drawn.
        ASSERT_TRUE(eventually([] { return toggleDrawn(); }, 20s, 50ms)) << "the Connect toggle was never drawn";
    }

    // Drawn: the toggle's box and label make more than two colours where the bare window has one.
    static bool toggleDrawn() {
        ::Display* d = XOpenDisplay(Services::display.name().c_str());
        if (!d) return false;
        std::set<unsigned long> colours;
        if (XImage* image = XGetImage(d, DefaultRootWindow(d), connectX - 40, connectY - 8, 80, 16, AllPlanes, ZPixmap)) {
            for (int y = 0; y < image->height; ++y)
                for (int x = 0; x < image->width; ++x) colours.insert(XGetPixel(image, x, y));
            XDestroyImage(image);
        }
        XCloseDisplay(d);
        return colours.size() > 2;
    }

    void clickConnect() {
        Services::display.xdotool("mousemove " + std::to_string(connectX) + " " + std::to_string(connectY) +
                                  " click 1");
    }

    // Quit as the host calls it, timed; then the module goes.
    long quit() {
        const auto start = Clock::now();
        EXPECT_EQ(callQuit(module), 0);
        quitDone = true;
        const long took = msSince(start);
        EXPECT_EQ(dlclose(handle), 0);
        handle = nullptr;
        module = nullptr;
        return took;
    }

    // On the air through a click on Connect, then the server killed.
    void onAirThenServerKilled(fixtures::Icecast& ice, bool autoReconnect) {
        ASSERT_TRUE(ice.start()) << ice.error();
        revived = std::make_unique<faults::Revivable>(ice);
        writeSettings(ice.port(), autoReconnect);
        start();
        clickConnect();
        ASSERT_EQ(ice.waitSourceField("server_name", "Quit FM", connectMs), "Quit FM")
            << "the Connect click did not connect";
        std::this_thread::sleep_for(1s);  // past the connect's own short watch for a refusal
        revived->kill();
    }

    void expectSettingsWritten() {
        struct stat st {};
        ASSERT_EQ(::stat("Larkspur_Settings.dat", &st), 0);
        EXPECT_EQ(st.st_size, 2584);
        EXPECT_GT(st.st_mtime, 946684800 + 86400) << "the settings file was not written at Quit";
        std::ifstream in("Larkspur_Settings.dat", std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(bytes.substr(510, 7), "Quit FM");
    }

    void expectNothingLeft() {
        EXPECT_TRUE(eventually([] { return faults::children("lame").empty(); }, 3s));
        EXPECT_TRUE(eventually([&] { return faults::threadCount() <= threadsBefore; }, 5s))
            << faults::threadCount() << " threads (" << faults::threadNames() << "), " << threadsBefore
            << " before the module was loaded";
    }

    bool boxShown() {
        std::string out;
        Services::display.xdotool("search --name 'Larkspur - Error'", &out);
        return !out.empty();
    }

    fs::path previous;
    std::string folder;
    int threadsBefore = 0;
    int fdsBefore = 0;
    void* handle = nullptr;
    Module* module = nullptr;
    bool quitDone = false;
    std::unique_ptr<faults::Revivable> revived;
};

TEST_F(QuitModule, DuringAConnectAttempt) {
    faults::BadServer server(faults::BadServer::Kind::Silent);
    threadsBefore = faults::threadCount();  // the server's own listening thread
    writeSettings(server.port(), false);
    start();
    clickConnect();
    ASSERT_TRUE(eventually([&] { return server.accepted() > 0; }, std::chrono::milliseconds(connectMs)))
        << "the Connect click did not connect";
    const long took = quit();
    std::printf("Quit during a connect attempt took %ld ms\n", took);
    // The window thread is held by the handshake: the 3000 ms wait, then the forced end
    // cancels the handshake instead of waiting out its 10 s deadline.
    EXPECT_LT(took, 5000);
    expectSettingsWritten();
    expectNothingLeft();
}

TEST_F(QuitModule, DuringTheReconnectLoop) {
    fixtures::Icecast ice;
    ASSERT_NO_FATAL_FAILURE(onAirThenServerKilled(ice, true));
    {
        // In the dead server's place, one that hangs up at once: it counts the loop's attempts.
        faults::BadServer hangsUp(faults::BadServer::Kind::CloseAfterLogin, ice.port());
        ASSERT_EQ(hangsUp.port(), ice.port());
        ASSERT_TRUE(eventually([&] { return hangsUp.accepted() >= 2; }, 15s)) << "the loop made no attempts";
        EXPECT_FALSE(boxShown()) << "a message box while reconnecting automatically";
    }  // gone again: the loop goes on against no server
    const long took = quit();
    std::printf("Quit during the reconnect loop took %ld ms\n", took);
    EXPECT_LT(took, 4000);
    expectSettingsWritten();
    expectNothingLeft();
}

TEST_F(QuitModule, DuringAReconnectHandshakeWithASilentServer) {
    fixtures::Icecast ice;
    ASSERT_NO_FATAL_FAILURE(onAirThenServerKilled(ice, true));
    // In the dead server's place, one that accepts and never answers: the attempt waits in its
    // handshake when Quit comes.
    {
        faults::BadServer silent(faults::BadServer::Kind::Silent, ice.port());
        ASSERT_EQ(silent.port(), ice.port());
        ASSERT_TRUE(eventually([&] { return silent.accepted() >= 1; }, 15s)) << "the loop made no attempt";
        const long took = quit();
        std::printf("Quit during a reconnect handshake took %ld ms\n", took);
        EXPECT_LT(took, 4000);  // the window thread answers; the attempt is cancelled, not timed out
    }  // the server's own threads go before the count
    expectSettingsWritten();
    expectNothingLeft();
}

TEST_F(QuitModule, WhileTheWindowThreadShowsAMessageBox) {
    writeSettings(0, false, "");  // Connect is refused: "Server or Port isn't configurated!"
    // The capture device of settings that never chose one is the default source; its level: 80 %.
    std::string source;
    fixtures::run("pactl get-default-source", &source);
    source = source.substr(0, source.find('\n'));
    ASSERT_FALSE(source.empty());
    ASSERT_EQ(fixtures::run("pactl set-source-volume " + source + " 52429"), 0);
    start();
    clickConnect();
    ASSERT_TRUE(eventually([&] { return boxShown(); }, 5s, 100ms)) << "no message box";
    const long took = quit();
    std::printf("Quit with the window thread's box open took %ld ms\n", took);
    EXPECT_LT(took, 5000);
    EXPECT_FALSE(boxShown());
    expectSettingsWritten();
    expectNothingLeft();
    // The box came after the connect had muted the microphone: the forced end puts it back.
    std::string level;
    fixtures::run("pactl get-source-volume " + source + "; pactl set-source-volume " + source + " 100%", &level);
    EXPECT_NE(level.find(": 52429 /"), std::string::npos) << level;
}

TEST_F(QuitModule, WhileTheFailureHandlerShowsAMessageBox) {
    fixtures::Icecast ice;
    ASSERT_NO_FATAL_FAILURE(onAirThenServerKilled(ice, false));  // "The server connection died!"
    ASSERT_TRUE(eventually([&] { return boxShown(); }, 10s, 100ms)) << "no message box";
    const long took = quit();
    std::printf("Quit with the failure box open took %ld ms\n", took);
    EXPECT_LT(took, 5000);
    EXPECT_FALSE(boxShown());
    expectSettingsWritten();
    expectNothingLeft();
}

// A host may load and unload the module many times: each session must give back what it opened
// (window system connections, wake-up pipes), or the host runs out of descriptors.
TEST_F(QuitModule, UnloadGivesBackItsDescriptors) {
    if (keepMapped) GTEST_SKIP() << "the module stays mapped in this build";
    writeSettings(0, false, "");
    // FLTK stays loaded with the host and keeps its one display connection: the first session
    // may leave that behind, and no session after it may leave anything more.
    start();
    quit();
    EXPECT_TRUE(eventually([&] { return faults::usage().fds <= fdsBefore + 1; }, 2s))
        << faults::usage().fds << " descriptors after the first session, " << fdsBefore
        << " before: " << faults::openFiles();
    const int afterFirst = faults::usage().fds;
    for (int session = 0; session < 3; ++session) {
        start();
        quit();
    }
    EXPECT_TRUE(eventually([&] { return faults::usage().fds <= afterFirst; }, 2s))
        << faults::usage().fds << " descriptors after four sessions, " << afterFirst
        << " after the first: " << faults::openFiles();
}

// As another user, in a folder that user cannot write: Quit still returns, and the settings
// file that was there is left as it was.
TEST_F(QuitModule, SettingsFolderNotWritable) {
    writeSettings(8000, false);
    std::ifstream in("Larkspur_Settings.dat", std::ios::binary);
    const std::string before((std::istreambuf_iterator<char>(in)), {});
    ::chmod("Larkspur_Settings.dat", 0644);
    ::chmod(folder.c_str(), 0755);
    // The build tree may sit in a folder only its owner can enter (a 0700 home or mktemp -d):
    // the other user loads a copy of the module and of the engine beside it ($ORIGIN/..).
    const fs::path built(LARKSPUR_MODULE), copy = fs::path(folder) / "host" / "Plugins" / built.filename();
    fs::create_directories(copy.parent_path());
    fs::copy_file(built, copy);
    fs::copy_file(built.parent_path().parent_path() / "libbass.so", copy.parent_path().parent_path() / "libbass.so");
    for (const fs::path& p : {copy.parent_path().parent_path(), copy.parent_path()}) ::chmod(p.c_str(), 0755);
    const std::string modulePath = copy.string();
    const pid_t child = ::fork();
    if (child == 0) {
        ::unsetenv("DISPLAY");  // no window: Init starts no thread, Quit still saves
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        void* h = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) ::_exit(4);
        Module* m = firstModule(h);
        if (!m) ::_exit(6);
        callInit(m);
        ::_exit(callQuit(m) == 0 ? 0 : 5);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_TRUE(eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 20s)) << "Quit hung";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::ifstream after("Larkspur_Settings.dat", std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), {}), before);
    EXPECT_FALSE(fs::exists("Larkspur_Settings.dat.new"));
}

}  // namespace

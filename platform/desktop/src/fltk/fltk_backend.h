// The FLTK backend: real windows on X11. One file per concern: windows and controls,
// the message loop with its timers and keys, message boxes, the pointer.
//
// FLTK belongs to the window thread (the thread that opened the configuration window) alone.
// Every control has a shadow record under one lock: setters write it from any thread and
// the widget follows on the window thread (at once there, else through a queue drained by
// that thread, woken through a pipe); getters read the shadow. User actions update the
// shadow from the widgets' callbacks and note the events that nextEvent() hands out.
// Without a window thread, message boxes are plain Xlib boxes on the caller's own connection,
// so FLTK never runs on two threads.
#pragma once

#include "shadowed.h"  // before X11's headers, whose macros clash with its names

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Slider.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Toggle_Button.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xatom.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "x11_support.h"

namespace desktop::detail::fltk {

constexpr int tabRowHeight = 22;
constexpr int pageInsetX = 3, pageInsetY = 2;  // display area of a tab page inside its frame
// A narrow sans face, so that texts fit the sizes laid out for the small dialog font.
constexpr Fl_Font uiFont = FL_FREE_FONT;

inline Fl_Color flColour(std::uint32_t rgb) { return fl_rgb_color(uchar(rgb >> 16), uchar(rgb >> 8), uchar(rgb)); }

// '@' starts a symbol in FLTK labels and '&' marks a shortcut on buttons.
inline std::string labelText(const std::string& s, bool button) {
    std::string out;
    for (char c : s) {
        if (c == '@') out += '@';
        if (c == '&' && button) out += '&';
        out += c;
    }
    return out;
}

inline std::string trimmedLabel(const std::string& s) {
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

inline std::string menuText(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '/' || c == '\\' || c == '_') out += '\\';
        if (c == '&' || c == '@') out += c;
        out += c;
    }
    return out;
}

struct BoxRequest {
    NativeWindow owner = 0;
    std::string title, text;
    bool started = false;  // the window thread shows it
    bool done = false;
};

// A box from another thread waits this long for the window thread to take it; a window
// thread busy in a handler (perhaps waiting for that very thread) must not deadlock it.
constexpr auto boxPickUp = std::chrono::milliseconds(500);

class Fltk;
Fltk& self();

void onWidget(Fl_Widget* w, void* number);
void noteFocus(int number);

// Lets tools find the process's windows (xdotool search --pid).
inline void markOwnProcess(Window xid) {
    long pid = long(::getpid());
    XChangeProperty(fl_display, xid, XInternAtom(fl_display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
}

class ConfigWindow : public Fl_Double_Window {
public:
    ConfigWindow(int x, int y, int w, int h) : Fl_Double_Window(x, y, w, h, "") {
        callback([](Fl_Widget*, void*) {});  // a close request is swallowed
    }
};

struct Live {
    Fl_Widget* widget = nullptr;
    std::vector<std::string> itemsShown;
    std::string labelShown;
    bool labelSet = false;
    std::string toolTipShown;  // FLTK keeps only the pointer: the text lives here
    std::vector<uchar> pixels;
    std::unique_ptr<Fl_RGB_Image> image;
};
class Fltk final : public ShadowedBackend {
public:
    Fltk();
    void applyLater(int number) override { post([this, number] { apply(number); }); }

    // ---- threads ----
    bool onWindowThread();

    void wake();

    // Runs `fn` on the window thread: now when called there, else queued. Dropped without one.
    void post(std::function<void()> fn);

    void drain();

    static void onWake(int fd, void*);

    void note(Event e);

    // ---- message boxes ----
    // A box asked for from another thread is shown by the window thread without a loop of its
    // own: the window thread's passes go on (timers, the Speak poll, the stop check) while the
    // caller alone waits for the OK. A box of the window thread itself holds its loop.
    void messageBox(NativeWindow owner, const std::string& title, const std::string& text) override;

    NativeWindow foregroundWindowOfThisProcess() override { return x11::foregroundWindowOfThisProcess(); }

    void finish(const std::shared_ptr<BoxRequest>& req);

    // A window with the text and an OK button, centred on the screen, not yet shown.
    std::unique_ptr<Fl_Double_Window> buildBox(const std::string& title, const std::string& text, Fl_Callback* onOk, void* data);

    void showBox(Fl_Double_Window& box, NativeWindow owner);

    // The window thread's own box: its loop waits until the box is closed.
    void runBox(NativeWindow owner, const std::string& title, const std::string& text);

    struct OpenBox {
        std::shared_ptr<BoxRequest> req;
        std::unique_ptr<Fl_Double_Window> window;
    };

    // Window thread: a box of another thread, shown until its OK, the forced end or the
    // window's end.
    void openBox(const std::shared_ptr<BoxRequest>& req);

    // Window thread: boxes answered, withdrawn or ended by force go. Deleted later, as a
    // callback of the box itself may be running.
    void closeFinishedBoxes();

    // ---- windows ----
    bool openHiddenWindow(int number, NativeWindow owner, int w, int h) override;

    ScreenSize screenSize() override { return x11::screenSize(); }

    ScreenSize outerSize(int w, int h) override;

    x11::Frame frame();

    bool openConfigWindow(int number, NativeWindow owner, int x, int y, int w, int h) override;

    void setWindowIcon(int number, const Image& icon) override;

    void closeWindow(int number) override;

    // On the window thread: the window, its controls, timers and queued work go.
    void closeConfig();

    // The module is going but the host process stays: give back the wake pipe, unless a
    // window thread still runs (then it stays with it). FLTK's display stays open with FLTK:
    // its font caches belong to that connection, and a new connection at the same address
    // would meet glyph sets the server never gave it (an X error at the next box).
    void releaseAtUnload();

    bool windowExists(int number) override;

    NativeWindow nativeHandle(int number) override;

    bool compositionEnabled() override { return false; }

    void setWindowBackground(int number, std::uint32_t rgb) override;

    // ---- controls ----
    bool createControl(int window, const ControlSpec& spec) override;

    int addTab(int tabControl, const std::string& label) override;

    int selectedNow(int number);
    void fitTabLabels(int tabControl);




    // Window thread: the widget shows what its shadow holds.
    void apply(int number);

    // Window thread: a person changed a control.
    void userChanged(int number, Fl_Widget* w);

    // ---- timers and the loop ----
    static void onTimer(void* data);

    void setTimer(int window, int id, int periodMs) override;

    void repaintNow() override;

    Event nextEvent() override;

    void endLoop() override;

    void resetLoop() override;

    // ---- the pointer ----
    int controlUnderCursor() override;

    bool primaryButtonDown() override;

    std::string windowTitle(NativeWindow window) override { return x11::windowTitle(window); }
    void openSoundSettings() override { x11::startSoundSettings(); }

    // ---- keyboard focus ----
    // Tab and Shift+Tab: the next enabled, visible tab stop in creation order, wrapping.
    static int dispatch(int event, Fl_Window* w);

    void moveFocus(bool backwards);

    struct ThreadGuard {
        bool active = false;
        ~ThreadGuard() {
            // A window thread that ends without closing its window must not leave it behind.
            if (active) self().closeConfig();
        }
    };
    static ThreadGuard& threadGuard();

private:
    std::condition_variable boxDone_, idle_;
    std::deque<std::function<void()>> ops_;
    std::deque<Event> events_;
    std::vector<std::shared_ptr<BoxRequest>> pendingBoxes_;
    std::map<int, NativeWindow> hidden_;
    bool ended_ = false;
    bool alive_ = false;
    std::thread::id thread_;
    int configNumber_ = 1;
    NativeWindow configXid_ = 0;
    int wake_[2] = {-1, -1};

    std::mutex frameLock_;
    bool frameKnown_ = false;
    x11::Frame frame_;

    // Window thread only.
    ConfigWindow* win_ = nullptr;
    std::map<int, Live> live_;
    Fl_Tabs* tabs_ = nullptr;
    int tabsNumber_ = -1;
    std::vector<Fl_Group*> pages_;
    std::map<int, int> timers_;
    std::vector<uchar> iconPixels_;
    std::vector<std::unique_ptr<OpenBox>> openBoxes_;
    std::unique_ptr<Fl_RGB_Image> iconImage_;

    friend void onWidget(Fl_Widget*, void*);
};

}  // namespace desktop::detail::fltk

#include "main_window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <sys/socket.h>
#include <atomic>
#include <cstdio>
#include <unistd.h>

namespace host {

struct MainWindow::Native {
    Display* display = nullptr;
    Atom deleteAtom = 0, netWmName = 0, utf8 = 0;
    GC gc = nullptr;
};

namespace {

// A display that goes away must not end the player: Quit still has to run.
std::atomic<Display*> ownDisplay{nullptr};
std::atomic<bool> displayLost{false};

int onIoError(Display* d) {
    if (d == ownDisplay.load()) displayLost = true;
    return 0;
}
void onIoErrorExit(Display*, void*) {}  // returning marks the connection dead instead of exit()
}  // namespace

void initXlibThreads() { XInitThreads(); }

MainWindow::~MainWindow() { close(); }

bool MainWindow::open(const std::string& title) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return false;
    native_ = new Native;
    native_->display = d;
    ownDisplay = d;
    XSetIOErrorHandler(onIoError);
    XSetIOErrorExitHandler(d, onIoErrorExit, nullptr);
    int screen = DefaultScreen(d);
    Window w = XCreateSimpleWindow(d, RootWindow(d, screen), 40, 40, 420, 70, 1, BlackPixel(d, screen),
                                   WhitePixel(d, screen));
    window_ = w;
    native_->deleteAtom = XInternAtom(d, "WM_DELETE_WINDOW", False);
    native_->netWmName = XInternAtom(d, "_NET_WM_NAME", False);
    native_->utf8 = XInternAtom(d, "UTF8_STRING", False);
    Atom del = native_->deleteAtom;
    XSetWMProtocols(d, w, &del, 1);
    XClassHint cls{const_cast<char*>("player"), const_cast<char*>("LarkspurPlayer")};
    XSetClassHint(d, w, &cls);
    // So that tools find the player's windows by process (xdotool search --pid).
    long pid = static_cast<long>(getpid());
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
    XSelectInput(d, w, ExposureMask | KeyPressMask | StructureNotifyMask);
    native_->gc = XCreateGC(d, w, 0, nullptr);
    XSetForeground(d, native_->gc, BlackPixel(d, screen));
    setTitle(title);
    XMapWindow(d, w);
    XSync(d, False);
    return true;
}

void MainWindow::setTitle(const std::string& title) {
    if (!native_ || lost()) return;
    Display* d = native_->display;
    XChangeProperty(d, window_, native_->netWmName, native_->utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
    // WM_NAME for readers without _NET_WM_NAME: Latin-1 or compound text as the locale allows.
    XTextProperty prop{};
    char* list[] = {const_cast<char*>(title.c_str())};
    if (Xutf8TextListToTextProperty(d, list, 1, XStdICCTextStyle, &prop) >= Success) {
        XSetWMName(d, window_, &prop);
        XFree(prop.value);
    } else {
        XStoreName(d, window_, title.c_str());
    }
    XFlush(d);
}

void MainWindow::draw() {
    if (!native_ || lost()) return;
    Display* d = native_->display;
    GC gc = native_->gc;
    XClearWindow(d, window_);
    XDrawString(d, window_, gc, 12, 25, line1_.c_str(), static_cast<int>(line1_.size()));
    XDrawString(d, window_, gc, 12, 48, line2_.c_str(), static_cast<int>(line2_.size()));
    XFlush(d);
}

bool MainWindow::lost() {
    if (!native_ || !displayLost.load()) return false;
    std::fprintf(stderr, "player: lost the display; playing on without a main window\n");
    // Only the GC is freed (its request just sits in the dead connection's buffer). The
    // connection itself stays allocated until exit: closing it would run Xlib's I/O error path,
    // whose lock handling is not sound.
    if (native_->gc) XFreeGC(native_->display, native_->gc);
    delete native_;
    native_ = nullptr;
    window_ = 0;
    return true;
}

MainWindow::Input MainWindow::poll(int timeoutMs) {
    if (!native_ || lost()) return Input::Idle;
    Display* d = native_->display;
    if (!XPending(d)) {
        pollfd pfd{ConnectionNumber(d), POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs) > 0) {
            // A closed connection is seen here first, before Xlib meets it as an I/O error.
            char byte;
            if (recv(pfd.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
                displayLost = true;
                lost();
                return Input::Idle;
            }
        }
    }
    Input result = Input::Idle;
    while (!displayLost.load() && XPending(d)) {
        XEvent ev;
        XNextEvent(d, &ev);
        switch (ev.type) {
        case Expose:
            if (ev.xexpose.count == 0) draw();
            break;
        case KeyPress: {
            KeySym sym = XLookupKeysym(&ev.xkey, 0);
            if (sym == XK_c || sym == XK_C) result = Input::Config;
            break;
        }
        case ClientMessage:
            if (static_cast<unsigned long>(ev.xclient.data.l[0]) == native_->deleteAtom) return Input::Close;
            break;
        default:
            break;
        }
    }
    return result;
}

void MainWindow::close() {
    if (!native_ || lost()) return;
    Display* d = native_->display;
    if (native_->gc) XFreeGC(d, native_->gc);
    XDestroyWindow(d, window_);
    XCloseDisplay(d);
    delete native_;
    native_ = nullptr;
    window_ = 0;
}

}  // namespace host

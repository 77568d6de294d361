#include "x11_support.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <vector>

namespace desktop::x11 {
namespace {

std::atomic<XErrorHandler> previousHandler{nullptr};
std::mutex ownDisplaysLock;
// Never destroyed: the unload hook and the error handler may run after static destruction.
std::vector<Display*>& ownDisplays = *new std::vector<Display*>;

int onXError(Display* d, XErrorEvent* e) {
    {
        std::lock_guard lock(ownDisplaysLock);
        if (std::find(ownDisplays.begin(), ownDisplays.end(), d) != ownDisplays.end()) return 0;
    }
    XErrorHandler prev = previousHandler.load();
    return prev ? prev(d, e) : 0;
}

Display* openOwn() {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return nullptr;
    installErrorHandler();
    std::lock_guard lock(ownDisplaysLock);
    ownDisplays.push_back(d);
    return d;
}

void closeOwn(Display* d) {
    if (!d) return;
    {
        std::lock_guard lock(ownDisplaysLock);
        std::erase(ownDisplays, d);
    }
    XCloseDisplay(d);
}

// One long-lived connection for queries from any thread.
std::mutex queryLock;
Display* queryDisplay = nullptr;

Display* query() {
    if (!queryDisplay) queryDisplay = openOwn();
    return queryDisplay;
}

std::string readTextProperty(Display* d, Window w, Atom property, Atom type) {
    Atom actualType;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, property, 0, 4096, False, type, &actualType, &format, &count, &after, &data) !=
            Success ||
        !data)
        return {};
    std::string out;
    if (format == 8) out.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
    return out;
}

// Plain boxes that are open, each woken through its pipe when the boxes are closed by force.
std::mutex plainBoxesLock;
bool plainBoxesClosed = false;                                   // under plainBoxesLock
std::vector<int>& plainBoxWakers = *new std::vector<int>;         // write ends; under plainBoxesLock

long cardinalProperty(Display* d, Window w, Atom property, bool* found) {
    Atom actualType;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    *found = false;
    long value = 0;
    if (XGetWindowProperty(d, w, property, 0, 1, False, AnyPropertyType, &actualType, &format, &count, &after,
                           &data) == Success &&
        data && count == 1 && format == 32) {
        value = *reinterpret_cast<long*>(data);
        *found = true;
    }
    if (data) XFree(data);
    return value;
}

// The child of the root that holds `w` (window managers reparent top-level windows).
Window topLevelOf(Display* d, Window w) {
    Window root = DefaultRootWindow(d);
    for (int depth = 0; w != None && w != root && depth < 32; ++depth) {
        Window rootRet, parent = None;
        Window* children = nullptr;
        unsigned n = 0;
        if (!XQueryTree(d, w, &rootRet, &parent, &children, &n)) return None;
        if (children) XFree(children);
        if (parent == root) return w;
        w = parent;
    }
    return None;
}

// The window itself or, under a reparenting manager, the client window below its frame
// that carries the properties.
bool ownedByPid(Display* d, Window w, long pid, Atom pidAtom, int depth = 0) {
    bool found = false;
    const long value = cardinalProperty(d, w, pidAtom, &found);
    if (found) return value == pid;
    if (depth >= 2) return false;
    Window rootRet, parent;
    Window* children = nullptr;
    unsigned n = 0;
    if (!XQueryTree(d, w, &rootRet, &parent, &children, &n)) return false;
    bool owned = false;
    for (unsigned i = 0; i < n && !owned; ++i) owned = ownedByPid(d, children[i], pid, pidAtom, depth + 1);
    if (children) XFree(children);
    return owned;
}

std::mutex hiddenLock;
Display* hiddenDisplay = nullptr;
int hiddenCount = 0;

}  // namespace

void installErrorHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A module loaded again finds its own earlier handler, at the same address: chaining
        // to it would loop for ever on the first error of a connection not ours.
        const XErrorHandler previous = XSetErrorHandler(onXError);
        previousHandler = previous == onXError ? nullptr : previous;
    });
}

bool displayAvailable() {
    std::lock_guard lock(queryLock);
    return query() != nullptr;
}

ScreenSize screenSize() {
    std::lock_guard lock(queryLock);
    Display* d = query();
    if (!d) return {};
    int s = DefaultScreen(d);
    return {DisplayWidth(d, s), DisplayHeight(d, s)};
}

Frame frameExtents() {
    std::lock_guard lock(queryLock);
    Display* d = query();
    Frame f;
    if (!d) return f;
    Window root = DefaultRootWindow(d);
    Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
    Atom actualType;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    bool managed = XGetWindowProperty(d, root, check, 0, 1, False, XA_WINDOW, &actualType, &format, &count, &after,
                                      &data) == Success &&
                   data && count == 1;
    if (data) XFree(data);
    if (!managed) return f;  // no window manager: no frame

    // Ask the manager what it would put around a window of ours (with a deadline).
    Window probe = XCreateSimpleWindow(d, root, 0, 0, 100, 100, 0, 0, 0);
    Atom request = XInternAtom(d, "_NET_REQUEST_FRAME_EXTENTS", False);
    Atom extents = XInternAtom(d, "_NET_FRAME_EXTENTS", False);
    XSelectInput(d, probe, PropertyChangeMask);
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = probe;
    ev.xclient.message_type = request;
    ev.xclient.format = 32;
    XSendEvent(d, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XFlush(d);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < deadline) {
        data = nullptr;
        if (XGetWindowProperty(d, probe, extents, 0, 4, False, XA_CARDINAL, &actualType, &format, &count, &after,
                               &data) == Success &&
            data && count == 4) {
            auto* v = reinterpret_cast<long*>(data);
            f = {int(v[0]), int(v[1]), int(v[2]), int(v[3])};
            XFree(data);
            break;
        }
        if (data) XFree(data);
        pollfd p{ConnectionNumber(d), POLLIN, 0};
        ::poll(&p, 1, 20);
        while (XPending(d)) XNextEvent(d, &ev);
    }
    XDestroyWindow(d, probe);
    XSync(d, False);
    return f;
}

std::string windowTitle(NativeWindow window) {
    if (!window) return {};
    std::lock_guard lock(queryLock);
    Display* d = query();
    if (!d) return {};
    Atom netName = XInternAtom(d, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    std::string title = readTextProperty(d, Window(window), netName, utf8);
    if (title.empty()) title = readTextProperty(d, Window(window), XA_WM_NAME, AnyPropertyType);
    XSync(d, False);  // errors of a vanished window surface here and are ignored
    return title;
}

bool queryPointer(NativeWindow window, int* localX, int* localY, bool* primaryDown) {
    std::lock_guard lock(queryLock);
    Display* d = query();
    if (!d) return false;
    Window root = DefaultRootWindow(d), rootRet, child;
    int rx, ry, wx, wy;
    unsigned mask;
    if (!XQueryPointer(d, root, &rootRet, &child, &rx, &ry, &wx, &wy, &mask)) return false;
    // Button masks are logical buttons: the pointer mapping (left-handed or not) is
    // already applied, so button 1 is the primary one.
    if (primaryDown) *primaryDown = (mask & Button1Mask) != 0;
    if (!window) return true;
    // The window must be the one under the pointer, not just somewhere below another one.
    bool over = false;
    Window w = child;
    for (int depth = 0; w != None && depth < 16; ++depth) {
        if (w == Window(window)) {
            over = true;
            break;
        }
        Window next = None;
        if (!XQueryPointer(d, w, &rootRet, &next, &rx, &ry, &wx, &wy, &mask)) break;
        w = next;
    }
    if (!over) return false;
    Window dummy;
    int lx, ly;
    if (!XTranslateCoordinates(d, root, Window(window), rx, ry, &lx, &ly, &dummy)) return false;
    if (localX) *localX = lx;
    if (localY) *localY = ly;
    return true;
}

NativeWindow createHiddenWindow(NativeWindow owner, int width, int height) {
    std::lock_guard lock(hiddenLock);
    if (!hiddenDisplay) hiddenDisplay = openOwn();
    if (!hiddenDisplay) return 0;
    Window w = XCreateSimpleWindow(hiddenDisplay, DefaultRootWindow(hiddenDisplay), 0, 0,
                                   unsigned(std::max(width, 1)), unsigned(std::max(height, 1)), 0, 0, 0);
    if (owner) XSetTransientForHint(hiddenDisplay, w, Window(owner));
    XSync(hiddenDisplay, False);
    ++hiddenCount;
    return NativeWindow(w);
}

void destroyHiddenWindow(NativeWindow window) {
    std::lock_guard lock(hiddenLock);
    if (!hiddenDisplay || !window) return;
    XDestroyWindow(hiddenDisplay, Window(window));
    XSync(hiddenDisplay, False);
    if (--hiddenCount <= 0) {
        closeOwn(hiddenDisplay);
        hiddenDisplay = nullptr;
        hiddenCount = 0;
    }
}

NativeWindow foregroundWindowOfThisProcess() {
    std::lock_guard lock(queryLock);
    Display* d = query();
    if (!d) return 0;
    Window active = None;
    bool found = false;
    const long fromManager =
        cardinalProperty(d, DefaultRootWindow(d), XInternAtom(d, "_NET_ACTIVE_WINDOW", False), &found);
    if (found && fromManager != 0) {
        active = Window(fromManager);
    } else {
        int revert = 0;
        Window focus = None;
        XGetInputFocus(d, &focus, &revert);
        if (focus != None && focus != PointerRoot) active = topLevelOf(d, focus);
    }
    const bool ours = active != None && ownedByPid(d, active, long(::getpid()), XInternAtom(d, "_NET_WM_PID", False));
    XSync(d, False);  // errors of a vanished window surface here and are ignored
    return ours ? NativeWindow(active) : 0;
}

void closePlainBoxes() {
    std::lock_guard lock(plainBoxesLock);
    plainBoxesClosed = true;
    for (int fd : plainBoxWakers) {
        char b = 1;
        [[maybe_unused]] auto n = ::write(fd, &b, 1);
    }
}

void reopenPlainBoxes() {
    std::lock_guard lock(plainBoxesLock);
    plainBoxesClosed = false;
}

void plainMessageBox(NativeWindow owner, const std::string& title, const std::string& text) {
    int waker[2];
    if (::pipe(waker) != 0) return;
    {
        std::lock_guard lock(plainBoxesLock);
        if (plainBoxesClosed) {
            ::close(waker[0]);
            ::close(waker[1]);
            return;
        }
        plainBoxWakers.push_back(waker[1]);
    }
    auto unregister = [&] {
        {
            std::lock_guard lock(plainBoxesLock);
            std::erase(plainBoxWakers, waker[1]);
        }
        ::close(waker[0]);
        ::close(waker[1]);
    };
    Display* d = openOwn();
    if (!d) {
        unregister();
        return;
    }
    std::vector<std::string> lines;
    {
        std::string line;
        for (char c : text) {
            if (c == '\r') continue;
            if (c == '\n') {
                lines.push_back(line);
                line.clear();
            } else {
                line += c;
            }
        }
        lines.push_back(line);
    }
    XFontStruct* font = XLoadQueryFont(d, "fixed");
    int lineHeight = font ? font->ascent + font->descent + 2 : 14;
    int textWidth = 0;
    for (auto& l : lines)
        textWidth = std::max(textWidth, font ? XTextWidth(font, l.c_str(), int(l.size())) : int(l.size()) * 6);
    int width = std::clamp(textWidth + 40, 220, 900);
    int height = int(lines.size()) * lineHeight + 80;
    int screen = DefaultScreen(d);
    Window root = RootWindow(d, screen);
    int x = (DisplayWidth(d, screen) - width) / 2, y = (DisplayHeight(d, screen) - height) / 2;
    unsigned long bg = 0xF0F0F0, fg = 0x000000;
    Window w = XCreateSimpleWindow(d, root, x, y, unsigned(width), unsigned(height), 1, fg, bg);
    XStoreName(d, w, title.c_str());
    Atom netName = XInternAtom(d, "_NET_WM_NAME", False), utf8 = XInternAtom(d, "UTF8_STRING", False);
    XChangeProperty(d, w, netName, utf8, 8, PropModeReplace, reinterpret_cast<const unsigned char*>(title.data()),
                    int(title.size()));
    if (owner) XSetTransientForHint(d, w, Window(owner));
    long pid = long(::getpid());
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
    Atom wmDelete = XInternAtom(d, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(d, w, &wmDelete, 1);
    XSizeHints hints{};
    hints.flags = PPosition | PMinSize | PMaxSize;
    hints.x = x;
    hints.y = y;
    hints.min_width = hints.max_width = width;
    hints.min_height = hints.max_height = height;
    XSetWMNormalHints(d, w, &hints);
    XSelectInput(d, w, ExposureMask | ButtonPressMask | ButtonReleaseMask | KeyPressMask);
    GC gc = XCreateGC(d, w, 0, nullptr);
    if (font) XSetFont(d, gc, font->fid);
    XMapRaised(d, w);
    const int bw = 80, bh = 24, bx = (width - bw) / 2, by = height - bh - 12;
    bool open = true;
    XFlush(d);
    while (open) {
        if (!XPending(d)) {
            pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {waker[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
            if (fds[1].revents) break;  // closed by force
            if (fds[0].revents & (POLLERR | POLLHUP)) break;
            if (!XPending(d)) continue;
        }
        XEvent ev;
        XNextEvent(d, &ev);
        switch (ev.type) {
        case Expose:
            if (ev.xexpose.count) break;
            XSetForeground(d, gc, fg);
            for (std::size_t i = 0; i < lines.size(); ++i)
                XDrawString(d, w, gc, 20, 24 + int(i) * lineHeight, lines[i].c_str(), int(lines[i].size()));
            XDrawRectangle(d, w, gc, bx, by, bw, bh);
            XDrawString(d, w, gc, bx + bw / 2 - 6, by + 16, "OK", 2);
            break;
        case ButtonRelease:
            if (ev.xbutton.x >= bx && ev.xbutton.x < bx + bw && ev.xbutton.y >= by && ev.xbutton.y < by + bh)
                open = false;
            break;
        case KeyPress: {
            KeySym key = XLookupKeysym(&ev.xkey, 0);
            if (key == XK_Return || key == XK_KP_Enter || key == XK_Escape || key == XK_space) open = false;
            break;
        }
        case ClientMessage:
            if (Atom(ev.xclient.data.l[0]) == wmDelete) open = false;
            break;
        default:
            break;
        }
    }
    XFreeGC(d, gc);
    if (font) XFreeFont(d, font);
    XDestroyWindow(d, w);
    closeOwn(d);
    unregister();
}

bool startSoundSettings() {
    static const std::vector<std::vector<std::string>> programs = {
        {"pavucontrol"},     {"gnome-control-center", "sound"}, {"pavucontrol-qt"},
        {"mate-volume-control"}, {"xfce4-pulseaudio-plugin"},  {"kcmshell5", "kcm_pulseaudio"},
    };
    const char* pathEnv = std::getenv("PATH");
    std::string path = pathEnv ? pathEnv : "/usr/local/bin:/usr/bin:/bin";
    for (const auto& program : programs) {
        std::string found;
        std::stringstream dirs(path);
        std::string dir;
        while (std::getline(dirs, dir, ':')) {
            std::string candidate = (dir.empty() ? "." : dir) + "/" + program[0];
            if (::access(candidate.c_str(), X_OK) == 0) {
                found = candidate;
                break;
            }
        }
        if (found.empty()) continue;
        // Everything the child needs is prepared before fork: it only calls async-signal-safe functions.
        std::vector<char*> argv;
        argv.push_back(found.data());
        for (std::size_t i = 1; i < program.size(); ++i) argv.push_back(const_cast<char*>(program[i].c_str()));
        argv.push_back(nullptr);
        pid_t child = ::fork();
        if (child < 0) return false;
        if (child == 0) {
            // Double fork: the program is nobody's child of ours, so nothing waits for it.
            ::setsid();
            pid_t grandchild = ::fork();
            if (grandchild == 0) {
                ::execv(argv[0], argv.data());
                ::_exit(127);
            }
            ::_exit(grandchild < 0 ? 1 : 0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return false;
}

void closeSharedConnections() {
    // Only the descriptors: the server may be gone already, and a round trip to a dead server
    // ends the process.
    auto drop = [](Display*& d) {
        if (!d) return;
        {
            std::lock_guard lock(ownDisplaysLock);
            std::erase(ownDisplays, d);
        }
        ::close(ConnectionNumber(d));
        d = nullptr;
    };
    {
        std::lock_guard lock(queryLock);
        drop(queryDisplay);
    }
    {
        std::lock_guard lock(hiddenLock);
        drop(hiddenDisplay);
        hiddenCount = 0;
    }
    // The handler's code goes with the module: leave the one we found, unless someone has
    // put a handler of their own above ours since.
    const XErrorHandler current = XSetErrorHandler(previousHandler.load());
    if (current != onXError) XSetErrorHandler(current);
}

}  // namespace desktop::x11

// The FLTK backend: real windows on X11.
//
// FLTK belongs to the window thread (the thread that opened the configuration window) alone.
// Every control has a shadow record under one lock: setters write it from any thread and
// the widget follows on the window thread (at once there, else through a queue drained by
// that thread, woken through a pipe); getters read the shadow. User actions update the
// shadow from the widgets' callbacks and note the events that nextEvent() hands out.
// Without a window thread, message boxes are plain Xlib boxes on the caller's own connection,
// so FLTK never runs on two threads.
#include "backend.h"  // before X11's headers, whose macros clash with its names

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

namespace desktop::detail {
namespace {

constexpr int tabRowHeight = 22;
constexpr int pageInsetX = 3, pageInsetY = 2;  // display area of a tab page inside its frame
constexpr std::uint32_t dialogColour = 0xF0F0F0;
// A narrow sans face, so that texts fit the sizes laid out for the small dialog font.
constexpr Fl_Font uiFont = FL_FREE_FONT;

Fl_Color flColour(std::uint32_t rgb) { return fl_rgb_color(uchar(rgb >> 16), uchar(rgb >> 8), uchar(rgb)); }

// '@' starts a symbol in FLTK labels and '&' marks a shortcut on buttons.
std::string labelText(const std::string& s, bool button) {
    std::string out;
    for (char c : s) {
        if (c == '@') out += '@';
        if (c == '&' && button) out += '&';
        out += c;
    }
    return out;
}

std::string menuText(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '/' || c == '\\' || c == '_') out += '\\';
        if (c == '&' || c == '@') out += c;
        out += c;
    }
    return out;
}

struct Shadow {
    int window = 0;
    ControlSpec spec;
    int absX = 0, absY = 0;  // position in the window, for hit tests from any thread
    bool checked = false;
    bool enabled = true;
    std::uint32_t textColor = 0x000000;
    std::uint32_t background = dialogColour;
    std::vector<std::string> items;  // list entries or tab labels
    int selected = -1;
    int position = 0;
    std::string toolTip;
    std::uint64_t seq = 0;
};

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

// Single-line edit; notes focus changes; a number field takes typed digits only.
class Edit : public Fl_Input {
public:
    Edit(int x, int y, int w, int h, int number, bool digits) : Fl_Input(x, y, w, h), number_(number), digits_(digits) {}
    int handle(int e) override {
        if (digits_ && e == FL_KEYBOARD && !(Fl::event_state() & (FL_CTRL | FL_ALT | FL_META))) {
            const char* t = Fl::event_text();
            for (int i = 0; i < Fl::event_length(); ++i)
                if (t[i] < '0' || t[i] > '9') {
                    if (static_cast<unsigned char>(t[i]) >= 32) return 1;  // swallowed, like the system edit
                }
        }
        int r = Fl_Input::handle(e);
        if (e == FL_FOCUS || e == FL_UNFOCUS) noteFocus(number_);
        return r;
    }

private:
    int number_;
    bool digits_;
};

class DropList : public Fl_Choice {
public:
    DropList(int x, int y, int w, int h, int number) : Fl_Choice(x, y, w, h), number_(number) {}
    int handle(int e) override {
        int r = Fl_Choice::handle(e);
        if (e == FL_FOCUS || e == FL_UNFOCUS) noteFocus(number_);
        return r;
    }

private:
    int number_;
};

// Horizontal trackbar 0..100 with tick marks under the slot.
class Trackbar : public Fl_Slider {
public:
    Trackbar(int x, int y, int w, int h) : Fl_Slider(x, y, w, h) {
        type(FL_HOR_NICE_SLIDER);
        bounds(0, 100);
        step(1);
        slider_size(0.06);
        box(FL_FLAT_BOX);
    }
    void draw() override {
        fl_rectf(x(), y(), w(), h(), color());
        int slotH = h() - 9;
        Fl_Slider::draw(x() + 2, y(), w() - 4, slotH);
        fl_color(FL_DARK3);
        int left = x() + 2 + int((w() - 4) * slider_size() / 2), right = x() + w() - 2 - int((w() - 4) * slider_size() / 2);
        for (int i = 0; i <= 100; i += 5) {
            int tx = left + (right - left) * i / 100;
            fl_yxline(tx, y() + slotH + 1, y() + slotH + (i % 50 == 0 ? 6 : 4));
        }
        if (Fl::focus() == this) draw_focus(FL_FLAT_BOX, x(), y(), w(), h());
    }
    int handle(int e) override { return Fl_Slider::handle(e, x() + 2, y(), w() - 4, h() - 9); }
};

// A framed group with its caption in the top line.
class GroupFrame : public Fl_Widget {
public:
    GroupFrame(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) { box(FL_NO_BOX); }
    void draw() override {
        fl_font(labelfont(), labelsize());
        int top = y() + labelsize() / 2;
        fl_draw_box(FL_ENGRAVED_FRAME, x(), top, w(), h() - (top - y()), color());
        const char* l = label();
        if (l && *l) {
            int lw = 0, lh = 0;
            fl_measure(l, lw, lh, 0);
            fl_color(parent() ? parent()->color() : color());
            fl_rectf(x() + 6, y(), lw + 4, labelsize() + 2);
            fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
            fl_draw(l, x() + 8, y() + fl_height() - fl_descent());
        }
    }
};

// Lets tools find the process's windows (xdotool search --pid).
void markOwnProcess(Window xid) {
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

class Fltk final : public Backend {
public:
    Fltk() {
        if (::pipe(wake_) == 0) {
            ::fcntl(wake_[0], F_SETFL, O_NONBLOCK);
            ::fcntl(wake_[1], F_SETFL, O_NONBLOCK);
            ::fcntl(wake_[0], F_SETFD, FD_CLOEXEC);
            ::fcntl(wake_[1], F_SETFD, FD_CLOEXEC);
        }
    }

    // ---- threads ----
    bool onWindowThread() {
        std::lock_guard lock(m_);
        return alive_ && std::this_thread::get_id() == thread_;
    }

    void wake() {
        char b = 1;
        [[maybe_unused]] auto n = ::write(wake_[1], &b, 1);
    }

    // Runs `fn` on the window thread: now when called there, else queued. Dropped without one.
    void post(std::function<void()> fn) {
        {
            std::lock_guard lock(m_);
            if (!alive_) return;
            if (std::this_thread::get_id() != thread_) {
                ops_.push_back(std::move(fn));
                wake();
                return;
            }
        }
        fn();
    }

    void drain() {
        for (;;) {
            std::function<void()> fn;
            {
                std::lock_guard lock(m_);
                if (ops_.empty()) return;
                fn = std::move(ops_.front());
                ops_.pop_front();
            }
            fn();
        }
    }

    static void onWake(int fd, void*) {
        char buf[64];
        while (::read(fd, buf, sizeof buf) > 0) {
        }
        Fltk& f = self();
        bool ended;
        {
            std::lock_guard lock(f.m_);
            ended = f.ended_;
        }
        if (ended) f.closeFinishedBoxes();
        // An open drop-down list runs a loop of its own: the forced end closes it as Escape would.
        if (ended && Fl::grab()) {
            Fl::e_keysym = FL_Escape;
            Fl::e_text = const_cast<char*>("");
            Fl::e_length = 0;
            Fl::handle(FL_KEYBOARD, Fl::grab());
        }
    }

    void note(Event e) {
        std::lock_guard lock(m_);
        if (e.kind == Event::Kind::Timer)
            for (auto& q : events_)
                if (q.kind == e.kind && q.id == e.id) return;  // like the system, one pending tick per timer
        events_.push_back(e);
    }

    // ---- message boxes ----
    // A box asked for from another thread is shown by the window thread without a loop of its
    // own: the window thread's passes go on (timers, the Speak poll, the stop check) while the
    // caller alone waits for the OK. A box of the window thread itself holds its loop.
    void messageBox(NativeWindow owner, const std::string& title, const std::string& text) override {
        std::shared_ptr<BoxRequest> req;
        {
            std::unique_lock lock(m_);
            if (alive_ && std::this_thread::get_id() == thread_) {
                lock.unlock();
                runBox(owner, title, text);
                return;
            }
            if (ended_) return;  // forced end: a box now would only be closed again at once
            if (alive_) {
                req = std::make_shared<BoxRequest>(BoxRequest{owner, title, text, false});
                pendingBoxes_.push_back(req);
                ops_.push_back([this, req] { openBox(req); });
                wake();
                if (boxDone_.wait_for(lock, boxPickUp, [&] { return req->done || req->started; })) {
                    boxDone_.wait(lock, [&] { return req->done; });
                    return;
                }
                req->done = true;  // withdrawn: shown below instead
                std::erase(pendingBoxes_, req);
            }
        }
        x11::plainMessageBox(owner, title, text);
    }

    NativeWindow foregroundWindowOfThisProcess() override { return x11::foregroundWindowOfThisProcess(); }

    void finish(const std::shared_ptr<BoxRequest>& req) {
        std::lock_guard lock(m_);
        req->done = true;
        std::erase(pendingBoxes_, req);
        boxDone_.notify_all();
    }

    // A window with the text and an OK button, centred on the screen, not yet shown.
    std::unique_ptr<Fl_Double_Window> buildBox(const std::string& title, const std::string& text,
                                               Fl_Callback* onOk, void* data) {
        std::string shown;
        for (char c : text)
            if (c != '\r') shown += c;
        shown = labelText(shown, false);
        fl_font(uiFont, FL_NORMAL_SIZE);
        int tw = 0, th = 0;
        fl_measure(shown.c_str(), tw, th, 0);
        if (tw > 560) {  // only long lines wrap
            tw = 560;
            fl_measure(shown.c_str(), tw, th, 0);
        }
        tw = std::max(tw + 6, 180);  // slack: measuring and drawing round differently
        int w = tw + 40, h = th + 70;
        auto screen = x11::screenSize();
        auto box = std::make_unique<Fl_Double_Window>((screen.width - w) / 2, (screen.height - h) / 2, w, h);
        box->copy_label(title.c_str());
        auto* message = new Fl_Box(20, 15, tw, th);
        message->copy_label(shown.c_str());
        message->labelfont(uiFont);
        message->labelsize(FL_NORMAL_SIZE);
        message->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_WRAP);
        auto* ok = new Fl_Return_Button((w - 80) / 2, h - 38, 80, 24, "OK");
        ok->labelfont(uiFont);
        ok->labelsize(FL_NORMAL_SIZE);
        ok->callback(onOk, data);
        box->end();
        box->callback(onOk, data);  // the window manager's close is an OK too
        return box;
    }

    void showBox(Fl_Double_Window& box, NativeWindow owner) {
        box.show();
        if (owner) XSetTransientForHint(fl_display, fl_xid(&box), Window(owner));
        markOwnProcess(fl_xid(&box));
    }

    // The window thread's own box: its loop waits until the box is closed.
    void runBox(NativeWindow owner, const std::string& title, const std::string& text) {
        auto closed = [&] {
            std::lock_guard lock(m_);
            return ended_;
        };
        if (closed()) return;
        auto box = buildBox(title, text, [](Fl_Widget* w, void*) {
            (w->window() ? w->window() : static_cast<Fl_Window*>(w))->hide();
        }, nullptr);
        box->set_modal();
        showBox(*box, owner);
        while (box->shown() && !closed()) {
            Fl::wait(0.25);
            drain();
            closeFinishedBoxes();
        }
        box->hide();
    }

    struct OpenBox {
        std::shared_ptr<BoxRequest> req;
        std::unique_ptr<Fl_Double_Window> window;
    };

    // Window thread: a box of another thread, shown until its OK, the forced end or the
    // window's end.
    void openBox(const std::shared_ptr<BoxRequest>& req) {
        {
            std::lock_guard taken(m_);
            if (req->done || ended_) return;
            req->started = true;
            boxDone_.notify_all();
        }
        auto entry = std::make_unique<OpenBox>();
        entry->req = req;
        entry->window = buildBox(req->title, req->text, [](Fl_Widget*, void* data) {
            auto* box = static_cast<OpenBox*>(data);
            self().finish(box->req);
            self().closeFinishedBoxes();
        }, entry.get());
        showBox(*entry->window, req->owner);
        openBoxes_.push_back(std::move(entry));
    }

    // Window thread: boxes answered, withdrawn or ended by force go. Deleted later, as a
    // callback of the box itself may be running.
    void closeFinishedBoxes() {
        bool ended;
        {
            std::lock_guard lock(m_);
            ended = ended_;
        }
        for (auto it = openBoxes_.begin(); it != openBoxes_.end();) {
            bool done;
            {
                std::lock_guard lock(m_);
                done = (*it)->req->done;
            }
            if (!done && !ended) {
                ++it;
                continue;
            }
            if (!done) finish((*it)->req);
            (*it)->window->hide();
            Fl::delete_widget((*it)->window.release());
            it = openBoxes_.erase(it);
        }
    }

    // ---- windows ----
    bool openHiddenWindow(int number, NativeWindow owner, int w, int h) override {
        {
            std::lock_guard lock(m_);
            if (hidden_.count(number) || (number == configNumber_ && alive_)) return false;
        }
        NativeWindow id = x11::createHiddenWindow(owner, w, h);
        if (!id) return false;
        std::lock_guard lock(m_);
        hidden_[number] = id;
        return true;
    }

    ScreenSize screenSize() override { return x11::screenSize(); }

    ScreenSize outerSize(int w, int h) override {
        auto f = frame();
        return {w + f.left + f.right, h + f.top + f.bottom};
    }

    x11::Frame frame() {
        std::lock_guard lock(frameLock_);
        if (!frameKnown_) {
            frame_ = x11::frameExtents();
            frameKnown_ = true;
        }
        return frame_;
    }

    bool openConfigWindow(int number, NativeWindow owner, int x, int y, int w, int h) override {
        {
            std::lock_guard lock(m_);
            if (alive_ || hidden_.count(number)) return false;  // one configuration window per process
        }
        if (!fl_display) {
            // FLTK ends the process when it cannot open its display: open it for FLTK ourselves.
            ::Display* d = XOpenDisplay(nullptr);
            if (!d) return false;
            fl_open_display(d);
        }
        x11::installErrorHandler();
        static bool once = [] {
            Fl::event_dispatch(dispatch);
            return true;
        }();
        (void)once;
        FL_NORMAL_SIZE = 11;
        Fl::set_font(uiFont, " DejaVu Sans Condensed");
        Fl::background(0xF0, 0xF0, 0xF0);
        Fl::visible_focus(1);

        auto f = frame();
        win_ = new ConfigWindow(x + f.left, y + f.top, w, h);
        win_->end();
        win_->color(flColour(dialogColour));
        {
            std::lock_guard lock(m_);
            thread_ = std::this_thread::get_id();
            alive_ = true;
            configNumber_ = number;
            events_.clear();
        }
        threadGuard().active = true;
        Fl::add_fd(wake_[0], FL_READ, onWake);
        win_->show();
        Window xid = fl_xid(win_);
        // FLTK maps the window as it creates it; window managers read these hints when a window
        // is mapped, so it is withdrawn, given them, and mapped again.
        XWithdrawWindow(fl_display, xid, fl_screen);
        XSync(fl_display, False);
        if (owner) XSetTransientForHint(fl_display, xid, Window(owner));
        // Title and border only: no close, minimise or maximise box.
        struct {
            unsigned long flags, functions, decorations;
            long inputMode;
            unsigned long status;
        } motif{1 | 2, 4, 2 | 8, 0, 0};
        Atom motifAtom = XInternAtom(fl_display, "_MOTIF_WM_HINTS", False);
        XChangeProperty(fl_display, xid, motifAtom, motifAtom, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&motif), 5);
        markOwnProcess(xid);
        Atom protocols[1] = {XInternAtom(fl_display, "WM_DELETE_WINDOW", False)};
        XSetWMProtocols(fl_display, xid, protocols, 1);
        XMapRaised(fl_display, xid);
        XFlush(fl_display);
        std::lock_guard lock(m_);
        configXid_ = NativeWindow(xid);
        return true;
    }

    void setWindowIcon(int number, const Image& icon) override {
        if (icon.empty() || icon.rgba.size() < std::size_t(icon.width) * std::size_t(icon.height) * 4) return;
        Image copy = icon;
        post([this, number, copy] {
            if (!win_ || number != configNumber_) return;
            iconPixels_ = copy.rgba;
            iconImage_ = std::make_unique<Fl_RGB_Image>(iconPixels_.data(), copy.width, copy.height, 4);
            win_->icon(iconImage_.get());
        });
    }

    void closeWindow(int number) override {
        NativeWindow hidden = 0;
        {
            std::lock_guard lock(m_);
            if (auto it = hidden_.find(number); it != hidden_.end()) {
                hidden = it->second;
                hidden_.erase(it);
            }
        }
        if (hidden) {
            x11::destroyHiddenWindow(hidden);
            return;
        }
        if (number == configNumber_) post([this] { closeConfig(); });
    }

    // On the window thread: the window, its controls, timers and queued work go.
    void closeConfig() {
        if (!win_) return;
        for (auto& box : openBoxes_) {
            finish(box->req);
            box->window->hide();
        }
        openBoxes_.clear();
        for (auto& [id, period] : timers_) Fl::remove_timeout(onTimer, reinterpret_cast<void*>(std::intptr_t(id)));
        timers_.clear();
        Fl::remove_fd(wake_[0]);
        win_->hide();
        delete win_;
        win_ = nullptr;
        live_.clear();
        tabs_ = nullptr;
        pages_.clear();
        iconImage_.reset();
        Fl::flush();
        {
            std::lock_guard lock(m_);
            std::erase_if(shadow_, [&](auto& kv) { return kv.second.window == configNumber_; });
            events_.clear();
            ops_.clear();
            for (auto& req : pendingBoxes_) req->done = true;
            pendingBoxes_.clear();
            boxDone_.notify_all();
            alive_ = false;
            configXid_ = 0;
        }
        if (fl_display) XSync(fl_display, False);
        threadGuard().active = false;
    }

    // The module is going but the host process stays: give back the wake pipe, unless a
    // window thread still runs (then it stays with it). FLTK's display stays open with FLTK:
    // its font caches belong to that connection, and a new connection at the same address
    // would meet glyph sets the server never gave it (an X error at the next box).
    void releaseAtUnload() {
        {
            std::lock_guard lock(m_);
            if (alive_) return;
        }
        for (int& fd : wake_) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
    }

    bool windowExists(int number) override {
        std::lock_guard lock(m_);
        return hidden_.count(number) || (alive_ && number == configNumber_);
    }

    NativeWindow nativeHandle(int number) override {
        std::lock_guard lock(m_);
        if (auto it = hidden_.find(number); it != hidden_.end()) return it->second;
        return alive_ && number == configNumber_ ? configXid_ : 0;
    }

    bool compositionEnabled() override { return false; }

    void setWindowBackground(int number, std::uint32_t rgb) override {
        post([this, number, rgb] {
            if (!win_ || number != configNumber_) return;
            win_->color(flColour(rgb));
            win_->redraw();
        });
    }

    // ---- controls ----
    bool createControl(int window, const ControlSpec& spec) override {
        if (!onWindowThread() || window != configNumber_ || !win_) return false;
        {
            std::lock_guard lock(m_);
            if (shadow_.count(spec.number)) return false;
        }
        Fl_Group* parent = win_;
        int ox = 0, oy = 0;
        if (spec.page != onWindow) {
            if (spec.page < 0 || spec.page >= int(pages_.size())) return false;
            parent = pages_[std::size_t(spec.page)];
            ox = parent->x() + pageInsetX;
            oy = parent->y() + pageInsetY;
        }
        int x = ox + spec.x, y = oy + spec.y, w = spec.width, h = spec.height;
        Live live;
        Shadow sh;
        sh.window = window;
        sh.spec = spec;
        sh.spec.image = nullptr;
        sh.absX = x;
        sh.absY = y;
        Fl_Widget* widget = nullptr;
        parent->begin();
        switch (spec.kind) {
        case ControlKind::Image: {
            auto* b = new Fl_Box(x, y, w, h);
            b->box(FL_NO_BOX);
            b->align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT | FL_ALIGN_CLIP);
            if (spec.image && !spec.image->empty() &&
                spec.image->rgba.size() >= std::size_t(spec.image->width) * std::size_t(spec.image->height) * 4) {
                live.pixels = spec.image->rgba;
                live.image = std::make_unique<Fl_RGB_Image>(live.pixels.data(), spec.image->width,
                                                            spec.image->height, 4);
                b->image(live.image.get());
            }
            widget = b;
            break;
        }
        case ControlKind::Text:
        case ControlKind::CenteredText: {
            auto* b = new Fl_Box(x, y, w, h);
            b->box(FL_FLAT_BOX);
            bool centred = spec.kind == ControlKind::CenteredText;
            // Labels may run past their box a little, as the system's statics do with a wider font;
            // the status line keeps to its own.
            b->align(FL_ALIGN_INSIDE | (centred ? (FL_ALIGN_CENTER | FL_ALIGN_CLIP) : (FL_ALIGN_LEFT | FL_ALIGN_TOP)));
            widget = b;
            break;
        }
        case ControlKind::GroupBox: widget = new GroupFrame(x, y, w, h); break;
        case ControlKind::PushButton: widget = new Fl_Button(x, y, w, h); break;
        case ControlKind::ToggleButton: widget = new Fl_Toggle_Button(x, y, w, h); break;
        case ControlKind::CheckBox: widget = new Fl_Check_Button(x, y, w, h); break;
        case ControlKind::Edit:
        case ControlKind::NumberEdit:
        case ControlKind::PasswordEdit: {
            auto* e = new Edit(x, y, w, h, spec.number, spec.kind == ControlKind::NumberEdit);
            if (spec.kind == ControlKind::PasswordEdit) e->type(FL_SECRET_INPUT);
            e->when(FL_WHEN_CHANGED);
            e->textsize(FL_NORMAL_SIZE);
            e->textfont(uiFont);
            widget = e;
            break;
        }
        case ControlKind::DropList: {
            auto* c = new DropList(x, y, w, 20, spec.number);
            c->when(FL_WHEN_RELEASE | FL_WHEN_NOT_CHANGED);
            c->textsize(FL_NORMAL_SIZE);
            c->textfont(uiFont);
            c->down_box(FL_BORDER_BOX);
            widget = c;
            break;
        }
        case ControlKind::Trackbar: widget = new Trackbar(x, y, w, h); break;
        case ControlKind::TabControl: {
            auto* t = new Fl_Tabs(x, y, w, h);
            t->when(FL_WHEN_CHANGED);
            t->end();
            tabs_ = t;
            tabsNumber_ = spec.number;
            sh.selected = -1;
            widget = t;
            break;
        }
        }
        parent->end();
        win_->end();
        if (!widget) return false;
        widget->labelsize(FL_NORMAL_SIZE);
        widget->labelfont(uiFont);
        widget->user_data(reinterpret_cast<void*>(std::intptr_t(spec.number)));
        widget->callback(onWidget, reinterpret_cast<void*>(std::intptr_t(spec.number)));
        widget->color(flColour(dialogColour));
        if (spec.kind == ControlKind::Edit || spec.kind == ControlKind::NumberEdit ||
            spec.kind == ControlKind::PasswordEdit || spec.kind == ControlKind::DropList)
            widget->color(FL_WHITE);
        if (!spec.tabStop) widget->clear_visible_focus();
        live.widget = widget;
        {
            std::lock_guard lock(m_);
            sh.seq = nextSeq_++;
            shadow_[spec.number] = sh;
        }
        live_[spec.number] = std::move(live);
        apply(spec.number);
        widget->redraw();
        return true;
    }

    int addTab(int tabControl, const std::string& label) override {
        if (!onWindowThread() || !tabs_ || tabControl != tabsNumber_) return -1;
        tabs_->begin();
        auto* page = new Fl_Group(tabs_->x(), tabs_->y() + tabRowHeight, tabs_->w(), tabs_->h() - tabRowHeight);
        page->box(FL_THIN_UP_BOX);
        page->color(flColour(dialogColour));
        page->copy_label(labelText(label, false).c_str());
        page->labelsize(FL_NORMAL_SIZE);
        page->labelfont(uiFont);
        page->end();
        tabs_->end();
        pages_.push_back(page);
        int index = int(pages_.size()) - 1;
        {
            std::lock_guard lock(m_);
            auto& sh = shadow_[tabControl];
            sh.items.push_back(label);
            if (sh.selected < 0) sh.selected = 0;
        }
        // Only the selected page shows.
        tabs_->value(pages_[std::size_t(selectedNow(tabControl))]);
        tabs_->redraw();
        return index;
    }

    int selectedNow(int number) {
        std::lock_guard lock(m_);
        auto it = shadow_.find(number);
        return it == shadow_.end() ? -1 : it->second.selected;
    }

    bool controlExists(int number) override {
        std::lock_guard lock(m_);
        return shadow_.count(number) != 0;
    }

    // Writes the shadow, then brings the widget to it on the window thread.
    template <typename F>
    void change(int number, F&& f) {
        {
            std::lock_guard lock(m_);
            auto it = shadow_.find(number);
            if (it == shadow_.end()) return;
            f(it->second);
        }
        post([this, number] { apply(number); });
    }

    template <typename T, typename F>
    T read(int number, T fallback, F&& f) {
        std::lock_guard lock(m_);
        auto it = shadow_.find(number);
        return it == shadow_.end() ? fallback : f(it->second);
    }

    void setText(int number, const std::string& t) override {
        change(number, [&](Shadow& s) { s.spec.text = t; });
    }
    std::string text(int number) override {
        return read(number, std::string(), [](Shadow& s) { return s.spec.text; });
    }
    void setChecked(int number, bool down) override {
        change(number, [&](Shadow& s) { s.checked = down; });
    }
    bool checked(int number) override {
        return read(number, false, [](Shadow& s) { return s.checked; });
    }
    void setEnabled(int number, bool on) override {
        change(number, [&](Shadow& s) { s.enabled = on; });
    }
    bool enabled(int number) override {
        return read(number, false, [](Shadow& s) { return s.enabled; });
    }
    void setTextColor(int number, std::uint32_t rgb) override {
        change(number, [&](Shadow& s) { s.textColor = rgb & 0xFFFFFF; });
    }
    void setBackgroundColor(int number, std::uint32_t rgb) override {
        change(number, [&](Shadow& s) { s.background = rgb & 0xFFFFFF; });
    }
    std::uint32_t textColor(int number) override {
        return read(number, std::uint32_t(0), [](Shadow& s) { return s.textColor; });
    }
    std::uint32_t backgroundColor(int number) override {
        return read(number, std::uint32_t(0), [](Shadow& s) { return s.background; });
    }
    void addItem(int list, const std::string& item) override {
        change(list, [&](Shadow& s) {
            if (s.spec.kind == ControlKind::DropList) s.items.push_back(item);
        });
    }
    int itemCount(int list) override {
        return read(list, 0, [](Shadow& s) { return int(s.items.size()); });
    }
    std::string itemText(int list, int pos) override {
        return read(list, std::string(), [&](Shadow& s) {
            return pos >= 0 && pos < int(s.items.size()) ? s.items[std::size_t(pos)] : std::string();
        });
    }
    void select(int list, int pos) override {
        change(list, [&](Shadow& s) {
            bool valid = pos >= 0 && pos < int(s.items.size());
            if (s.spec.kind == ControlKind::TabControl) {
                if (valid) s.selected = pos;  // a tab control always shows a page
            } else {
                s.selected = valid ? pos : -1;
            }
        });
    }
    int selected(int list) override {
        return read(list, -1, [](Shadow& s) { return s.selected; });
    }
    void setPosition(int trackbar, int pos) override {
        change(trackbar, [&](Shadow& s) { s.position = std::clamp(pos, 0, 100); });
    }
    int position(int trackbar) override {
        return read(trackbar, 0, [](Shadow& s) { return s.position; });
    }
    void setToolTip(int number, const std::string& t) override {
        change(number, [&](Shadow& s) { s.toolTip = t; });
    }

    // Window thread: the widget shows what its shadow holds.
    void apply(int number) {
        auto lit = live_.find(number);
        if (lit == live_.end()) return;
        Shadow s;
        {
            std::lock_guard lock(m_);
            auto it = shadow_.find(number);
            if (it == shadow_.end()) return;
            s = it->second;
        }
        Live& live = lit->second;
        Fl_Widget* w = live.widget;
        bool damaged = false;
        auto setLabel = [&](const std::string& text) {
            if (live.labelSet && live.labelShown == text) return;
            live.labelShown = text;
            live.labelSet = true;
            w->copy_label(text.c_str());
            damaged = true;
        };
        switch (s.spec.kind) {
        case ControlKind::Image: break;
        case ControlKind::Text:
        case ControlKind::CenteredText:
        case ControlKind::GroupBox: setLabel(labelText(s.spec.text, false)); break;
        case ControlKind::PushButton:
        case ControlKind::ToggleButton:
        case ControlKind::CheckBox: {
            setLabel(labelText(s.spec.text, true));
            auto* b = static_cast<Fl_Button*>(w);
            if (s.spec.kind != ControlKind::PushButton && b->value() != (s.checked ? 1 : 0)) {
                b->value(s.checked ? 1 : 0);
                damaged = true;
            }
            break;
        }
        case ControlKind::Edit:
        case ControlKind::NumberEdit:
        case ControlKind::PasswordEdit: {
            auto* e = static_cast<Fl_Input*>(w);
            if (s.spec.text != (e->value() ? e->value() : "")) {
                e->value(s.spec.text.c_str(), int(s.spec.text.size()));
                damaged = true;
            }
            break;
        }
        case ControlKind::DropList: {
            auto* c = static_cast<Fl_Choice*>(w);
            if (live.itemsShown != s.items) {
                c->clear();
                for (auto& item : s.items) c->add(menuText(item).c_str());
                live.itemsShown = s.items;
                damaged = true;
            }
            if (c->value() != s.selected) {
                if (s.selected >= 0) c->value(s.selected);
                else c->value(static_cast<const Fl_Menu_Item*>(nullptr));
                damaged = true;
            }
            break;
        }
        case ControlKind::Trackbar: {
            auto* t = static_cast<Trackbar*>(w);
            if (int(t->value()) != s.position) {
                t->value(s.position);
                damaged = true;
            }
            break;
        }
        case ControlKind::TabControl:
            if (s.selected >= 0 && s.selected < int(pages_.size()) &&
                tabs_->value() != pages_[std::size_t(s.selected)]) {
                tabs_->value(pages_[std::size_t(s.selected)]);
                damaged = true;
            }
            break;
        }
        if (s.enabled != (w->active() != 0)) {
            if (s.enabled) w->activate();
            else w->deactivate();
            damaged = true;
        }
        if (s.spec.kind == ControlKind::CenteredText || s.spec.kind == ControlKind::Text) {
            Fl_Color fg = flColour(s.textColor), bg = flColour(s.background);
            if (w->labelcolor() != fg || w->color() != bg) {
                w->labelcolor(fg);
                w->color(bg);
                damaged = true;
            }
        }
        if (live.toolTipShown != s.toolTip) {
            live.toolTipShown = s.toolTip;
            w->tooltip(live.toolTipShown.empty() ? nullptr : live.toolTipShown.c_str());
        }
        if (damaged) w->redraw();
    }

    // Window thread: a person changed a control.
    void userChanged(int number, Fl_Widget* w) {
        {
            std::lock_guard lock(m_);
            auto it = shadow_.find(number);
            if (it == shadow_.end()) return;
            Shadow& s = it->second;
            switch (s.spec.kind) {
            case ControlKind::ToggleButton:
            case ControlKind::CheckBox: s.checked = static_cast<Fl_Button*>(w)->value() != 0; break;
            case ControlKind::Edit:
            case ControlKind::NumberEdit:
            case ControlKind::PasswordEdit: {
                const char* v = static_cast<Fl_Input*>(w)->value();
                s.spec.text = v ? v : "";
                break;
            }
            case ControlKind::DropList: s.selected = static_cast<Fl_Choice*>(w)->value(); break;
            case ControlKind::Trackbar: s.position = int(static_cast<Fl_Slider*>(w)->value()); break;
            case ControlKind::TabControl: {
                auto pos = std::find(pages_.begin(), pages_.end(), tabs_->value());
                if (pos != pages_.end()) s.selected = int(pos - pages_.begin());
                break;
            }
            default: break;
            }
        }
        note({Event::Kind::Control, number});
    }

    // ---- timers and the loop ----
    static void onTimer(void* data) {
        Fltk& f = self();
        int id = int(reinterpret_cast<std::intptr_t>(data));
        auto it = f.timers_.find(id);
        if (it == f.timers_.end()) return;
        f.note({Event::Kind::Timer, id});
        Fl::repeat_timeout(it->second / 1000.0, onTimer, data);
    }

    void setTimer(int window, int id, int periodMs) override {
        if (periodMs <= 0) return;
        post([this, window, id, periodMs] {
            if (!win_ || window != configNumber_) return;
            void* data = reinterpret_cast<void*>(std::intptr_t(id));
            Fl::remove_timeout(onTimer, data);
            timers_[id] = periodMs;
            Fl::add_timeout(periodMs / 1000.0, onTimer, data);
        });
    }

    Event nextEvent() override {
        if (!onWindowThread()) {
            // No window on this thread: nothing ever comes but the forced end.
            std::unique_lock lock(m_);
            idle_.wait(lock, [&] { return ended_; });
            return {Event::Kind::Quit, 0};
        }
        for (;;) {
            {
                std::lock_guard lock(m_);
                if (ended_) return {Event::Kind::Quit, 0};
                if (!events_.empty()) {
                    Event e = events_.front();
                    events_.pop_front();
                    return e;
                }
            }
            drain();
            {
                std::lock_guard lock(m_);
                if (ended_) return {Event::Kind::Quit, 0};
                if (!events_.empty()) continue;
            }
            Fl::wait(1e20);
            drain();
            closeFinishedBoxes();
            std::lock_guard lock(m_);
            if (ended_) return {Event::Kind::Quit, 0};
            if (events_.empty()) return Event{};  // a message that noted nothing
        }
    }

    void endLoop() override {
        {
            std::lock_guard lock(m_);
            ended_ = true;
            for (auto& req : pendingBoxes_) req->done = true;
            pendingBoxes_.clear();
            boxDone_.notify_all();
            idle_.notify_all();
            wake();
        }
        x11::closePlainBoxes();
    }

    void resetLoop() override {
        {
            std::lock_guard lock(m_);
            ended_ = false;
        }
        x11::reopenPlainBoxes();
    }

    // ---- the pointer ----
    int controlUnderCursor() override {
        NativeWindow xid;
        {
            std::lock_guard lock(m_);
            xid = alive_ ? configXid_ : 0;
        }
        int lx = 0, ly = 0;
        if (!xid || !x11::queryPointer(xid, &lx, &ly, nullptr)) return 0;
        std::lock_guard lock(m_);
        int tabSelected = -1;
        for (auto& [n, s] : shadow_)
            if (s.spec.kind == ControlKind::TabControl) tabSelected = s.selected;
        // Later controls lie above earlier ones; hidden and disabled controls are not hit.
        const Shadow* best = nullptr;
        for (auto& [n, s] : shadow_) {
            if (!s.enabled || (s.spec.page != onWindow && s.spec.page != tabSelected)) continue;
            int h = s.spec.kind == ControlKind::DropList ? 20 : s.spec.height;
            if (lx < s.absX || ly < s.absY || lx >= s.absX + s.spec.width || ly >= s.absY + h) continue;
            if (!best || s.seq > best->seq) best = &s;
        }
        return best ? best->spec.number : 0;
    }

    bool primaryButtonDown() override {
        bool down = false;
        return x11::queryPointer(0, nullptr, nullptr, &down) && down;
    }

    std::string windowTitle(NativeWindow window) override { return x11::windowTitle(window); }
    void openSoundSettings() override { x11::startSoundSettings(); }

    // ---- keyboard focus ----
    // Tab and Shift+Tab: the next enabled, visible tab stop in creation order, wrapping.
    static int dispatch(int event, Fl_Window* w) {
        Fltk& f = self();
        if (event == FL_KEYBOARD && Fl::event_key() == FL_Tab && f.win_ && w == f.win_ &&
            !(Fl::event_state() & (FL_CTRL | FL_ALT | FL_META))) {
            f.moveFocus((Fl::event_state() & FL_SHIFT) != 0);
            return 1;
        }
        return Fl::handle_(event, w);
    }

    void moveFocus(bool backwards) {
        std::vector<std::pair<std::uint64_t, int>> order;
        {
            std::lock_guard lock(m_);
            for (auto& [n, s] : shadow_)
                if (s.spec.tabStop) order.emplace_back(s.seq, n);
        }
        std::sort(order.begin(), order.end());
        std::vector<Fl_Widget*> stops;
        for (auto& [seq, n] : order) {
            Fl_Widget* w = live_[n].widget;
            if (w && w->visible_r() && w->active_r()) stops.push_back(w);
        }
        if (stops.empty()) return;
        int current = -1;
        for (int i = 0; i < int(stops.size()); ++i)
            if (Fl::focus() == stops[std::size_t(i)] || (Fl::focus() && Fl::focus()->inside(stops[std::size_t(i)])))
                current = i;
        int n = int(stops.size());
        for (int step = 1; step <= n; ++step) {
            int i = current < 0 ? (backwards ? n - step : step - 1)
                                : ((current + (backwards ? -step : step)) % n + n) % n;
            if (stops[std::size_t(i)]->take_focus()) return;
        }
    }

    struct ThreadGuard {
        bool active = false;
        ~ThreadGuard() {
            // A window thread that ends without closing its window must not leave it behind.
            if (active) self().closeConfig();
        }
    };
    static ThreadGuard& threadGuard() {
        thread_local ThreadGuard guard;
        return guard;
    }

private:
    std::mutex m_;
    std::condition_variable boxDone_, idle_;
    std::map<int, Shadow> shadow_;
    std::deque<std::function<void()>> ops_;
    std::deque<Event> events_;
    std::vector<std::shared_ptr<BoxRequest>> pendingBoxes_;
    std::map<int, NativeWindow> hidden_;
    bool ended_ = false;
    bool alive_ = false;
    std::thread::id thread_;
    int configNumber_ = 1;
    NativeWindow configXid_ = 0;
    std::uint64_t nextSeq_ = 1;
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

Fltk*& instance() {
    static Fltk* f = nullptr;
    return f;
}

// FLTK keeps process-wide state (fonts, the display's caches) that it never frees: once loaded
// it stays with the host, as the audio library does, instead of leaking at every unload.
void keepFltkLoaded() {
    Dl_info info{};
    if (dladdr(static_cast<void*>(&fl_display), &info) && info.dli_fname)
        dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

Fltk& self() {
    static Fltk* f = [] {
        keepFltkLoaded();
        return instance() = new Fltk;  // never destroyed: window threads may outlive static destruction
    }();
    return *f;
}

// Runs when the module is unloaded (or the process ends).
struct ReleaseAtUnload {
    ~ReleaseAtUnload() {
        if (Fltk* f = instance()) f->releaseAtUnload();
        x11::closeSharedConnections();
    }
} releaseAtUnload;

void onWidget(Fl_Widget* w, void* number) { self().userChanged(int(reinterpret_cast<std::intptr_t>(number)), w); }

void noteFocus(int number) { self().note({Event::Kind::Control, number}); }

}  // namespace

Backend& fltkBackend() { return self(); }

}  // namespace desktop::detail

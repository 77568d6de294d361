// FLTK backend: the windows and controls, their shadows, and the backend itself.
#include "fltk/fltk_backend.h"

namespace desktop::detail::fltk {

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

// Level meter: a bar from the floor to the level (green, yellow from -12 dB, red from -3 dB) on
// black, a hold mark, and a clip mark at the right end.
class Meter : public Fl_Widget {
public:
    Meter(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) { box(FL_FLAT_BOX); }
    MeterReading reading;
    void draw() override {
        constexpr int clipW = 6;
        const int barW = w() - clipW - 1;
        auto at = [&](double db) { return int(barW * (db - meterFloorDb) / -meterFloorDb + 0.5); };
        fl_rectf(x(), y(), barW, h(), FL_BLACK);
        const int level = at(reading.levelDb), yellow = at(-12.0), red = at(-3.0);
        fl_rectf(x(), y() + 1, std::min(level, yellow), h() - 2, fl_rgb_color(0, 200, 0));
        if (level > yellow) fl_rectf(x() + yellow, y() + 1, std::min(level, red) - yellow, h() - 2, fl_rgb_color(230, 220, 0));
        if (level > red) fl_rectf(x() + red, y() + 1, level - red, h() - 2, fl_rgb_color(255, 0, 0));
        if (reading.holdDb > meterFloorDb) {
            const int hold = std::min(std::max(at(reading.holdDb), 2), barW);
            fl_rectf(x() + hold - 2, y(), 2, h(), FL_WHITE);
        }
        fl_rectf(x() + barW + 1, y(), clipW, h(), reading.clipped ? fl_rgb_color(255, 0, 0) : fl_rgb_color(60, 0, 0));
    }
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


Fltk::Fltk() {
    if (::pipe(wake_) == 0) {
        ::fcntl(wake_[0], F_SETFL, O_NONBLOCK);
        ::fcntl(wake_[1], F_SETFL, O_NONBLOCK);
        ::fcntl(wake_[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(wake_[1], F_SETFD, FD_CLOEXEC);
    }
}

// ---- windows ----
bool Fltk::openHiddenWindow(int number, NativeWindow owner, int w, int h) {
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

ScreenSize Fltk::outerSize(int w, int h) {
    auto f = frame();
    return {w + f.left + f.right, h + f.top + f.bottom};
}

x11::Frame Fltk::frame() {
    std::lock_guard lock(frameLock_);
    if (!frameKnown_) {
        frame_ = x11::frameExtents();
        frameKnown_ = true;
    }
    return frame_;
}

bool Fltk::openConfigWindow(int number, NativeWindow owner, int x, int y, int w, int h) {
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

void Fltk::setWindowIcon(int number, const Image& icon) {
    if (icon.empty() || icon.rgba.size() < std::size_t(icon.width) * std::size_t(icon.height) * 4) return;
    Image copy = icon;
    post([this, number, copy] {
        if (!win_ || number != configNumber_) return;
        iconPixels_ = copy.rgba;
        iconImage_ = std::make_unique<Fl_RGB_Image>(iconPixels_.data(), copy.width, copy.height, 4);
        win_->icon(iconImage_.get());
    });
}

void Fltk::closeWindow(int number) {
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
void Fltk::closeConfig() {
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
void Fltk::releaseAtUnload() {
    {
        std::lock_guard lock(m_);
        if (alive_) return;
    }
    for (int& fd : wake_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

bool Fltk::windowExists(int number) {
    std::lock_guard lock(m_);
    return hidden_.count(number) || (alive_ && number == configNumber_);
}

NativeWindow Fltk::nativeHandle(int number) {
    std::lock_guard lock(m_);
    if (auto it = hidden_.find(number); it != hidden_.end()) return it->second;
    return alive_ && number == configNumber_ ? configXid_ : 0;
}

void Fltk::setWindowBackground(int number, std::uint32_t rgb) {
    post([this, number, rgb] {
        if (!win_ || number != configNumber_) return;
        win_->color(flColour(rgb));
        win_->redraw();
    });
}

// ---- controls ----
bool Fltk::createControl(int window, const ControlSpec& spec) {
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
    case ControlKind::Meter: widget = new Meter(x, y, w, h); break;
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

int Fltk::addTab(int tabControl, const std::string& label) {
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
    fitTabLabels(tabControl);
    // Only the selected page shows.
    tabs_->value(pages_[std::size_t(selectedNow(tabControl))]);
    tabs_->redraw();
    return index;
}

// A row of tabs wider than the control would overlap (FLTK piles them against the right edge):
// the tabs then drop the spaces around their texts, as the system's tab control pads its own.
void Fltk::fitTabLabels(int tabControl) {
    std::vector<std::string> labels;
    {
        std::lock_guard lock(m_);
        labels = shadow_[tabControl].items;
    }
    if (labels.size() != pages_.size()) return;
    constexpr int tabPadding = 10;  // what Fl_Tabs adds to a label's width
    fl_font(uiFont, FL_NORMAL_SIZE);
    auto rowWidth = [&](bool trim) {
        int total = 0;
        for (const std::string& label : labels) {
            std::string shown = labelText(trim ? trimmedLabel(label) : label, false);
            int w = 0, h = 0;
            fl_measure(shown.c_str(), w, h, 0);
            total += w + tabPadding;
        }
        return total;
    };
    const bool trim = rowWidth(false) > tabs_->w();
    for (std::size_t i = 0; i < pages_.size(); ++i)
        pages_[i]->copy_label(labelText(trim ? trimmedLabel(labels[i]) : labels[i], false).c_str());
}

int Fltk::selectedNow(int number) {
    std::lock_guard lock(m_);
    auto it = shadow_.find(number);
    return it == shadow_.end() ? -1 : it->second.selected;
}

// Window thread: the widget shows what its shadow holds.
void Fltk::apply(int number) {
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
    case ControlKind::Meter: {
        auto* m = static_cast<Meter*>(w);
        if (!(m->reading == s.meter)) {
            m->reading = s.meter;
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
void Fltk::userChanged(int number, Fl_Widget* w) {
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

Fltk::ThreadGuard& Fltk::threadGuard() {
    thread_local ThreadGuard guard;
    return guard;
}

namespace {

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

}  // namespace

Fltk& self() {
    static Fltk* f = [] {
        keepFltkLoaded();
        return instance() = new Fltk;  // never destroyed: window threads may outlive static destruction
    }();
    return *f;
}

namespace {

// Runs when the module is unloaded (or the process ends).
struct ReleaseAtUnload {
    ~ReleaseAtUnload() {
        if (Fltk* f = instance()) f->releaseAtUnload();
        x11::closeSharedConnections();
    }
} releaseAtUnload;

}  // namespace

void onWidget(Fl_Widget* w, void* number) { self().userChanged(int(reinterpret_cast<std::intptr_t>(number)), w); }

void noteFocus(int number) { self().note({Event::Kind::Control, number}); }

}  // namespace desktop::detail::fltk

namespace desktop::detail {
Backend& fltkBackend() { return fltk::self(); }
}  // namespace desktop::detail

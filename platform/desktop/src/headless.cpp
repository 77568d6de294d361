// The headless backend: windows and controls in memory, driven by desktop::headless.
// It notes the same events as the real backend so that the plug-in's loop runs unchanged.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "backend.h"
#include "desktop/headless.h"
#include "shadowed.h"

namespace desktop::detail {
namespace {

struct Window {
    bool hidden = false;
    NativeWindow owner = 0;
    int x = 0, y = 0, width = 0, height = 0;
    Image icon;
    std::uint32_t background = 0xF0F0F0;
};

struct Control {
    int window = 0;
    ControlSpec spec;
    bool checked = false;
    bool enabled = true;
    std::uint32_t textColor = 0x000000;
    std::uint32_t background = 0xF0F0F0;
    std::vector<std::string> items;  // list entries or tab labels
    int selected = -1;
    int position = 0;
    MeterReading meter;
    std::string toolTip;
    std::uint64_t seq = 0;  // creation order
};

struct Timer {
    int window = 0;
    int periodMs = 0;
};

class Headless final : public Backend {
public:
    std::mutex m;
    std::condition_variable cv;
    std::map<int, Window> windows;
    std::map<int, Control> controls;
    std::map<int, Timer> timers;
    std::deque<Event> events;
    bool ended = false;
    bool failWindows = false;
    bool hold = false;
    std::thread::id windowThread;
    std::vector<headless::Box> shown;
    std::deque<std::uint64_t> openBoxes;  // ids of boxes still held, oldest first
    std::uint64_t nextBoxId = 1;
    std::uint64_t nextSeq = 1;
    int pointerControl = 0;
    bool pointerDown = false;
    std::map<NativeWindow, std::string> titles;
    int soundSettings = 0;
    NativeWindow foreground = 0;  // the active window, when it is one of this process

    void resetAll() {
        std::lock_guard lock(m);
        windows.clear();
        controls.clear();
        timers.clear();
        events.clear();
        ended = false;
        failWindows = false;
        hold = false;
        windowThread = {};
        shown.clear();
        openBoxes.clear();
        pointerControl = 0;
        pointerDown = false;
        titles.clear();
        soundSettings = 0;
        foreground = 0;
        cv.notify_all();
    }

    Control* find(int number) {
        auto it = controls.find(number);
        return it == controls.end() ? nullptr : &it->second;
    }

    void queue(Event e) {
        events.push_back(e);
        cv.notify_all();
    }

    // ---- Backend ----
    void messageBox(NativeWindow owner, const std::string& title, const std::string& text) override {
        std::unique_lock lock(m);
        shown.push_back({title, text, owner});
        // After the forced end a box would only be closed again at once.
        if (!hold || ended) return;
        std::uint64_t id = nextBoxId++;
        openBoxes.push_back(id);
        cv.wait(lock, [&] { return std::find(openBoxes.begin(), openBoxes.end(), id) == openBoxes.end(); });
    }

    NativeWindow foregroundWindowOfThisProcess() override {
        std::lock_guard lock(m);
        return foreground;
    }

    bool openHiddenWindow(int number, NativeWindow owner, int w, int h) override {
        std::lock_guard lock(m);
        if (failWindows || windows.count(number)) return false;
        Window win;
        win.hidden = true;
        win.owner = owner;
        win.width = w;
        win.height = h;
        windows[number] = win;
        return true;
    }

    ScreenSize screenSize() override { return {1280, 1024}; }
    ScreenSize outerSize(int w, int h) override { return {w + 2 * 4, h + 4 + 24}; }

    bool openConfigWindow(int number, NativeWindow owner, int x, int y, int w, int h) override {
        std::lock_guard lock(m);
        if (failWindows || windows.count(number)) return false;
        Window win;
        win.owner = owner;
        win.x = x;
        win.y = y;
        win.width = w;
        win.height = h;
        windows[number] = win;
        windowThread = std::this_thread::get_id();
        return true;
    }

    void setWindowIcon(int number, const Image& icon) override {
        std::lock_guard lock(m);
        if (auto it = windows.find(number); it != windows.end()) it->second.icon = icon;
    }

    void closeWindow(int number) override {
        std::lock_guard lock(m);
        windows.erase(number);
        std::erase_if(controls, [&](const auto& kv) { return kv.second.window == number; });
        std::erase_if(timers, [&](const auto& kv) { return kv.second.window == number; });
    }

    bool windowExists(int number) override {
        std::lock_guard lock(m);
        return windows.count(number) != 0;
    }

    NativeWindow nativeHandle(int number) override {
        std::lock_guard lock(m);
        return windows.count(number) ? NativeWindow(0x4000 + number) : 0;
    }

    bool compositionEnabled() override { return false; }

    void setWindowBackground(int number, std::uint32_t rgb) override {
        std::lock_guard lock(m);
        if (auto it = windows.find(number); it != windows.end()) it->second.background = rgb;
    }

    bool createControl(int window, const ControlSpec& spec) override {
        std::lock_guard lock(m);
        if (!windows.count(window) || controls.count(spec.number) || spec.number < 0) return false;
        if (spec.page != onWindow) {
            // The page must exist on the window's tab control.
            bool found = false;
            for (auto& [n, c] : controls)
                if (c.window == window && c.spec.kind == ControlKind::TabControl && spec.page >= 0 &&
                    spec.page < int(c.items.size()))
                    found = true;
            if (!found) return false;
        }
        Control c;
        c.window = window;
        c.spec = spec;
        c.spec.image = nullptr;  // the caller's picture need not outlive the call
        c.seq = nextSeq++;
        controls[spec.number] = c;
        return true;
    }

    int addTab(int tabControl, const std::string& label) override {
        std::lock_guard lock(m);
        Control* c = find(tabControl);
        if (!c || c->spec.kind != ControlKind::TabControl) return -1;
        c->items.push_back(label);
        if (c->selected < 0) c->selected = 0;
        return int(c->items.size()) - 1;
    }

    bool controlExists(int number) override {
        std::lock_guard lock(m);
        return find(number) != nullptr;
    }

    void setText(int number, const std::string& t) override {
        std::lock_guard lock(m);
        if (Control* c = find(number)) c->spec.text = t;
    }
    std::string text(int number) override {
        std::lock_guard lock(m);
        Control* c = find(number);
        return c ? c->spec.text : std::string();
    }
    void setChecked(int number, bool down) override {
        std::lock_guard lock(m);
        if (Control* c = find(number)) c->checked = down;
    }
    bool checked(int number) override {
        std::lock_guard lock(m);
        Control* c = find(number);
        return c && c->checked;
    }
    void setEnabled(int number, bool on) override {
        std::lock_guard lock(m);
        if (Control* c = find(number)) c->enabled = on;
    }
    bool enabled(int number) override {
        std::lock_guard lock(m);
        Control* c = find(number);
        return c && c->enabled;
    }
    void setTextColor(int number, std::uint32_t rgb) override {
        std::lock_guard lock(m);
        if (Control* c = find(number)) c->textColor = rgb & 0xFFFFFF;
    }
    void setBackgroundColor(int number, std::uint32_t rgb) override {
        std::lock_guard lock(m);
        if (Control* c = find(number)) c->background = rgb & 0xFFFFFF;
    }
    std::uint32_t textColor(int number) override {
        std::lock_guard lock(m);
        Control* c = find(number);
        return c ? c->textColor : 0;
    }
    std::uint32_t backgroundColor(int number) override {
        std::lock_guard lock(m);
        Control* c = find(number);
        return c ? c->background : 0;
    }
    void addItem(int list, const std::string& item) override {
        std::lock_guard lock(m);
        Control* c = find(list);
        if (c && c->spec.kind == ControlKind::DropList) c->items.push_back(item);
    }
    void clearItems(int list) override {
        std::lock_guard lock(m);
        Control* c = find(list);
        if (!c || c->spec.kind != ControlKind::DropList) return;
        c->items.clear();
        c->selected = -1;
    }
    int itemCount(int list) override {
        std::lock_guard lock(m);
        Control* c = find(list);
        return c ? int(c->items.size()) : 0;
    }
    std::string itemText(int list, int pos) override {
        std::lock_guard lock(m);
        Control* c = find(list);
        if (!c || pos < 0 || pos >= int(c->items.size())) return {};
        return c->items[size_t(pos)];
    }
    void select(int list, int pos) override {
        std::lock_guard lock(m);
        selectLocked(list, pos);
    }
    bool selectLocked(int list, int pos) {
        Control* c = find(list);
        if (!c) return false;
        if (pos < 0 || pos >= int(c->items.size())) {
            // A tab control always shows one page; a list may show nothing.
            if (c->spec.kind == ControlKind::TabControl) return false;
            c->selected = -1;
            return true;
        }
        c->selected = pos;
        return true;
    }
    int selected(int list) override {
        std::lock_guard lock(m);
        Control* c = find(list);
        return c ? c->selected : -1;
    }
    void setPosition(int trackbar, int pos) override {
        std::lock_guard lock(m);
        if (Control* c = find(trackbar)) c->position = std::clamp(pos, 0, 100);
    }
    int position(int trackbar) override {
        std::lock_guard lock(m);
        Control* c = find(trackbar);
        return c ? c->position : 0;
    }
    void setMeter(int number, const MeterReading& reading) override {
        std::lock_guard lock(m);
        Control* c = find(number);
        if (c && c->spec.kind == ControlKind::Meter) c->meter = clampedReading(reading);
    }
    MeterReading meter(int number) override {
        std::lock_guard lock(m);
        Control* c = find(number);
        return c ? c->meter : MeterReading{};
    }
    void setToolTip(int number, const std::string& text) override {
        std::lock_guard lock(m);
        if (Control* c = find(number)) c->toolTip = text;
    }
    void repaintNow() override {}

    void setTimer(int window, int id, int periodMs) override {
        std::lock_guard lock(m);
        // As the real backend: no timer for a window that does not exist.
        if (!windows.count(window) || windows[window].hidden || periodMs <= 0) return;
        timers[id] = Timer{window, periodMs};
    }

    Event nextEvent() override {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return ended || !events.empty(); });
        if (ended) return {Event::Kind::Quit, 0};
        Event e = events.front();
        events.pop_front();
        return e;
    }

    void endLoop() override {
        std::lock_guard lock(m);
        ended = true;
        openBoxes.clear();
        cv.notify_all();
    }

    void resetLoop() override {
        std::lock_guard lock(m);
        ended = false;
    }

    int controlUnderCursor() override {
        std::lock_guard lock(m);
        return pointerControl;
    }
    bool primaryButtonDown() override {
        std::lock_guard lock(m);
        return pointerDown;
    }
    std::string windowTitle(NativeWindow window) override {
        std::lock_guard lock(m);
        auto it = titles.find(window);
        return it == titles.end() ? std::string() : it->second;
    }
    void openSoundSettings() override {
        std::lock_guard lock(m);
        ++soundSettings;
    }

    // A person can only act on a control that is there and enabled.
    Control* usable(int number) {
        Control* c = find(number);
        return c && c->enabled ? c : nullptr;
    }
};

Headless& instance() {
    static Headless h;
    return h;
}

}  // namespace

Backend& headlessBackend() { return instance(); }

}  // namespace desktop::detail

namespace desktop::headless {

using detail::instance;

void reset() { instance().resetAll(); }

void failWindows(bool fail) {
    auto& h = instance();
    std::lock_guard lock(h.m);
    h.failWindows = fail;
}

void type(int edit, const std::string& text) {
    auto& h = instance();
    std::lock_guard lock(h.m);
    auto* c = h.usable(edit);
    if (!c) return;
    std::string t = text;
    // A number field takes typed digits only.
    if (c->spec.kind == ControlKind::NumberEdit)
        std::erase_if(t, [](char ch) { return ch < '0' || ch > '9'; });
    c->spec.text = t;
    h.queue({Event::Kind::Control, edit});
}

void click(int button) {
    auto& h = instance();
    std::lock_guard lock(h.m);
    auto* c = h.usable(button);
    if (!c) return;
    if (c->spec.kind == ControlKind::ToggleButton || c->spec.kind == ControlKind::CheckBox) c->checked = !c->checked;
    h.queue({Event::Kind::Control, button});
}

void choose(int list, int position) {
    auto& h = instance();
    std::lock_guard lock(h.m);
    if (!h.usable(list) || !h.selectLocked(list, position)) return;
    h.queue({Event::Kind::Control, list});
}

void drag(int trackbar, int position) {
    auto& h = instance();
    std::lock_guard lock(h.m);
    auto* c = h.usable(trackbar);
    if (!c) return;
    c->position = std::clamp(position, 0, 100);
    h.queue({Event::Kind::Control, trackbar});
}

void pointer(int controlUnder, bool primaryDown) {
    auto& h = instance();
    std::lock_guard lock(h.m);
    h.pointerControl = controlUnder;
    h.pointerDown = primaryDown;
}

void fireTimer(int id) {
    auto& h = instance();
    std::lock_guard lock(h.m);
    h.queue({Event::Kind::Timer, id});
}

void post() {
    auto& h = instance();
    std::lock_guard lock(h.m);
    h.queue({Event::Kind::None, 0});
}

int pendingEvents() {
    auto& h = instance();
    std::lock_guard lock(h.m);
    return int(h.events.size());
}

std::vector<Box> boxes() {
    auto& h = instance();
    std::lock_guard lock(h.m);
    return h.shown;
}

void holdBoxes(bool hold) {
    auto& h = instance();
    std::lock_guard lock(h.m);
    h.hold = hold;
}

bool boxOpen() {
    auto& h = instance();
    std::lock_guard lock(h.m);
    return !h.openBoxes.empty();
}

void dismissBox() {
    auto& h = instance();
    std::lock_guard lock(h.m);
    if (!h.openBoxes.empty()) h.openBoxes.pop_front();
    h.cv.notify_all();
}

void setForegroundWindow(NativeWindow window) {
    auto& h = instance();
    std::lock_guard lock(h.m);
    h.foreground = window;
}

void setWindowTitle(NativeWindow window, const std::string& title) {
    auto& h = instance();
    std::lock_guard lock(h.m);
    h.titles[window] = title;
}

int soundSettingsOpened() {
    auto& h = instance();
    std::lock_guard lock(h.m);
    return h.soundSettings;
}

int timerPeriod(int id) {
    auto& h = instance();
    std::lock_guard lock(h.m);
    auto it = h.timers.find(id);
    return it == h.timers.end() ? 0 : it->second.periodMs;
}

WindowInfo windowInfo(int number) {
    auto& h = instance();
    std::lock_guard lock(h.m);
    WindowInfo info;
    auto it = h.windows.find(number);
    if (it == h.windows.end()) return info;
    info.exists = true;
    info.hidden = it->second.hidden;
    info.owner = it->second.owner;
    info.x = it->second.x;
    info.y = it->second.y;
    info.width = it->second.width;
    info.height = it->second.height;
    info.iconSet = !it->second.icon.empty();
    info.background = it->second.background;
    return info;
}

ControlSpec controlSpec(int number) {
    auto& h = instance();
    std::lock_guard lock(h.m);
    auto* c = h.find(number);
    return c ? c->spec : ControlSpec{};
}

std::string toolTip(int number) {
    auto& h = instance();
    std::lock_guard lock(h.m);
    auto* c = h.find(number);
    return c ? c->toolTip : std::string();
}

std::vector<int> controlNumbers() {
    auto& h = instance();
    std::lock_guard lock(h.m);
    std::vector<std::pair<std::uint64_t, int>> bySeq;
    for (auto& [n, c] : h.controls) bySeq.emplace_back(c.seq, n);
    std::sort(bySeq.begin(), bySeq.end());
    std::vector<int> out;
    for (auto& [seq, n] : bySeq) out.push_back(n);
    return out;
}

}  // namespace desktop::headless

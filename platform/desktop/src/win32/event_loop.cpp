// Win32 backend: the window thread's message loop, its timers, work carried to it from other
// threads, and the Tab / Shift+Tab accelerators.
#include <algorithm>

#include "win32/win32_backend.h"

namespace desktop::detail::win32 {

bool Win32::onWindowThread() {
    std::lock_guard lock(m_);
    return alive_ && GetCurrentThreadId() == thread_;
}

// Runs `fn` on the window thread: now when called there, else queued. Dropped without one.
void Win32::post(std::function<void()> fn) {
    {
        std::lock_guard lock(m_);
        if (!alive_) return;
        if (GetCurrentThreadId() != thread_) {
            bool first = ops_.empty();
            ops_.push_back(std::move(fn));
            if (first) PostMessageA(config_, runQueued, 0, 0);
            return;
        }
    }
    fn();
}

void Win32::drain() {
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

void Win32::note(Event e) {
    std::lock_guard lock(m_);
    if (e.kind == Event::Kind::Timer)
        for (auto& q : events_)
            if (q.kind == e.kind && q.id == e.id) return;  // like the system, one pending tick per timer
    events_.push_back(e);
}

// Timer ids are offset by one: the system's id 0 is no window timer of its own.
void Win32::setTimer(int window, int id, int periodMs) {
    if (periodMs <= 0 || id < 0) return;
    post([this, window, id, periodMs] {
        if (!config_ || window != configNumber_) return;
        SetTimer(config_, UINT_PTR(id) + 1, UINT(periodMs), nullptr);
    });
}

void Win32::repaintNow() {
    if (!onWindowThread()) return;  // another thread's changes are drawn by the window thread's loop
    drain();
    if (config_) RedrawWindow(config_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

Event Win32::nextEvent() {
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
        MSG msg{};
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(int(msg.wParam));  // for the thread's own loop, if it has one
            std::lock_guard lock(m_);
            ended_ = true;
            return {Event::Kind::Quit, 0};
        }
        if (got > 0 && !tabKey(msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        drain();
        std::lock_guard lock(m_);
        if (ended_) return {Event::Kind::Quit, 0};
        if (events_.empty()) return Event{};  // a message that noted nothing
    }
}

void Win32::endLoop() {
    std::lock_guard lock(m_);
    ended_ = true;
    closeOpenBoxes();
    idle_.notify_all();
    if (alive_) PostMessageA(config_, runQueued, 0, 0);  // wakes the loop
}

void Win32::resetLoop() {
    std::lock_guard lock(m_);
    ended_ = false;
}

// A Tab key for the window or one of its controls moves the focus and makes no event.
bool Win32::tabKey(const MSG& msg) {
    if (msg.message != WM_KEYDOWN || msg.wParam != VK_TAB || !config_) return false;
    if (msg.hwnd != config_ && !IsChild(config_, msg.hwnd)) return false;
    if (GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_MENU) < 0) return false;
    moveFocus(GetKeyState(VK_SHIFT) < 0);
    return true;
}

// The next enabled, visible tab stop in creation order, across the window and the visible
// page, wrapping around.
void Win32::moveFocus(bool backwards) {
    std::vector<std::pair<std::uint64_t, int>> order;
    {
        std::lock_guard lock(m_);
        for (auto& [n, s] : shadow_)
            if (s.spec.tabStop) order.emplace_back(s.seq, n);
    }
    std::sort(order.begin(), order.end());
    std::vector<HWND> stops;
    for (auto& [seq, n] : order) {
        auto it = live_.find(n);
        if (it == live_.end()) continue;
        HWND h = it->second.hwnd;
        if (IsWindowVisible(h) && IsWindowEnabled(h) && (GetWindowLongA(h, GWL_STYLE) & WS_TABSTOP)) stops.push_back(h);
    }
    if (stops.empty()) return;
    HWND focus = GetFocus();
    int current = -1;
    for (int i = 0; i < int(stops.size()); ++i)
        if (focus && (focus == stops[std::size_t(i)] || IsChild(stops[std::size_t(i)], focus))) current = i;
    int n = int(stops.size());
    int next = current < 0 ? (backwards ? n - 1 : 0) : ((current + (backwards ? -1 : 1)) % n + n) % n;
    SetFocus(stops[std::size_t(next)]);
}

}  // namespace desktop::detail::win32

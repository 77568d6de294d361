// FLTK backend: the window thread's loop, its timers, work carried to it from other threads,
// and the Tab / Shift+Tab keys.
#include "fltk/fltk_backend.h"

namespace desktop::detail::fltk {

// ---- threads ----
bool Fltk::onWindowThread() {
    std::lock_guard lock(m_);
    return alive_ && std::this_thread::get_id() == thread_;
}

void Fltk::wake() {
    char b = 1;
    [[maybe_unused]] auto n = ::write(wake_[1], &b, 1);
}

// Runs `fn` on the window thread: now when called there, else queued. Dropped without one.
void Fltk::post(std::function<void()> fn) {
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

void Fltk::drain() {
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

void Fltk::onWake(int fd, void*) {
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

void Fltk::note(Event e) {
    std::lock_guard lock(m_);
    if (e.kind == Event::Kind::Timer)
        for (auto& q : events_)
            if (q.kind == e.kind && q.id == e.id) return;  // like the system, one pending tick per timer
    events_.push_back(e);
}

// ---- timers and the loop ----
void Fltk::onTimer(void* data) {
    Fltk& f = self();
    int id = int(reinterpret_cast<std::intptr_t>(data));
    auto it = f.timers_.find(id);
    if (it == f.timers_.end()) return;
    f.note({Event::Kind::Timer, id});
    Fl::repeat_timeout(it->second / 1000.0, onTimer, data);
}

void Fltk::setTimer(int window, int id, int periodMs) {
    if (periodMs <= 0) return;
    post([this, window, id, periodMs] {
        if (!win_ || window != configNumber_) return;
        void* data = reinterpret_cast<void*>(std::intptr_t(id));
        Fl::remove_timeout(onTimer, data);
        timers_[id] = periodMs;
        Fl::add_timeout(periodMs / 1000.0, onTimer, data);
    });
}

void Fltk::repaintNow() {
    if (!onWindowThread()) return;  // another thread's changes are drawn by the window thread's loop
    drain();
    Fl::flush();
}

Event Fltk::nextEvent() {
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

void Fltk::endLoop() {
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

void Fltk::resetLoop() {
    {
        std::lock_guard lock(m_);
        ended_ = false;
    }
    x11::reopenPlainBoxes();
}

// ---- keyboard focus ----
// Tab and Shift+Tab: the next enabled, visible tab stop in creation order, wrapping.
int Fltk::dispatch(int event, Fl_Window* w) {
    Fltk& f = self();
    if (event == FL_KEYBOARD && Fl::event_key() == FL_Tab && f.win_ && w == f.win_ &&
        !(Fl::event_state() & (FL_CTRL | FL_ALT | FL_META))) {
        f.moveFocus((Fl::event_state() & FL_SHIFT) != 0);
        return 1;
    }
    return Fl::handle_(event, w);
}

void Fltk::moveFocus(bool backwards) {
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

}  // namespace desktop::detail::fltk
